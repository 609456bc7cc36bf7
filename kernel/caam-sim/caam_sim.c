// SPDX-License-Identifier: GPL-2.0
/*
 * CAAM stand-in: job rings that execute AES-CBC job descriptors, and a
 * secure-memory key store with covered (black) keys and blobs.
 *
 * Written from what a CAAM client relies on: the driver's function names,
 * arguments and results, the descriptor commands of a class 1 AES-CBC job
 * (key, context load, FIFO load with or without an S/G table, operation,
 * FIFO store, context store) and blobs of key length + 48 bytes. The device
 * reads descriptors, tables and data through their bus addresses, so a
 * buffer that is not mapped, or mapped for the wrong direction, fails the job
 * as it would fail on the board.
 *
 * Keys: a per-boot key covers black keys (AES-ECB); blobs are wrapped under a
 * key derived from the device master key and the first 8 bytes of the key
 * modifier (secure-memory blobs bind 8 bytes), with a random blob key, CTR
 * encryption and a CBC-MAC. This is a test stand-in: its master key is a file
 * or a random value, not a fused device secret.
 */
#include <linux/dma-mapping.h>
#include <linux/err.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/spinlock.h>
#include <linux/string.h>

#include "intern.h"
#include "jr.h"
#include "sm.h"
#include "error.h"
#include "desc.h"
#include "caam_sim.h"
#include "caam_sim_plat.h"

#define CSIM_SLOTS		64
#define CSIM_SLOT_SIZE		64
#define CSIM_KEYMOD_LEN		8
#define CSIM_DESC_MAX		64
#define CSIM_SG_MAX		64
#define CSIM_BLOCK		16

/* Job status words: a DECO error (source 4) with the sim's error code. */
#define CSIM_STATUS(code)	(0x40000000u | (code))
enum csim_error {
	CSIM_ERR_CMD = 1,
	CSIM_ERR_DESC,
	CSIM_ERR_ADDR,
	CSIM_ERR_SIZE,
	CSIM_ERR_KEY,
	CSIM_ERR_SG,
	CSIM_ERR_SEQ,
	CSIM_ERR_NOMEM,
	CSIM_ERR_INJECTED,
};

static const char *const csim_error_text[] = {
	[CSIM_ERR_CMD] = "invalid or unsupported command",
	[CSIM_ERR_DESC] = "bad descriptor header or length",
	[CSIM_ERR_ADDR] = "bus address not mapped for this access",
	[CSIM_ERR_SIZE] = "data size is not a non-zero multiple of the block size",
	[CSIM_ERR_KEY] = "bad key size",
	[CSIM_ERR_SG] = "bad or unterminated S/G table",
	[CSIM_ERR_SEQ] = "operation without key, context, input or algorithm",
	[CSIM_ERR_NOMEM] = "out of memory",
	[CSIM_ERR_INJECTED] = "job failed on request",
};

struct csim_ring {
	struct device *dev;
	int users;
};

struct csim_unit {
	int established;		/* establish/release pairs open */
	u8 used[CSIM_SLOTS];
	u8 data[CSIM_SLOTS][CSIM_SLOT_SIZE];
};

struct caam_sim {
	struct caam_drv_private priv;
	spinlock_t ring_lock;
	struct csim_ring ring[CAAM_SIM_MAX_RINGS];
	int rings;
	struct mutex sm_lock;
	u32 units;
	struct csim_unit unit[CAAM_SIM_MAX_UNITS];
	u8 master_key[CAAM_SIM_MASTER_KEY_LEN];
	u8 boot_key[32];		/* covers black keys until detach */
};

static struct caam_sim *csim;

/* ---- job rings -------------------------------------------------------- */

struct device *caam_jr_alloc(void)
{
	struct csim_ring *best = NULL;
	int i;

