// SPDX-License-Identifier: GPL-2.0
/*
 * vcrypto: the CAAM as the character device /dev/vcrypto.
 *
 * Four ioctl commands: AES-256-CBC decryption and encryption with a key that
 * the caller holds only as a wrapped key record, generation of such records,
 * and hardware random bytes. Keys live in plain form only inside the CAAM's
 * secure memory; jobs load them in covered (black) form.
 *
 * Each open descriptor has its own four DMA pages and job ring. Data moves
 * through the pages in jobs of at most 16336 bytes, so no request needs a
 * buffer of its own size.
 */
#include <linux/completion.h>
#include <linux/dma-mapping.h>
#include <linux/err.h>
#include <linux/fs.h>
#include <linux/gfp.h>
#include <linux/kernel.h>
#include <linux/miscdevice.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/of.h>
#include <linux/of_platform.h>
#include <linux/platform_device.h>
#include <linux/scatterlist.h>
#include <linux/slab.h>
#include <linux/string.h>
#include <linux/uaccess.h>

#include "intern.h"
#include "jr.h"
#include "sm.h"
#include "error.h"
#include "desc_constr.h"

#include "vcrypto_ioctl.h"
#include "vcrypto_compat.h"

/*
 * Every failure is logged as "<function>, <line>: <text>", <function> being
 * the one that reports it: the function itself (__func__), or for a helper
 * the entry point it works for.
 */
#define vc_err(who, fmt, ...) pr_err("%s, %d: " fmt "\n", who, __LINE__, ##__VA_ARGS__)
#define VC_OPEN		"vyrna_crypto_open"
#define VC_IOCTL	"vyrna_crypto_ioctl"
#define VC_CBC_AES	"cbc_aes"
#define VC_CRYPTO_MAP	"crypto_map"
#define VC_KEY_GEN	"key_gen"

#define VC_PAGES	4
#define VC_PAGE_SIZE	4096
/* Page 0: covered key, IV (chaining value), then data. */
#define VC_KEY_OFF	0
#define VC_KEY_LEN	32
#define VC_IV_OFF	32
#define VC_DATA_OFF	48
#define VC_JOB_MAX	(VC_PAGES * VC_PAGE_SIZE - VC_DATA_OFF)	/* 16336 */
/* A job: header, KEY, LOAD, FIFO LOAD, OPERATION, FIFO STORE, STORE, and
 * the pointers of all but the header and OPERATION. */
#define VC_DESC_WORDS	((7 * CAAM_CMD_SZ + 5 * CAAM_PTR_SZ) / CAAM_CMD_SZ)
#define VC_SM_UNIT	1	/* unit 0 belongs to the boot loader */
#define VC_SM_UNITS_MIN	2
#define VC_RND_CHUNK	4096

/* Bound into every key record: records made under another value do not
 * unwrap. Never change it, or existing records become useless. */
static u8 vyrna_crypto_keymod[16] = {
	0x76, 0x79, 0x72, 0x6e, 0x61, 0x2d, 0x6b, 0x65,
	0x79, 0x2d, 0x6d, 0x6f, 0x64, 0x2d, 0x30, 0x31,
};

struct vyrna_crypto_ctx {
	unsigned long page[VC_PAGES];
	struct device_node *np;
	struct device *ksdev;		/* secure-memory key store */
	struct device *jrdev;		/* this descriptor's job ring */
	/* Commands on one descriptor share the pages: one at a time. */
	struct mutex lock;
};

/* Per cipher command, reused by each of its jobs. */
struct vyrna_crypto_edesc {
	int src_nents;		/* our own list, never chained */
	dma_addr_t key_dma;
	int key_len;
	dma_addr_t iv_dma;
	int iv_len;
	dma_addr_t src_dma;
	int len;
	int sec4_sg_bytes;	/* 0: single buffer, no table */
	dma_addr_t sec4_sg_dma;
	struct sec4_sg_entry sec4_sg[VC_PAGES];
	u32 hw_desc[VC_DESC_WORDS];
};

struct vyrna_crypto_result {
	struct completion done;
	u32 status;
};

/* ---- open and release ------------------------------------------------- */

