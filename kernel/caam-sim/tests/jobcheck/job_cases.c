// SPDX-License-Identifier: GPL-2.0
#include <linux/completion.h>
#include <linux/dma-mapping.h>
#include <linux/err.h>
#include <linux/errno.h>
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/string.h>

#include "desc_constr.h"
#include "error.h"
#include "jr.h"
#include "job_cases.h"

const struct csim_job_case csim_job_cases[] = {
	{ "good", 0, 0xB080000C, DMA_BIDIRECTIONAL, 0, 0 },
	{ "unknown command", 3, 0x70000000, DMA_BIDIRECTIONAL, 0, 0x40000001 },
	{ "header without HDR_ONE", 0, 0xB000000C, DMA_BIDIRECTIONAL, 0, 0x40000002 },
	{ "header longer than the 64-word buffer", 0, 0xB080007F, DMA_BIDIRECTIONAL, 0,
	  0x40000002 },
	{ "data length not whole blocks", 5, 0x22120000 | 40, DMA_BIDIRECTIONAL, 0, 0x40000004 },
	{ "store longer than load", 8, 0x60300000 | 48, DMA_BIDIRECTIONAL, 0, 0x40000004 },
	{ "key of 20 bytes", 1, 0x02200014, DMA_BIDIRECTIONAL, 0, 0x40000005 },
	{ "IV mapped for the device to read only", 0, 0xB080000C, DMA_TO_DEVICE, 0, 0x40000003 },
	{ "data pointer off the mapping", 6, 0x0badf000, DMA_BIDIRECTIONAL, 0, 0x40000003 },
	{ "data unmapped before the job", 0, 0xB080000C, DMA_BIDIRECTIONAL,
	  CSIM_CASE_DATA_UNMAPPED, 0x40000003 },
	{ "S/G flag on a plain buffer", 5, 0x23120000 | 64, DMA_BIDIRECTIONAL, 0, 0x40000006 },
	{ "ring given back before the job", 0, 0xB080000C, DMA_BIDIRECTIONAL,
	  CSIM_CASE_RING_FREED, -ENODEV },
};
const unsigned int csim_job_case_count = ARRAY_SIZE(csim_job_cases);

struct csim_job_bufs {
	u32 desc[128];		/* room for any length a header can give */
	u8 key[32], iv[16], data[64];
};

struct csim_job_wait {
	struct completion done;
	u32 status;
};

static void csim_job_done(struct device *dev, u32 *desc, u32 status, void *areq)
{
	struct csim_job_wait *w = areq;

	w->status = status;
	complete(&w->done);
}

long csim_run_job_case(const struct csim_job_case *c)
{
	struct csim_job_bufs *b = kzalloc(sizeof(*b), GFP_KERNEL | GFP_DMA);
	struct csim_job_wait w;
	dma_addr_t k, v, d;
	struct device *jr;
	long ret;

	if (!b)
		return -ENOMEM;
	jr = caam_jr_alloc();
	if (IS_ERR(jr)) {
		kfree(b);
		return PTR_ERR(jr);
	}
	memset(b->key, 7, sizeof(b->key));
	memset(b->data, 0xa5, sizeof(b->data));	/* data, not an S/G table */
	k = dma_map_single(jr, b->key, sizeof(b->key), DMA_TO_DEVICE);
	v = dma_map_single(jr, b->iv, sizeof(b->iv), c->iv_dir);
	d = dma_map_single(jr, b->data, sizeof(b->data), DMA_BIDIRECTIONAL);
	/* A plain-key AES-CBC job over the data in place; the case then
	 * replaces one of its words. */
	init_job_desc(b->desc, 0);
	append_key(b->desc, k, sizeof(b->key), CLASS_1 | KEY_NWB);
	append_load(b->desc, v, sizeof(b->iv), LDST_CLASS_1_CCB | LDST_SRCDST_BYTE_CONTEXT);
	append_fifo_load(b->desc, d, sizeof(b->data),
			 FIFOLD_CLASS_CLASS1 | FIFOLD_TYPE_MSG | FIFOLD_TYPE_LAST1);
	append_operation(b->desc, OP_TYPE_CLASS1_ALG | OP_ALG_ALGSEL_AES | OP_ALG_AAI_CBC |
			 OP_ALG_AS_INITFINAL | OP_ALG_ENCRYPT);
	append_fifo_store(b->desc, d, sizeof(b->data), FIFOST_TYPE_MESSAGE_DATA);
	append_store(b->desc, v, sizeof(b->iv), LDST_CLASS_1_CCB | LDST_SRCDST_BYTE_CONTEXT);
	b->desc[c->word] = c->value;
	if (c->word == 6)
		b->desc[9] = c->value;
	if (c->flags & CSIM_CASE_DATA_UNMAPPED)
		dma_unmap_single(jr, d, sizeof(b->data), DMA_BIDIRECTIONAL);
	if (c->flags & CSIM_CASE_RING_FREED)
		caam_jr_free(jr);

	init_completion(&w.done);
	ret = caam_jr_enqueue(jr, b->desc, csim_job_done, &w);
	if (!ret) {
		wait_for_completion(&w.done);
		ret = w.status;
		if (w.status)
			caam_jr_strstatus(jr, w.status);
	}

	if (!(c->flags & CSIM_CASE_DATA_UNMAPPED))
		dma_unmap_single(jr, d, sizeof(b->data), DMA_BIDIRECTIONAL);
	dma_unmap_single(jr, v, sizeof(b->iv), c->iv_dir);
	dma_unmap_single(jr, k, sizeof(b->key), DMA_TO_DEVICE);
	if (!(c->flags & CSIM_CASE_RING_FREED))
		caam_jr_free(jr);
	kfree(b);
	return ret;
}