	if (!csim || csim_fault("caam_jr_alloc"))
		return ERR_PTR(-ENODEV);
	spin_lock(&csim->ring_lock);
	for (i = 0; i < csim->rings; i++)
		if (!best || csim->ring[i].users < best->users)
			best = &csim->ring[i];
	if (best)
		best->users++;
	spin_unlock(&csim->ring_lock);
	return best ? best->dev : ERR_PTR(-ENODEV);
}
EXPORT_SYMBOL(caam_jr_alloc);

void caam_jr_free(struct device *rdev)
{
	int i;

	spin_lock(&csim->ring_lock);
	for (i = 0; i < csim->rings; i++)
		if (csim->ring[i].dev == rdev && csim->ring[i].users > 0)
			csim->ring[i].users--;
	spin_unlock(&csim->ring_lock);
}
EXPORT_SYMBOL(caam_jr_free);

/* A ring takes jobs only while someone holds it: a job queued on a ring
 * that its holder gave back is a use after free in the client. */
static bool csim_ring_held(struct device *dev)
{
	bool held = false;
	int i;

	if (!csim)
		return false;
	spin_lock(&csim->ring_lock);
	for (i = 0; i < csim->rings; i++)
		if (csim->ring[i].dev == dev)
			held = csim->ring[i].users > 0;
	spin_unlock(&csim->ring_lock);
	return held;
}

int caam_jr_enqueue(struct device *dev, u32 *desc,
		    void (*cbk)(struct device *dev, u32 *desc, u32 status, void *areq),
		    void *areq)
{
	struct caam_sim_job *job;
	int ret;

	if (!csim_ring_held(dev))
		return -ENODEV;
	if (csim_fault("caam_jr_enqueue"))
		return -EBUSY;
	job = csim_alloc(sizeof(*job));
	if (!job)
		return -ENOMEM;
	job->jrdev = dev;
	job->desc = desc;
	job->desc_bytes = (desc[0] & HDR_JD_LENGTH_MASK) * sizeof(u32);
	job->cbk = cbk;
	job->areq = areq;
	/* The ring reads the descriptor from memory, as the hardware does. */
	job->desc_dma = dma_map_single(dev, desc, job->desc_bytes, DMA_TO_DEVICE);
	if (dma_mapping_error(dev, job->desc_dma)) {
		csim_free(job);
		return -EIO;
	}
	ret = csim_queue(job);
	if (ret) {
		dma_unmap_single(dev, job->desc_dma, job->desc_bytes, DMA_TO_DEVICE);
		csim_free(job);
	}
	return ret;
}
EXPORT_SYMBOL(caam_jr_enqueue);

void caam_jr_strstatus(struct device *jrdev, u32 status)
{
	u32 code = status & 0xff;
	const char *text = "unknown error";

	if ((status & 0xf0000000) == 0x40000000 && code < ARRAY_SIZE(csim_error_text) &&
	    csim_error_text[code])
		text = csim_error_text[code];
	dev_err(jrdev, "job status 0x%08x: %s\n", status, text);
}
EXPORT_SYMBOL(caam_jr_strstatus);

/* ---- descriptor execution --------------------------------------------- */

struct csim_exec {
	struct device *dev;
	u8 key[32];
	u32 keylen;
	u8 ctx[CSIM_BLOCK];
	bool have_key, have_ctx, have_in, have_op;
	u32 in_ptr, in_len;
	bool in_sg;
	u32 op;
};

/* Copies len bytes between buf and the memory at a bus address (a buffer,
 * or an S/G table of buffers). The table entry that completes the data must
 * carry the final mark. */