/* The pages have held plaintext and keys: they go back wiped. */
static void vyrna_crypto_free_ctx(struct vyrna_crypto_ctx *ctx)
{
	int i;

	for (i = 0; i < VC_PAGES; i++) {
		if (!ctx->page[i])
			continue;
		memzero_explicit((void *)ctx->page[i], VC_PAGE_SIZE);
		free_page(ctx->page[i]);
	}
	mutex_destroy(&ctx->lock);
	kfree(ctx);
}

static struct vyrna_crypto_ctx *vyrna_crypto_alloc_ctx(void)
{
	struct vyrna_crypto_ctx *ctx;
	int i;

	ctx = kzalloc(sizeof(*ctx), GFP_KERNEL);
	if (!ctx)
		goto fail;
	mutex_init(&ctx->lock);
	for (i = 0; i < VC_PAGES; i++) {
		ctx->page[i] = __get_free_page(GFP_KERNEL | GFP_DMA);
		if (!ctx->page[i]) {
			vyrna_crypto_free_ctx(ctx);
			goto fail;
		}
	}
	return ctx;
fail:
	vc_err(VC_OPEN, "memory allocation error");
	return NULL;
}

/* Finds the CAAM: its node, its private record, the key store device. */
static int vyrna_crypto_find_caam(struct vyrna_crypto_ctx *ctx)
{
	struct caam_drv_private *ctrlpriv;
	struct platform_device *pdev;

	ctx->np = of_find_compatible_node(NULL, NULL, "fsl,sec-v4.0");
	if (!ctx->np)
		ctx->np = of_find_compatible_node(NULL, NULL, "fsl,sec4.0");
	if (!ctx->np) {
		vc_err(VC_OPEN, "device node not found");
		return -ENODEV;
	}
	pdev = of_find_device_by_node(ctx->np);
	if (!pdev) {
		vc_err(VC_OPEN, "platform device not found");
		return -ENODEV;
	}
	ctrlpriv = dev_get_drvdata(&pdev->dev);
	put_device(&pdev->dev);
	if (!ctrlpriv) {
		vc_err(VC_OPEN, "private CAAM driver error");
		return -ENODEV;
	}
	ctx->ksdev = ctrlpriv->smdev;
	return 0;
}

/* The key store and the job ring must be served by their drivers, and the
 * key store must have the unit this module uses. */
static int vyrna_crypto_check_caam(struct vyrna_crypto_ctx *ctx)
{
	u32 units;

	if (!ctx->ksdev || !dev_get_drvdata(ctx->ksdev)) {
		vc_err(VC_OPEN, "private key storage driver error");
		return -ENODEV;
	}
	if (!dev_get_drvdata(ctx->jrdev)) {
		vc_err(VC_OPEN, "private job ring driver error");
		return -ENODEV;
	}
	units = sm_detect_keystore_units(ctx->ksdev);
	if (units == 0) {
		vc_err(VC_OPEN, "no key storage units available");
		return -ENODEV;
	}
	if (units < VC_SM_UNITS_MIN) {
		vc_err(VC_OPEN, "insufficient key storage units");
		return -ENODEV;
	}
	return 0;
}

static int vyrna_crypto_open(struct inode *inode, struct file *filp)
{
	struct vyrna_crypto_ctx *ctx;
	int ret;

	ctx = vyrna_crypto_alloc_ctx();
	if (!ctx)
		return -ENOMEM;
	ret = vyrna_crypto_find_caam(ctx);
	if (ret)
		goto put_node;
	ctx->jrdev = caam_jr_alloc();
	if (IS_ERR(ctx->jrdev)) {
		vc_err(__func__, "job ring device allocation failed");
		ret = -ENODEV;
		goto put_node;
	}
	ret = vyrna_crypto_check_caam(ctx);
	if (ret)
		goto free_jr;
	filp->private_data = ctx;
	return 0;

free_jr:
	caam_jr_free(ctx->jrdev);
put_node:
	of_node_put(ctx->np);
	vyrna_crypto_free_ctx(ctx);
	return ret;
}

static int vyrna_crypto_release(struct inode *inode, struct file *filp)
{
	struct vyrna_crypto_ctx *ctx = filp->private_data;

	caam_jr_free(ctx->jrdev);
	of_node_put(ctx->np);
	vyrna_crypto_free_ctx(ctx);
	filp->private_data = NULL;
	return 0;
}

