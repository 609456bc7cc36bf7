// SPDX-License-Identifier: GPL-2.0
/*
 * CAAM stand-in, job rings: a client holds a ring, queues job descriptors
 * on it and is called back with each job's status once the job has run.
 */
#include "caam_sim_core.h"

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