static int csim_move(struct csim_exec *ex, u32 ptr, u32 len, bool sg, u8 *buf, bool to_mem)
{
	struct sec4_sg_entry ent = { 0 };
	u32 done = 0, n, i;
	void *mem, *e;

	if (!sg) {
		mem = csim_bus_to_virt(ex->dev, ptr, len, to_mem);
		if (!mem)
			return CSIM_ERR_ADDR;
		if (to_mem)
			memcpy(mem, buf, len);
		else
			memcpy(buf, mem, len);
		return 0;
	}
	for (i = 0; done < len; i++) {
		if (i == CSIM_SG_MAX)
			return CSIM_ERR_SG;
		e = csim_bus_to_virt(ex->dev, ptr + i * sizeof(ent), sizeof(ent), false);
		if (!e)
			return CSIM_ERR_ADDR;
		memcpy(&ent, e, sizeof(ent));
		if (ent.rsvd_hi || (ent.len & SEC4_SG_LEN_EXT))
			return CSIM_ERR_SG;
		n = min_t(u32, ent.len & SEC4_SG_LEN_MASK, len - done);
		mem = csim_bus_to_virt(ex->dev, ent.ptr + (ent.offset & SEC4_SG_OFFSET_MASK), n,
				       to_mem);
		if (!mem)
			return CSIM_ERR_ADDR;
		if (to_mem)
			memcpy(mem, buf + done, n);
		else
			memcpy(buf + done, mem, n);
		done += n;
		if (ent.len & SEC4_SG_LEN_FIN)
			break;
	}
	if (done < len || !(ent.len & SEC4_SG_LEN_FIN))
		return CSIM_ERR_SG;
	return 0;
}

static int csim_cmd_key(struct csim_exec *ex, u32 w, u32 ptr)
{
	u32 len = w & KEY_LENGTH_MASK;
	u8 *mem;

	if ((w & CLASS_MASK) != CLASS_1 || (w & (KEY_IMM | KEY_SGF | KEY_EKT)))
		return CSIM_ERR_CMD;
	if (len != 16 && len != 32)
		return CSIM_ERR_KEY;
	mem = csim_bus_to_virt(ex->dev, ptr, len, false);
	if (!mem)
		return CSIM_ERR_ADDR;
	if (w & KEY_ENC) {
		/* A black key: uncover it inside the device. */
		if (csim_aes(csim->boot_key, sizeof(csim->boot_key), NULL, mem, ex->key, len,
			     false))
			return CSIM_ERR_NOMEM;
	} else {
		memcpy(ex->key, mem, len);
	}
	ex->keylen = len;
	ex->have_key = true;
	return 0;
}

static int csim_cmd_context(struct csim_exec *ex, u32 w, u32 ptr, bool store)
{
	u8 *mem;

	if ((w & CLASS_MASK) != CLASS_1 || (w & LDST_IMM) ||
	    (w & LDST_SRCDST_MASK) != LDST_SRCDST_BYTE_CONTEXT ||
	    (w & LDST_OFFSET_MASK) || (w & LDST_LEN_MASK) != CSIM_BLOCK)
		return CSIM_ERR_CMD;
	if (store && !ex->have_ctx)
		return CSIM_ERR_SEQ;
	mem = csim_bus_to_virt(ex->dev, ptr, CSIM_BLOCK, store);
	if (!mem)
		return CSIM_ERR_ADDR;
	if (store) {
		memcpy(mem, ex->ctx, CSIM_BLOCK);
	} else {
		memcpy(ex->ctx, mem, CSIM_BLOCK);
		ex->have_ctx = true;
	}
	return 0;
}

static int csim_cmd_fifo_load(struct csim_exec *ex, u32 w, u32 ptr)
{
	if ((w & CLASS_MASK) != FIFOLD_CLASS_CLASS1 || (w & (FIFOLD_IMM | FIFOLDST_EXT)) ||
	    (w & FIFOLD_TYPE_MASK) != (FIFOLD_TYPE_MSG | FIFOLD_TYPE_LAST1))
		return CSIM_ERR_CMD;
	ex->in_ptr = ptr;
	ex->in_len = w & FIFOLDST_LEN_MASK;
	ex->in_sg = w & FIFOLDST_SGF;
	ex->have_in = true;
	return 0;
}