/* ---- random bytes ----------------------------------------------------- */

/* Fills buf (kernel memory) with count bytes of the hardware RNG. */
static int rng(u8 *buf, size_t count)
{
#ifdef VCRYPTO_KERNEL_RNG
	get_random_bytes(buf, count);
	return 0;
#else
	mm_segment_t old_fs = get_fs();
	struct file *filp;
	ssize_t n = -EINVAL;

	/* The file's read operation copies "to user": let it reach buf. */
	set_fs(KERNEL_DS);
	filp = filp_open("/dev/hwrng", O_RDONLY, 0);
	if (IS_ERR(filp)) {
		vc_err(__func__, "hwrng open failed");
		set_fs(old_fs);
		return -EFAULT;
	}
	filp->f_pos = 0;
	if (filp->f_op->read)
		n = filp->f_op->read(filp, (char __user *)buf, count, &filp->f_pos);
	filp_close(filp, NULL);
	set_fs(old_fs);
	if (n != (ssize_t)count) {
		vc_err(__func__, "rnd generation failed (%d)", (int)n);
		return -EFAULT;
	}
	return 0;
#endif
}

static int rnd_gen(struct vyrna_crypto_ctx *ctx, u8 __user *ubuf, u32 count)
{
	u8 *page = (u8 *)ctx->page[0];
	unsigned long left;
	u32 done, n;
	int ret;

	for (done = 0; done < count; done += n) {
		n = min_t(u32, count - done, VC_RND_CHUNK);
		ret = rng(page, n);
		if (ret) {
			vc_err(__func__, "rnd generation failed (%d)", ret);
			return ret;
		}
		left = copy_to_user(ubuf + done, page, n);
		if (left) {
			vc_err(__func__, "copy data to user error (%d)", (int)left);
			return -EFAULT;
		}
	}
	return 0;
}

/* ---- keys ------------------------------------------------------------- */

/* Opens the key store of unit 1 and takes a key slot in it; on failure the
 * key store is closed again. who names the reporting function. */
static int vyrna_crypto_take_slot(struct vyrna_crypto_ctx *ctx, const char *who, u32 *slot)
{
	int ret;

	sm_establish_keystore(ctx->ksdev, VC_SM_UNIT);
	ret = sm_keystore_slot_alloc(ctx->ksdev, VC_SM_UNIT, VC_KEY_LEN, slot);
	if (ret) {
		vc_err(who, "slot allocation failed (%d)", ret);
		sm_release_keystore(ctx->ksdev, VC_SM_UNIT);
	}
	return ret;
}

static void vyrna_crypto_give_slot(struct vyrna_crypto_ctx *ctx, u32 slot)
{
	sm_keystore_slot_dealloc(ctx->ksdev, VC_SM_UNIT, slot);
	sm_release_keystore(ctx->ksdev, VC_SM_UNIT);
}

/*
 * The slot's part of key_gen(): the CAAM takes the plain key (wiped here as
 * soon as it has), covers it and exports it into record as a black key
 * blob; a covered copy read back checks the slot.
 */
static int key_gen_wrap(struct vyrna_crypto_ctx *ctx, u32 slot, u8 *key, u8 *record)
{
	u8 check[VC_KEY_LEN];
	int ret;

	ret = sm_keystore_slot_load(ctx->ksdev, VC_SM_UNIT, slot, key, VC_KEY_LEN);
	memzero_explicit(key, VC_KEY_LEN);
	if (ret) {
		vc_err(VC_KEY_GEN, "key load failed (%d)", ret);
		return ret;
	}
	ret = sm_keystore_cover_key(ctx->ksdev, VC_SM_UNIT, slot, VC_KEY_LEN, KEY_COVER_ECB);
	if (ret) {
		vc_err(VC_KEY_GEN, "key cover failed (%d)", ret);
		return ret;
	}
	memset(record, 0, VCRYPTO_KEY_RECORD_LEN);
	ret = sm_keystore_slot_export(ctx->ksdev, VC_SM_UNIT, slot, BLACK_KEY, KEY_COVER_ECB,
				      record, VC_KEY_LEN, vyrna_crypto_keymod);
	if (ret) {
		vc_err(VC_KEY_GEN, "black key export failed (%d)", ret);
		return ret;
	}
	ret = sm_keystore_slot_read(ctx->ksdev, VC_SM_UNIT, slot, VC_KEY_LEN, check);
	if (ret)
		vc_err(VC_KEY_GEN, "black key read failed (%d)", ret);
	memzero_explicit(check, sizeof(check));
	return ret;
}

