// SPDX-License-Identifier: GPL-2.0
/*
 * The CAAM stand-in as a kernel module, for test machines without a CAAM:
 * platform devices for the controller, its secure memory and its job rings,
 * AES through the kernel crypto API, and an ordered workqueue as the rings'
 * completion context. Where the kernel has a device tree (the i.MX6 test
 * machine) the controller is the tree's own CAAM node, which the stand-in
 * binds as the CAAM driver would; elsewhere it registers a controller of
 * its own.
 *
 * The device follows bus addresses only through the live mappings of its
 * job rings (caam_sim_dma.c); the devices' 32-bit DMA mask keeps every
 * address within one descriptor word.
 *
 * reveal=1 adds /dev/caam-sim-reveal, a test hook that opens a key record's
 * blob: write the 16-byte key modifier and the blob, read the plain key.
 */
#include <crypto/aes.h>
#include <crypto/skcipher.h>
#include <linux/dma-mapping.h>
#include <linux/fs.h>
#include <linux/kernel.h>
#include <linux/io.h>
#include <linux/miscdevice.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/of.h>
#include <linux/platform_device.h>
#include <linux/random.h>
#include <linux/scatterlist.h>
#include <linux/slab.h>
#include <linux/uaccess.h>
#include <linux/workqueue.h>

#include "caam_sim.h"
#include "caam_sim_plat.h"
#include "caam_sim_dma.h"
#include "caam_sim_of.h"
#include "sm.h"

static bool reveal;
module_param(reveal, bool, 0444);
MODULE_PARM_DESC(reveal, "Add /dev/caam-sim-reveal, which opens key blobs (tests only)");

static uint units = 2;
module_param(units, uint, 0444);
MODULE_PARM_DESC(units, "Secure-memory units");

static int rings = 2;
module_param(rings, int, 0444);
MODULE_PARM_DESC(rings, "Job rings");

static ulong jobs;
module_param(jobs, ulong, 0444);
MODULE_PARM_DESC(jobs, "Jobs run since load");

/* Unreadable after load (mode 0): it opens every key record of the machine. */
static char *master_key;
module_param(master_key, charp, 0);
MODULE_PARM_DESC(master_key, "Device master key, 64 hex digits, kept from boot to boot like "
		 "the fused key of a real CAAM (default: a random key per load)");

static struct platform_device *csim_ctrl, *csim_sm, *csim_jr[CAAM_SIM_MAX_RINGS];
static bool csim_own_ctrl;	/* registered by this module, not the device tree's */
static struct workqueue_struct *csim_wq;

struct csim_work {
	struct work_struct work;
	struct caam_sim_job *job;
};

/* ---- what the core needs --------------------------------------------- */

static int csim_aes_ecb(const u8 *key, unsigned int keylen, const u8 *in, u8 *out,
			unsigned int len, bool encrypt)
{
	struct crypto_aes_ctx *ctx;
	unsigned int i;
	int ret;

	ctx = kmalloc(sizeof(*ctx), GFP_KERNEL);
	if (!ctx)
		return -ENOMEM;
	ret = aes_expandkey(ctx, key, keylen);
	for (i = 0; !ret && i < len; i += AES_BLOCK_SIZE) {
		if (encrypt)
			aes_encrypt(ctx, out + i, in + i);
		else
			aes_decrypt(ctx, out + i, in + i);
	}
	kfree_sensitive(ctx);
	return ret;
}

static int csim_aes_cbc(const u8 *key, unsigned int keylen, const u8 *iv, const u8 *in,
			u8 *out, unsigned int len, bool encrypt)
{
	struct crypto_sync_skcipher *tfm;
	struct scatterlist sg;
	u8 ivbuf[AES_BLOCK_SIZE];
	u8 *buf;
	int ret;

	tfm = crypto_alloc_sync_skcipher("cbc(aes)", 0, 0);
	if (IS_ERR(tfm))
		return PTR_ERR(tfm);
	/* The crypto API works on scatterlists: no stack memory. */
	buf = kmemdup(in, len, GFP_KERNEL);
	ret = buf ? crypto_sync_skcipher_setkey(tfm, key, keylen) : -ENOMEM;
	if (!ret) {
		SYNC_SKCIPHER_REQUEST_ON_STACK(req, tfm);

		memcpy(ivbuf, iv, sizeof(ivbuf));
		sg_init_one(&sg, buf, len);
		skcipher_request_set_sync_tfm(req, tfm);
		skcipher_request_set_callback(req, 0, NULL, NULL);
		skcipher_request_set_crypt(req, &sg, &sg, len, ivbuf);
		ret = encrypt ? crypto_skcipher_encrypt(req) : crypto_skcipher_decrypt(req);
		skcipher_request_zero(req);
		if (!ret)
			memcpy(out, buf, len);
	}
	kfree_sensitive(buf);
	crypto_free_sync_skcipher(tfm);
	return ret;
}