static int csim_cmd_operation(struct csim_exec *ex, u32 w)
{
	if ((w & OP_TYPE_MASK) != OP_TYPE_CLASS1_ALG ||
	    (w & OP_ALG_ALGSEL_MASK) != OP_ALG_ALGSEL_AES ||
	    (w & OP_ALG_AAI_MASK) != OP_ALG_AAI_CBC || (w & 0x2))
		return CSIM_ERR_CMD;
	ex->op = w;
	ex->have_op = true;
	return 0;
}

/* FIFO STORE: runs the loaded operation over the input and stores the
 * output; the context then holds the CBC chaining value. */
static int csim_cmd_fifo_store(struct csim_exec *ex, u32 w, u32 ptr)
{
	bool enc = ex->op & OP_ALG_ENCRYPT;
	u32 len = w & FIFOLDST_LEN_MASK;
	u8 next_iv[CSIM_BLOCK];
	u8 *buf;
	int err;

	if ((w & CLASS_MASK) || (w & (FIFOLD_IMM | FIFOLDST_EXT)) ||
	    (w & FIFOLD_TYPE_MASK) != FIFOST_TYPE_MESSAGE_DATA)
		return CSIM_ERR_CMD;
	if (!ex->have_key || !ex->have_ctx || !ex->have_in || !ex->have_op)
		return CSIM_ERR_SEQ;
	if (!len || len % CSIM_BLOCK || len != ex->in_len)
		return CSIM_ERR_SIZE;
	buf = csim_alloc(len);
	if (!buf)
		return CSIM_ERR_NOMEM;
	err = csim_move(ex, ex->in_ptr, len, ex->in_sg, buf, false);
	if (err)
		goto out;
	if (!enc)
		memcpy(next_iv, buf + len - CSIM_BLOCK, CSIM_BLOCK);
	if (csim_aes(ex->key, ex->keylen, ex->ctx, buf, buf, len, enc)) {
		err = CSIM_ERR_NOMEM;
		goto out;
	}
	if (enc)
		memcpy(next_iv, buf + len - CSIM_BLOCK, CSIM_BLOCK);
	memcpy(ex->ctx, next_iv, CSIM_BLOCK);
	err = csim_move(ex, ptr, len, w & FIFOLDST_SGF, buf, true);
out:
	memzero_explicit(buf, len);
	csim_free(buf);
	return err;
}

static int csim_execute(struct caam_sim_job *job)
{
	struct csim_exec ex = { .dev = job->jrdev };
	u32 desc[CSIM_DESC_MAX];
	u32 *mem, len, i, w;
	int err = 0;

	mem = csim_bus_to_virt(job->jrdev, job->desc_dma, sizeof(u32), false);
	if (!mem)
		return CSIM_ERR_ADDR;
	w = mem[0];
	len = w & HDR_JD_LENGTH_MASK;
	/* The device's descriptor buffer holds 64 words; the header's length
	 * field can say up to 127. */
	if ((w & CMD_MASK) != CMD_DESC_HDR || !(w & HDR_ONE) || !len || len > CSIM_DESC_MAX)
		return CSIM_ERR_DESC;
	mem = csim_bus_to_virt(job->jrdev, job->desc_dma, len * sizeof(u32), false);
	if (!mem)
		return CSIM_ERR_ADDR;
	memcpy(desc, mem, len * sizeof(u32));

	for (i = 1; i < len && !err; i++) {
		w = desc[i];
		/* Every command here but OPERATION takes a pointer word. */
		if ((w & CMD_MASK) != CMD_OPERATION && i + 1 >= len)
			return CSIM_ERR_DESC;
		switch (w & CMD_MASK) {
		case CMD_KEY:
			err = csim_cmd_key(&ex, w, desc[++i]);
			break;
		case CMD_LOAD:
			err = csim_cmd_context(&ex, w, desc[++i], false);
			break;
		case CMD_STORE:
			err = csim_cmd_context(&ex, w, desc[++i], true);
			break;
		case CMD_FIFO_LOAD:
			err = csim_cmd_fifo_load(&ex, w, desc[++i]);
			break;
		case CMD_FIFO_STORE:
			err = csim_cmd_fifo_store(&ex, w, desc[++i]);
			break;
		case CMD_OPERATION:
			err = csim_cmd_operation(&ex, w);
			break;
		default:
			err = CSIM_ERR_CMD;
		}
	}
	memzero_explicit(ex.key, sizeof(ex.key));
	return err;
}