/**
 * key_gen() - make a new key and hand it to the caller as a key record
 * @ctx: the descriptor's context; its lock is held
 * @ubuf: the caller's 128-byte buffer
 *
 * Draws 32 random bytes, has the CAAM take them as a key in a slot of
 * unit 1 and cover them, and exports the covered key as an 80-byte black
 * key blob under the module's key modifier. The record written to @ubuf is
 * the blob followed by 48 zero bytes; page 0 serves as the blob's buffer.
 * The plain key is wiped as soon as the CAAM has it; the slot and the key
 * store are given back whatever happens.
 *
 * Context: process; sleeps.
 * Return: 0; the key store's error; -EFAULT when no random bytes could be
 * had or @ubuf cannot be written.
 */
static int key_gen(struct vyrna_crypto_ctx *ctx, u8 __user *ubuf)
{
	u8 *record = (u8 *)ctx->page[0];
	u8 key[VC_KEY_LEN];
	unsigned long left;
	u32 slot;
	int ret;

	ret = rng(key, sizeof(key));
	if (ret) {
		vc_err(__func__, "key generation failed (%d)", ret);
		goto wipe;
	}
	ret = vyrna_crypto_take_slot(ctx, __func__, &slot);
	if (ret)
		goto wipe;
	ret = key_gen_wrap(ctx, slot, key, record);
	if (!ret) {
		left = copy_to_user(ubuf, record, VCRYPTO_KEY_RECORD_LEN);
		if (left) {
			vc_err(__func__, "copy data to user error (%d)", (int)left);
			ret = -EFAULT;
		}
	}
	vyrna_crypto_give_slot(ctx, slot);
wipe:
	memzero_explicit(key, sizeof(key));
	return ret;
}

/**
 * get_black_key() - turn a key record back into a covered key in page 0
 * @ctx: the descriptor's context; its lock is held
 * @record: the key record's blob (its first 80 bytes are read)
 *
 * Imports the blob under the module's key modifier into a slot of unit 1
 * as a black key and reads the slot's 32 covered bytes to page 0, bytes
 * 0-31, where cipher jobs load the key from. The slot and the key store are
 * given back before it returns, so no key stays in the key store.
 *
 * Context: process; sleeps.
 * Return: 0, or the key store's error (a record made elsewhere, or altered,
 * fails the import).
 */
static int get_black_key(struct vyrna_crypto_ctx *ctx, u8 *record)
{
	u8 *covered = (u8 *)ctx->page[0] + VC_KEY_OFF;
	u32 slot;
	int ret;

	ret = vyrna_crypto_take_slot(ctx, __func__, &slot);
	if (ret)
		return ret;
	ret = sm_keystore_slot_import(ctx->ksdev, VC_SM_UNIT, slot, BLACK_KEY, KEY_COVER_ECB,
				      record, VC_KEY_LEN, vyrna_crypto_keymod);
	if (ret) {
		vc_err(__func__, "black key import failed (%d)", ret);
	} else {
		ret = sm_keystore_slot_read(ctx->ksdev, VC_SM_UNIT, slot, VC_KEY_LEN, covered);
		if (ret)
			vc_err(__func__, "black key read failed (%d)", ret);
	}
	vyrna_crypto_give_slot(ctx, slot);
	return ret;
}

/* ---- cipher jobs ------------------------------------------------------ */

static void crypto_job_done(struct device *jrdev, u32 *desc, u32 status, void *context)
{
	struct vyrna_crypto_result *res = context;

	if (status)
		caam_jr_strstatus(jrdev, status);
	res->status = status;
	complete(&res->done);
}