int csim_aes(const u8 *key, unsigned int keylen, const u8 *iv, const u8 *in, u8 *out,
	     unsigned int len, bool encrypt)
{
	if (len % AES_BLOCK_SIZE)
		return -EINVAL;
	if (iv)
		return csim_aes_cbc(key, keylen, iv, in, out, len, encrypt);
	return csim_aes_ecb(key, keylen, in, out, len, encrypt);
}

void csim_random(u8 *buf, unsigned int len)
{
	get_random_bytes(buf, len);
}

void *csim_alloc(size_t size)
{
	return kzalloc(size, GFP_KERNEL);
}

void csim_free(void *ptr)
{
	kfree_sensitive(ptr);
}

void *csim_bus_to_virt(struct device *dev, u32 addr, size_t len, bool device_writes)
{
	return len ? csim_dma_resolve(dev, addr, len, device_writes) : NULL;
}

bool csim_fault(const char *point)
{
	return false;
}

static void csim_work_run(struct work_struct *work)
{
	struct csim_work *w = container_of(work, struct csim_work, work);

	jobs++;
	caam_sim_run(w->job);
	kfree(w);
}

int csim_queue(struct caam_sim_job *job)
{
	struct csim_work *w = kmalloc(sizeof(*w), GFP_ATOMIC);

	if (!w)
		return -ENOMEM;
	INIT_WORK(&w->work, csim_work_run);
	w->job = job;
	queue_work(csim_wq, &w->work);
	return 0;
}

/* ---- device-tree lookups on machines without a device tree ------------ */

#ifndef CONFIG_OF
static struct device_node csim_node = { .name = "caam", .full_name = "caam" };

struct device_node *caam_sim_find_compatible_node(struct device_node *from, const char *type,
						  const char *compatible)
{
	if (from || !csim_ctrl || strcmp(compatible, "fsl,sec-v4.0"))
		return NULL;
	return &csim_node;
}
EXPORT_SYMBOL_GPL(caam_sim_find_compatible_node);

struct platform_device *caam_sim_find_device_by_node(struct device_node *np)
{
	if (np != &csim_node || !csim_ctrl)
		return NULL;
	get_device(&csim_ctrl->dev);
	return csim_ctrl;
}
EXPORT_SYMBOL_GPL(caam_sim_find_device_by_node);
#endif

/* ---- the reveal hook -------------------------------------------------- */

#define CSIM_REVEAL_IN	(16 + 32 + BLOB_OVERHEAD)

struct csim_reveal {
	u8 key[32];
	int ret;
};

static int csim_reveal_open(struct inode *inode, struct file *filp)
{
	struct csim_reveal *r = kzalloc(sizeof(*r), GFP_KERNEL);

	if (!r)
		return -ENOMEM;
	r->ret = -ENODATA;
	filp->private_data = r;
	return 0;
}

static int csim_reveal_release(struct inode *inode, struct file *filp)
{
	kfree_sensitive(filp->private_data);
	return 0;
}

static ssize_t csim_reveal_write(struct file *filp, const char __user *buf, size_t count,
				 loff_t *ppos)
{
	struct csim_reveal *r = filp->private_data;
	u8 in[CSIM_REVEAL_IN];

	if (count != sizeof(in))
		return -EINVAL;
	if (copy_from_user(in, buf, sizeof(in)))
		return -EFAULT;
	r->ret = caam_sim_reveal_key(in + 16, 32, in, r->key);
	return r->ret ? r->ret : count;
}

static ssize_t csim_reveal_read(struct file *filp, char __user *buf, size_t count,
				loff_t *ppos)
{
	struct csim_reveal *r = filp->private_data;

	if (r->ret)
		return r->ret;
	if (count < sizeof(r->key))
		return -EINVAL;
	if (copy_to_user(buf, r->key, sizeof(r->key)))
		return -EFAULT;
	return sizeof(r->key);
}

static const struct file_operations csim_reveal_fops = {
	.owner = THIS_MODULE,
	.open = csim_reveal_open,
	.release = csim_reveal_release,
	.read = csim_reveal_read,
	.write = csim_reveal_write,
};

static struct miscdevice csim_reveal_misc = {
	.minor = MISC_DYNAMIC_MINOR,
	.name = "caam-sim-reveal",
	.fops = &csim_reveal_fops,
};

/* ---- load and unload -------------------------------------------------- */

static struct platform_device *csim_add_device(const char *name, int id)
{
	struct platform_device *pdev = platform_device_register_simple(name, id, NULL, 0);

	if (!IS_ERR(pdev))
		dma_coerce_mask_and_coherent(&pdev->dev, DMA_BIT_MASK(32));
	return pdev;
}

static void csim_remove_devices(void)
{
	int i;

	for (i = 0; i < CAAM_SIM_MAX_RINGS; i++) {
		if (!IS_ERR_OR_NULL(csim_jr[i]))
			platform_device_unregister(csim_jr[i]);
		csim_jr[i] = NULL;
	}
	if (!IS_ERR_OR_NULL(csim_sm))
		platform_device_unregister(csim_sm);
	if (csim_own_ctrl && !IS_ERR_OR_NULL(csim_ctrl))
		platform_device_unregister(csim_ctrl);
	csim_sm = csim_ctrl = NULL;
	csim_own_ctrl = false;
	csim_dma_forget();
}