void caam_sim_run(struct caam_sim_job *job)
{
	void (*cbk)(struct device *dev, u32 *desc, u32 status, void *areq) = job->cbk;
	struct device *dev = job->jrdev;
	void *areq = job->areq;
	u32 *desc = job->desc;
	u32 status = 0;
	int err;

	if (csim_fault("caam_job"))
		err = CSIM_ERR_INJECTED;
	else
		err = csim_execute(job);
	if (err)
		status = CSIM_STATUS(err);
	/* Nothing of the job is left once its owner is told. */
	dma_unmap_single(dev, job->desc_dma, job->desc_bytes, DMA_TO_DEVICE);
	csim_free(job);
	cbk(dev, desc, status, areq);
}

/* ---- secure-memory key store ------------------------------------------ */

static struct csim_unit *csim_unit_get(struct device *dev, u32 unit)
{
	if (!csim || dev != csim->priv.smdev || unit >= csim->units)
		return NULL;
	return &csim->unit[unit];
}

/* The slot's storage, if the unit is established and the slot allocated;
 * caller holds sm_lock. */
static u8 *csim_slot(struct device *dev, u32 unit, u32 slot)
{
	struct csim_unit *u = csim_unit_get(dev, unit);

	if (!u || !u->established || slot >= CSIM_SLOTS || !u->used[slot])
		return NULL;
	return u->data[slot];
}

u32 sm_detect_keystore_units(struct device *dev)
{
	return csim && dev == csim->priv.smdev ? csim->units : 0;
}
EXPORT_SYMBOL(sm_detect_keystore_units);

int sm_establish_keystore(struct device *dev, u32 unit)
{
	struct csim_unit *u = csim_unit_get(dev, unit);

	if (!u)
		return -EINVAL;
	if (csim_fault("sm_establish_keystore"))
		return -ENOSPC;
	mutex_lock(&csim->sm_lock);
	u->established++;
	mutex_unlock(&csim->sm_lock);
	return 0;
}
EXPORT_SYMBOL(sm_establish_keystore);

void sm_release_keystore(struct device *dev, u32 unit)
{
	struct csim_unit *u = csim_unit_get(dev, unit);

	if (!u)
		return;
	mutex_lock(&csim->sm_lock);
	/* The last release wipes every slot of the unit. */
	if (u->established > 0 && --u->established == 0) {
		memzero_explicit(u->data, sizeof(u->data));
		memset(u->used, 0, sizeof(u->used));
	}
	mutex_unlock(&csim->sm_lock);
}
EXPORT_SYMBOL(sm_release_keystore);

int sm_keystore_slot_alloc(struct device *dev, u32 unit, u32 size, u32 *slot)
{
	struct csim_unit *u = csim_unit_get(dev, unit);
	int ret = -ENOSPC;
	u32 i;

	if (!u)
		return -EINVAL;
	if (size > CSIM_SLOT_SIZE)
		return -EKEYREJECTED;
	if (csim_fault("sm_keystore_slot_alloc"))
		return -ENOSPC;
	mutex_lock(&csim->sm_lock);
	if (!u->established) {
		ret = -EINVAL;
		goto out;
	}
	for (i = 0; i < CSIM_SLOTS; i++) {
		if (!u->used[i]) {
			u->used[i] = 1;
			*slot = i;
			ret = 0;
			break;
		}
	}
out:
	mutex_unlock(&csim->sm_lock);
	return ret;
}
EXPORT_SYMBOL(sm_keystore_slot_alloc);