static void crypto_unmap(struct vyrna_crypto_ctx *ctx, struct vyrna_crypto_edesc *edesc,
			 struct scatterlist *sg)
{
	struct device *jrdev = ctx->jrdev;

	if (edesc->sec4_sg_bytes)
		dma_unmap_single(jrdev, edesc->sec4_sg_dma, edesc->sec4_sg_bytes, DMA_TO_DEVICE);
	dma_unmap_sg(jrdev, sg, edesc->src_nents, DMA_BIDIRECTIONAL);
	dma_unmap_single(jrdev, edesc->iv_dma, edesc->iv_len, DMA_BIDIRECTIONAL);
	dma_unmap_single(jrdev, edesc->key_dma, edesc->key_len, DMA_TO_DEVICE);
}

/* Writes the hardware S/G table for the mapped pages, the last entry
 * marked final, and maps it for the CAAM to read. */
static int crypto_map_table(struct device *jrdev, struct vyrna_crypto_edesc *edesc,
			    struct scatterlist *sg)
{
	struct scatterlist *s;
	int i;

	for_each_sg(sg, s, edesc->src_nents, i) {
		memset(&edesc->sec4_sg[i], 0, sizeof(edesc->sec4_sg[i]));
		edesc->sec4_sg[i].ptr = (u32)sg_dma_address(s);
		edesc->sec4_sg[i].len = sg_dma_len(s);
	}
	edesc->sec4_sg[edesc->src_nents - 1].len |= SEC4_SG_LEN_FIN;
	edesc->sec4_sg_bytes = edesc->src_nents * sizeof(struct sec4_sg_entry);
	edesc->sec4_sg_dma = dma_map_single(jrdev, edesc->sec4_sg, edesc->sec4_sg_bytes,
					    DMA_TO_DEVICE);
	if (dma_mapping_error(jrdev, edesc->sec4_sg_dma)) {
		vc_err(VC_CRYPTO_MAP, "unable to map S/G table");
		edesc->sec4_sg_bytes = 0;
		return -ENOMEM;
	}
	return 0;
}

/* Maps the covered key, the IV, the data pages and, for several pages, the
 * hardware S/G table that lists them. */
static int crypto_map(struct vyrna_crypto_ctx *ctx, struct vyrna_crypto_edesc *edesc,
		      struct scatterlist *sg)
{
	struct device *jrdev = ctx->jrdev;
	u8 *page0 = (u8 *)ctx->page[0];

	edesc->key_len = VC_KEY_LEN;
	edesc->key_dma = dma_map_single(jrdev, page0 + VC_KEY_OFF, VC_KEY_LEN, DMA_TO_DEVICE);
	if (dma_mapping_error(jrdev, edesc->key_dma)) {
		vc_err(__func__, "unable to map the key");
		return -ENOMEM;
	}
	edesc->iv_len = VCRYPTO_IV_LEN;
	edesc->iv_dma = dma_map_single(jrdev, page0 + VC_IV_OFF, VCRYPTO_IV_LEN,
				       DMA_BIDIRECTIONAL);
	if (dma_mapping_error(jrdev, edesc->iv_dma)) {
		vc_err(__func__, "unable to map IV");
		goto unmap_key;
	}
	if (!dma_map_sg(jrdev, sg, edesc->src_nents, DMA_BIDIRECTIONAL))
		goto unmap_iv;
	edesc->src_dma = sg_dma_address(sg);
	edesc->sec4_sg_bytes = 0;
	if (edesc->src_nents > 1 && crypto_map_table(jrdev, edesc, sg))
		goto unmap_sg;
	return 0;

unmap_sg:
	dma_unmap_sg(jrdev, sg, edesc->src_nents, DMA_BIDIRECTIONAL);
unmap_iv:
	dma_unmap_single(jrdev, edesc->iv_dma, VCRYPTO_IV_LEN, DMA_BIDIRECTIONAL);
unmap_key:
	dma_unmap_single(jrdev, edesc->key_dma, VC_KEY_LEN, DMA_TO_DEVICE);
	return -ENOMEM;
}

/*
 * The job: load the covered key and the chaining value into class 1, run
 * AES-CBC over the data (one buffer, or the pages through the S/G table),
 * write the output over the input and the new chaining value back over the
 * IV.
 */