static int csim_add_devices(struct device **jrdevs)
{
	int i, ret;

	csim_sm = csim_add_device("caam-sim-sm", PLATFORM_DEVID_NONE);
	if (IS_ERR(csim_sm))
		return PTR_ERR(csim_sm);
	for (i = 0; i < rings; i++) {
		csim_jr[i] = csim_add_device("caam-sim-jr", i);
		if (IS_ERR(csim_jr[i]))
			return PTR_ERR(csim_jr[i]);
		jrdevs[i] = &csim_jr[i]->dev;
		ret = csim_dma_track(jrdevs[i]);
		if (ret)
			return ret;
	}
	return 0;
}

/*
 * The master key given at load, or a random one that lives as long as the
 * module. Anything but exactly 64 hex digits is refused: a key silently
 * replaced would make every stored key record unreadable.
 */
static int csim_master_key(u8 *key)
{
	if (!master_key) {
		get_random_bytes(key, CAAM_SIM_MASTER_KEY_LEN);
		return 0;
	}
	if (strlen(master_key) != 2 * CAAM_SIM_MASTER_KEY_LEN ||
	    hex2bin(key, master_key, CAAM_SIM_MASTER_KEY_LEN)) {
		pr_err("caam-sim: master_key must be %d hex digits\n", 2 * CAAM_SIM_MASTER_KEY_LEN);
		return -EINVAL;
	}
	return 0;
}

/* Brings the stand-in up behind the controller device ctrl. */
static int csim_start(struct platform_device *ctrl)
{
	struct caam_sim_params params = { .units = units, .rings = rings };
	struct device *jrdevs[CAAM_SIM_MAX_RINGS];
	int ret;

	csim_ctrl = ctrl;
	ret = csim_add_devices(jrdevs);
	if (ret)
		goto remove;
	ret = csim_master_key(params.master_key);
	if (ret)
		goto remove;
	ret = caam_sim_attach(&params, &ctrl->dev, &csim_sm->dev, jrdevs);
	memzero_explicit(params.master_key, sizeof(params.master_key));
	if (ret)
		goto remove;
	pr_info("caam-sim: CAAM stand-in with %d job rings and %u key store units\n", rings,
		units);
	return 0;

remove:
	csim_remove_devices();
	return ret;
}

static void csim_stop(void)
{
	/* Jobs in flight finish before the rings go away. */
	drain_workqueue(csim_wq);
	caam_sim_detach();
	csim_remove_devices();
}

#ifdef CONFIG_OF
static int csim_probe(struct platform_device *pdev)
{
	int ret;

	if (csim_ctrl)
		return -EBUSY;	/* one controller */
	ret = csim_start(pdev);
	if (!ret)
		dev_info(&pdev->dev, "bound to %pOF\n", pdev->dev.of_node);
	return ret;
}

static int csim_remove(struct platform_device *pdev)
{
	csim_stop();
	return 0;
}

/* The CAAM driver's own compatibles. No module alias: nothing should load
 * the stand-in in place of the real driver. */
static const struct of_device_id csim_of_match[] = {
	{ .compatible = "fsl,sec-v4.0" },
	{ .compatible = "fsl,sec4.0" },
	{ }
};

static struct platform_driver csim_driver = {
	.probe = csim_probe,
	.remove = csim_remove,
	.driver = {
		.name = "caam-sim",
		.of_match_table = csim_of_match,
	},
};

static int csim_bind(void)
{
	int ret = platform_driver_register(&csim_driver);

	if (ret)
		return ret;
	if (!csim_ctrl) {
		/* No CAAM node, or its probe failed (the log says why). */
		platform_driver_unregister(&csim_driver);
		return -ENODEV;
	}
	return 0;
}

static void csim_unbind(void)
{
	platform_driver_unregister(&csim_driver);
}
#else
static int csim_bind(void)
{
	struct platform_device *ctrl = csim_add_device("caam-sim", PLATFORM_DEVID_NONE);

	if (IS_ERR(ctrl))
		return PTR_ERR(ctrl);
	csim_own_ctrl = true;
	return csim_start(ctrl);
}

static void csim_unbind(void)
{
	csim_stop();
}
#endif

static int __init caam_sim_init(void)
{
	int ret;

	if (rings < 0 || rings > CAAM_SIM_MAX_RINGS)
		return -EINVAL;
	csim_wq = alloc_ordered_workqueue("caam-sim", 0);
	if (!csim_wq)
		return -ENOMEM;
	ret = csim_bind();
	if (ret)
		goto destroy;
	if (reveal) {
		ret = misc_register(&csim_reveal_misc);
		if (ret)
			goto unbind;
	}
	return 0;

unbind:
	csim_unbind();
destroy:
	destroy_workqueue(csim_wq);
	return ret;
}

static void __exit caam_sim_exit(void)
{
	if (reveal)
		misc_deregister(&csim_reveal_misc);
	csim_unbind();
	destroy_workqueue(csim_wq);
}

module_init(caam_sim_init);
module_exit(caam_sim_exit);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("CAAM stand-in: job rings and secure-memory key store for test machines");