int sm_keystore_slot_dealloc(struct device *dev, u32 unit, u32 slot)
{
	u8 *data;
	int ret = -EINVAL;

	mutex_lock(&csim->sm_lock);
	data = csim_slot(dev, unit, slot);
	if (data) {
		memzero_explicit(data, CSIM_SLOT_SIZE);
		csim->unit[unit].used[slot] = 0;
		ret = 0;
	}
	mutex_unlock(&csim->sm_lock);
	return ret;
}
EXPORT_SYMBOL(sm_keystore_slot_dealloc);

int sm_keystore_slot_load(struct device *dev, u32 unit, u32 slot, const u8 *key_data,
			  u32 key_length)
{
	u8 *data;
	int ret = -EINVAL;

	if (key_length > CSIM_SLOT_SIZE)
		return -EFBIG;
	if (csim_fault("sm_keystore_slot_load"))
		return -EFBIG;
	mutex_lock(&csim->sm_lock);
	data = csim_slot(dev, unit, slot);
	if (data) {
		memcpy(data, key_data, key_length);
		ret = 0;
	}
	mutex_unlock(&csim->sm_lock);
	return ret;
}
EXPORT_SYMBOL(sm_keystore_slot_load);

int sm_keystore_slot_read(struct device *dev, u32 unit, u32 slot, u32 key_length,
			  u8 *key_data)
{
	u8 *data;
	int ret = -EINVAL;

	if (key_length > CSIM_SLOT_SIZE)
		return -EKEYREJECTED;
	if (csim_fault("sm_keystore_slot_read"))
		return -EKEYREJECTED;
	mutex_lock(&csim->sm_lock);
	data = csim_slot(dev, unit, slot);
	if (data) {
		memcpy(key_data, data, key_length);
		ret = 0;
	}
	mutex_unlock(&csim->sm_lock);
	return ret;
}
EXPORT_SYMBOL(sm_keystore_slot_read);

/* Covers (or uncovers) a key with the per-boot key: AES-ECB in place. */
static int csim_cover(u8 *data, u16 len, bool cover)
{
	if (!len || len % CSIM_BLOCK)
		return -EINVAL;
	return csim_aes(csim->boot_key, sizeof(csim->boot_key), NULL, data, data, len, cover)
		? -EIO : 0;
}

int sm_keystore_cover_key(struct device *dev, u32 unit, u32 slot, u16 key_length, u8 keyauth)
{
	u8 *data;
	int ret = -EINVAL;

	if (keyauth != KEY_COVER_ECB || key_length > CSIM_SLOT_SIZE)
		return -EINVAL;
	if (csim_fault("sm_keystore_cover_key"))
		return -EIO;
	mutex_lock(&csim->sm_lock);
	data = csim_slot(dev, unit, slot);
	if (data)
		ret = csim_cover(data, key_length, true);
	mutex_unlock(&csim->sm_lock);
	return ret;
}
EXPORT_SYMBOL(sm_keystore_cover_key);

/* ---- blobs ------------------------------------------------------------ */

/* The key that wraps blob keys: the master key applied to the key modifier
 * (8 bytes) and a label. */
static int csim_blob_kek(const u8 *keymod, u8 *kek)
{
	u8 in[32];
	int ret;

	memcpy(in, keymod, CSIM_KEYMOD_LEN);
	memcpy(in + 8, "blobkek0", 8);
	memcpy(in + 16, keymod, CSIM_KEYMOD_LEN);
	memcpy(in + 24, "blobkek1", 8);
	ret = csim_aes(csim->master_key, sizeof(csim->master_key), NULL, in, kek, 32, true);
	memzero_explicit(in, sizeof(in));
	return ret;
}