static void vyrna_crypto_build_desc(struct vyrna_crypto_edesc *edesc, u32 state, bool encrypt)
{
	u32 sgf = edesc->sec4_sg_bytes ? FIFOLDST_SGF : 0;
	dma_addr_t data = edesc->sec4_sg_bytes ? edesc->sec4_sg_dma : edesc->src_dma;
	u32 *desc = edesc->hw_desc;

	init_job_desc(desc, 0);
	append_key(desc, edesc->key_dma, VC_KEY_LEN, CLASS_1 | KEY_ENC | KEY_NWB);
	append_load(desc, edesc->iv_dma, VCRYPTO_IV_LEN,
		    LDST_CLASS_1_CCB | LDST_SRCDST_BYTE_CONTEXT);
	append_fifo_load(desc, data, edesc->len,
			 FIFOLD_CLASS_CLASS1 | FIFOLD_TYPE_MSG | FIFOLD_TYPE_LAST1 | sgf);
	append_operation(desc, OP_TYPE_CLASS1_ALG | OP_ALG_ALGSEL_AES | OP_ALG_AAI_CBC | state |
			 (encrypt ? OP_ALG_ENCRYPT : OP_ALG_DECRYPT));
	append_fifo_store(desc, data, edesc->len, FIFOST_TYPE_MESSAGE_DATA | sgf);
	append_store(desc, edesc->iv_dma, VCRYPTO_IV_LEN,
		     LDST_CLASS_1_CCB | LDST_SRCDST_BYTE_CONTEXT);
}

/* Copies one job's n bytes between the user buffer and the pages (page 0
 * from its data offset); with sg, lists the pages used. Returns the bytes
 * not copied. */
static unsigned long vyrna_crypto_copy_pages(struct vyrna_crypto_ctx *ctx, u8 __user *ubuf,
					     u32 n, bool to_user, struct scatterlist *sg)
{
	u32 done = 0, off, len;
	unsigned long left;
	int i;

	for (i = 0; done < n; i++) {
		off = i ? 0 : VC_DATA_OFF;
		len = min_t(u32, n - done, VC_PAGE_SIZE - off);
		if (to_user)
			left = copy_to_user(ubuf + done, (u8 *)ctx->page[i] + off, len);
		else
			left = copy_from_user((u8 *)ctx->page[i] + off, ubuf + done, len);
		if (left)
			return n - done - (len - left);
		if (sg)
			sg_set_buf(&sg[i], (u8 *)ctx->page[i] + off, len);
		done += len;
	}
	return 0;
}

/*
 * Queues the job and waits for its callback: the job owns the mapped
 * buffers until then, whatever this thread receives meanwhile. *status is
 * the job's status word (0 when it was not queued).
 */
static int crypto_run_job(struct vyrna_crypto_ctx *ctx, struct vyrna_crypto_edesc *edesc,
			  u32 *status)
{
	struct vyrna_crypto_result res;
	int ret;

	init_completion(&res.done);
	res.status = 0;
	ret = caam_jr_enqueue(ctx->jrdev, edesc->hw_desc, crypto_job_done, &res);
	if (vyrna_crypto_job_queued(ret)) {
		wait_for_completion(&res.done);
		ret = res.status ? -EIO : 0;
	}
	*status = res.status;
	return ret;
}

/* One CAAM job over n bytes: read at in, run, write at out. */
static int cbc_aes_job(struct vyrna_crypto_ctx *ctx, struct vyrna_crypto_edesc *edesc,
		       struct scatterlist *sg, u8 __user *in, u8 __user *out, u32 n, u32 state,
		       bool encrypt)
{
	unsigned long left;
	u32 status;
	int ret;

	memset(edesc, 0, sizeof(*edesc));
	edesc->src_nents = DIV_ROUND_UP(VC_DATA_OFF + n, VC_PAGE_SIZE);
	edesc->len = n;
	sg_init_table(sg, edesc->src_nents);
	left = vyrna_crypto_copy_pages(ctx, in, n, false, sg);
	if (left) {
		vc_err(VC_CBC_AES, "copy data from user error (%d)", (int)left);
		return -EFAULT;
	}
	ret = crypto_map(ctx, edesc, sg);
	if (ret) {
		vc_err(VC_CBC_AES, "crypto mapping failed (%d)", ret);
		return ret;
	}
	vyrna_crypto_build_desc(edesc, state, encrypt);
	ret = crypto_run_job(ctx, edesc, &status);
	crypto_unmap(ctx, edesc, sg);
	if (ret) {
		vc_err(VC_CBC_AES, "%s job failed (%d)", encrypt ? "encryption" : "decryption",
		       status ? (int)status : ret);
		return ret;
	}
	left = vyrna_crypto_copy_pages(ctx, out, n, true, NULL);
	if (left) {
		vc_err(VC_CBC_AES, "copy data to user error (%d)", (int)left);
		return -EFAULT;
	}
	return 0;
}

/**
 * cbc_aes() - AES-256-CBC over the data of a cipher request
 * @ctx: the descriptor's context; its lock is held
 * @ubuf: the caller's request: IV, key record, then the data
 * @total: the request's length in bytes; the data is @total - 144 bytes, a
 *	   multiple of 16
 * @iv: the IV, already read from the request
 * @record: the key record, already read from the request
 * @encrypt: true to encrypt, false to decrypt
 *
 * Recovers the covered key from @record (get_black_key()) and runs one CAAM
 * job per 16336 bytes through the context's pages, the chaining value
 * passing from job to job in page 0, so the result equals one AES-256-CBC
 * operation over the whole data. Job k reads at 144 + 16336k and writes its
 * output at 16336k, so no output overwrites input not yet read. No padding
 * is added or removed. On failure the output may be partly written.
 *
 * Context: process; sleeps while each job runs.
 * Return: 0; -ENOMEM when a working buffer cannot be had or mapped;
 * -EFAULT when @ubuf cannot be read or written; the key store's error when
 * the key cannot be recovered; -EIO or the job ring's error when a job
 * fails.
 */
static int cbc_aes(struct vyrna_crypto_ctx *ctx, u8 __user *ubuf, u32 total, const u8 *iv,
		   u8 *record, bool encrypt)
{
	u32 remaining = total - VCRYPTO_HEADER_LEN, n, state;
	u8 __user *in = ubuf + VCRYPTO_HEADER_LEN;
	u8 __user *out = ubuf;
	struct vyrna_crypto_edesc *edesc;
	struct scatterlist *sg;
	int ret;

	sg = kcalloc(VC_PAGES, sizeof(*sg), GFP_KERNEL | GFP_DMA);
	if (!sg) {
		vc_err(__func__, "S/G table allocation failed");
		return -ENOMEM;
	}
	edesc = kzalloc(sizeof(*edesc), GFP_KERNEL | GFP_DMA);
	if (!edesc) {
		vc_err(__func__, "extended descriptor allocation failed");
		ret = -ENOMEM;
		goto free_sg;
	}
	ret = get_black_key(ctx, record);
	if (ret) {
		vc_err(__func__, "failed to import black key");
		goto free_edesc;
	}
	memcpy((u8 *)ctx->page[0] + VC_IV_OFF, iv, VCRYPTO_IV_LEN);

	state = remaining <= VC_JOB_MAX ? OP_ALG_AS_INITFINAL : OP_ALG_AS_INIT;
	while (remaining) {
		n = min_t(u32, remaining, VC_JOB_MAX);
		ret = cbc_aes_job(ctx, edesc, sg, in, out, n, state, encrypt);
		if (ret)
			break;
		in += n;
		out += n;
		remaining -= n;
		state = remaining <= VC_JOB_MAX ? OP_ALG_AS_FINALIZE : OP_ALG_AS_UPDATE;
	}
free_edesc:
	kfree(edesc);
free_sg:
	kfree(sg);
	return ret;
}

/* ---- command decoding ------------------------------------------------- */

/* Checks the size field for the command; 0 or -EINVAL. */
static int vyrna_crypto_check_size(u32 nr, u32 size)
{
	switch (nr) {
	case VCRYPTO_NR_DECRYPT:
	case VCRYPTO_NR_ENCRYPT:
		if (size * VCRYPTO_BLOCK_LEN > VCRYPTO_HEADER_LEN)
			return 0;
		vc_err(VC_IOCTL, "bad data length (%d)", (int)(size * VCRYPTO_BLOCK_LEN));
		return -EINVAL;
	case VCRYPTO_NR_KEYGEN:
		if (size == VCRYPTO_KEY_RECORD_LEN)
			return 0;
		break;
	default:
		if (size)
			return 0;
	}
	vc_err(VC_IOCTL, "bad data length (%d)", (int)size);
	return -EINVAL;
}