/* CTR keystream block `n` under the blob key; block 0 masks the MAC. */
static int csim_ctr_block(const u8 *bk, u32 n, u8 *out)
{
	u8 ctr[CSIM_BLOCK] = { 'b', 'l', 'o', 'b', 'c', 't', 'r' };

	ctr[12] = n >> 24;
	ctr[13] = n >> 16;
	ctr[14] = n >> 8;
	ctr[15] = n;
	return csim_aes(bk, 32, NULL, ctr, out, CSIM_BLOCK, true);
}

/* Masked CBC-MAC of the key length and the plain key. */
static int csim_blob_mac(const u8 *bk, const u8 *key, u16 keylen, u8 *mac)
{
	u8 buf[CSIM_BLOCK + CSIM_SLOT_SIZE] = { 'b', 'l', 'o', 'b', 'm', 'a', 'c' };
	u8 iv[CSIM_BLOCK] = { 0 }, mask[CSIM_BLOCK];
	u32 len = CSIM_BLOCK + AES_BLOCK_PAD(keylen), i;
	int ret;

	buf[14] = keylen >> 8;
	buf[15] = keylen;
	memcpy(buf + CSIM_BLOCK, key, keylen);
	ret = csim_aes(bk, 32, iv, buf, buf, len, true) ?: csim_ctr_block(bk, 0, mask);
	for (i = 0; i < CSIM_BLOCK; i++)
		mac[i] = buf[len - CSIM_BLOCK + i] ^ mask[i];
	memzero_explicit(buf, sizeof(buf));
	return ret;
}

static int csim_ctr_crypt(const u8 *bk, const u8 *in, u8 *out, u16 len)
{
	u8 ks[CSIM_BLOCK];
	u32 i;

	for (i = 0; i < len; i++) {
		if (i % CSIM_BLOCK == 0 && csim_ctr_block(bk, 1 + i / CSIM_BLOCK, ks))
			return -EIO;
		out[i] = in[i] ^ ks[i % CSIM_BLOCK];
	}
	memzero_explicit(ks, sizeof(ks));
	return 0;
}

/* blob = wrapped blob key (32) | key under the blob key (keylen) | MAC (16) */
static int csim_blob_encap(const u8 *key, u16 keylen, const u8 *keymod, u8 *blob)
{
	u8 kek[32], bk[32];
	int ret;

	csim_random(bk, sizeof(bk));
	ret = csim_blob_kek(keymod, kek) ?:
	      csim_aes(kek, sizeof(kek), NULL, bk, blob, sizeof(bk), true) ?:
	      csim_ctr_crypt(bk, key, blob + 32, keylen) ?:
	      csim_blob_mac(bk, key, keylen, blob + 32 + keylen);
	memzero_explicit(kek, sizeof(kek));
	memzero_explicit(bk, sizeof(bk));
	return ret ? -EIO : 0;
}

static int csim_blob_decap(const u8 *blob, u16 keylen, const u8 *keymod, u8 *key)
{
	u8 kek[32], bk[32], mac[CSIM_BLOCK], diff = 0;
	int ret, i;

	ret = csim_blob_kek(keymod, kek) ?:
	      csim_aes(kek, sizeof(kek), NULL, blob, bk, sizeof(bk), false) ?:
	      csim_ctr_crypt(bk, blob + 32, key, keylen) ?:
	      csim_blob_mac(bk, key, keylen, mac);
	for (i = 0; i < CSIM_BLOCK; i++)
		diff |= mac[i] ^ blob[32 + keylen + i];
	if (ret || diff) {
		memzero_explicit(key, keylen);
		ret = -EIO;
	}
	memzero_explicit(kek, sizeof(kek));
	memzero_explicit(bk, sizeof(bk));
	return ret;
}