/* A kernel copy of len bytes of the request at src, in *out. */
static int vyrna_crypto_fetch(const u8 __user *src, size_t len, u8 **out)
{
	unsigned long left;

	*out = kmalloc(len, GFP_KERNEL);
	if (!*out) {
		vc_err(VC_IOCTL, "memory allocation failed");
		return -ENOMEM;
	}
	left = copy_from_user(*out, src, len);
	if (left) {
		vc_err(VC_IOCTL, "get data from user error (%d)", (int)left);
		return -EFAULT;
	}
	return 0;
}

/* A cipher request of total bytes at ubuf: its IV and key record, then the
 * data. The record's copy is wiped when it goes. */
static int vyrna_crypto_cipher(struct vyrna_crypto_ctx *ctx, u8 __user *ubuf, u32 total,
			       bool encrypt)
{
	u8 *iv = NULL, *record = NULL;
	int ret;

	ret = vyrna_crypto_fetch(ubuf, VCRYPTO_IV_LEN, &iv);
	if (!ret)
		ret = vyrna_crypto_fetch(ubuf + VCRYPTO_IV_LEN, VCRYPTO_KEY_RECORD_LEN, &record);
	if (!ret)
		ret = cbc_aes(ctx, ubuf, total, iv, record, encrypt);
	kfree_sensitive(record);
	kfree(iv);
	return ret;
}

static long vyrna_crypto_ioctl(struct file *filp, unsigned int cmd, unsigned long arg)
{
	struct vyrna_crypto_ctx *ctx = filp->private_data;
	u8 __user *ubuf = (u8 __user *)arg;
	u32 nr = VCRYPTO_NR(cmd), size = VCRYPTO_SIZE(cmd);
	long ret;

	if (!arg || IS_ERR_VALUE(arg)) {
		vc_err(__func__, "no data passed");
		return -EINVAL;
	}
	if (VCRYPTO_TYPE_OF(cmd) != VCRYPTO_TYPE) {
		vc_err(__func__, "bad cmd");
		return -EINVAL;
	}
	if (nr > VCRYPTO_NR_RANDOM)
		return 0;
	ret = vyrna_crypto_check_size(nr, size);
	if (ret)
		return ret;

	mutex_lock(&ctx->lock);
	switch (nr) {
	case VCRYPTO_NR_KEYGEN:
		ret = key_gen(ctx, ubuf);
		break;
	case VCRYPTO_NR_RANDOM:
		ret = rnd_gen(ctx, ubuf, size);
		break;
	default:
		ret = vyrna_crypto_cipher(ctx, ubuf, size * VCRYPTO_BLOCK_LEN,
					  nr == VCRYPTO_NR_ENCRYPT);
		break;
	}
	mutex_unlock(&ctx->lock);
	return ret;
}

/* ---- module ----------------------------------------------------------- */

static const struct file_operations vyrna_crypto_fops = {
	.owner = THIS_MODULE,
	.open = vyrna_crypto_open,
	.release = vyrna_crypto_release,
	.unlocked_ioctl = vyrna_crypto_ioctl,
};

static struct miscdevice vyrna_crypto_misc = {
	.minor = MISC_DYNAMIC_MINOR,
	.name = "vcrypto",
	.fops = &vyrna_crypto_fops,
};

static int __init vyrna_crypto_init(void)
{
	int ret = misc_register(&vyrna_crypto_misc);

	if (ret)
		pr_err("Registration of /dev/vcrypto failed (%d)\n", ret);
	return ret;
}

static void __exit vyrna_crypto_exit(void)
{
	misc_deregister(&vyrna_crypto_misc);
}

module_init(vyrna_crypto_init);
module_exit(vyrna_crypto_exit);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("AES-256-CBC, key generation and random bytes on the CAAM via /dev/vcrypto");