int sm_keystore_slot_export(struct device *dev, u32 unit, u32 slot, u8 keycolor, u8 keyauth,
			    u8 *outbuf, u16 keylen, u8 *keymod)
{
	u8 key[CSIM_SLOT_SIZE];
	u8 *data;
	int ret = -EINVAL;

	if (keyauth != KEY_COVER_ECB || keylen > CSIM_SLOT_SIZE || !keylen)
		return -EINVAL;
	if (csim_fault("sm_keystore_slot_export"))
		return -EIO;
	mutex_lock(&csim->sm_lock);
	data = csim_slot(dev, unit, slot);
	if (data) {
		memcpy(key, data, keylen);
		ret = keycolor == BLACK_KEY ? csim_cover(key, keylen, false) : 0;
		if (!ret)
			ret = csim_blob_encap(key, keylen, keymod, outbuf);
	}
	mutex_unlock(&csim->sm_lock);
	memzero_explicit(key, sizeof(key));
	return ret;
}
EXPORT_SYMBOL(sm_keystore_slot_export);

int sm_keystore_slot_import(struct device *dev, u32 unit, u32 slot, u8 keycolor, u8 keyauth,
			    u8 *inbuf, u16 keylen, u8 *keymod)
{
	u8 key[CSIM_SLOT_SIZE];
	u8 *data;
	int ret = -EINVAL;

	if (keyauth != KEY_COVER_ECB || keylen > CSIM_SLOT_SIZE || !keylen)
		return -EINVAL;
	if (csim_fault("sm_keystore_slot_import"))
		return -EIO;
	mutex_lock(&csim->sm_lock);
	data = csim_slot(dev, unit, slot);
	if (data) {
		ret = csim_blob_decap(inbuf, keylen, keymod, key);
		if (!ret && keycolor == BLACK_KEY)
			ret = csim_cover(key, keylen, true);
		if (!ret)
			memcpy(data, key, keylen);
	}
	mutex_unlock(&csim->sm_lock);
	memzero_explicit(key, sizeof(key));
	return ret;
}
EXPORT_SYMBOL(sm_keystore_slot_import);

int caam_sim_reveal_key(const u8 *blob, u16 keylen, const u8 *keymod, u8 *key)
{
	if (!csim || !keylen || keylen > CSIM_SLOT_SIZE)
		return -EINVAL;
	return csim_blob_decap(blob, keylen, keymod, key);
}

/* ---- bring-up --------------------------------------------------------- */

int caam_sim_attach(const struct caam_sim_params *params, struct device *ctrl,
		    struct device *smdev, struct device *const *jrdevs)
{
	struct caam_sim *sim;
	int i;

	if (params->rings < 0 || params->rings > CAAM_SIM_MAX_RINGS ||
	    params->units > CAAM_SIM_MAX_UNITS)
		return -EINVAL;
	sim = csim_alloc(sizeof(*sim));
	if (!sim)
		return -ENOMEM;
	spin_lock_init(&sim->ring_lock);
	mutex_init(&sim->sm_lock);
	sim->priv.dev = ctrl;
	sim->priv.smdev = smdev;
	sim->units = params->units;
	sim->rings = params->rings;
	for (i = 0; i < params->rings; i++) {
		sim->ring[i].dev = jrdevs[i];
		if (!params->no_jr_drvdata)
			dev_set_drvdata(jrdevs[i], &sim->ring[i]);
	}
	if (!params->no_ctrl_drvdata)
		dev_set_drvdata(ctrl, &sim->priv);
	if (!params->no_sm_drvdata)
		dev_set_drvdata(smdev, sim->unit);
	memcpy(sim->master_key, params->master_key, sizeof(sim->master_key));
	csim_random(sim->boot_key, sizeof(sim->boot_key));
	csim = sim;
	return 0;
}

void caam_sim_detach(void)
{
	struct caam_sim *sim = csim;
	int i;

	if (!sim)
		return;
	csim = NULL;
	dev_set_drvdata(sim->priv.dev, NULL);
	dev_set_drvdata(sim->priv.smdev, NULL);
	for (i = 0; i < sim->rings; i++)
		dev_set_drvdata(sim->ring[i].dev, NULL);
	mutex_destroy(&sim->sm_lock);
	memzero_explicit(sim, sizeof(*sim));
	csim_free(sim);
}
