/* SPDX-License-Identifier: GPL-2.0 */
/* CAAM job rings: take one, queue descriptors on it, give it back. */
#ifndef CAAM_JR_H
#define CAAM_JR_H

#include <linux/device.h>
#include <linux/types.h>

struct device *caam_jr_alloc(void);
void caam_jr_free(struct device *rdev);
/*
 * Queues a job descriptor (DMA-capable memory, kept until the callback has
 * run). 0 when queued; the callback then runs once, in the ring's completion
 * context, with the job's status word (0 = success). Non-zero when refused.
 */
int caam_jr_enqueue(struct device *dev, u32 *desc,
		    void (*cbk)(struct device *dev, u32 *desc, u32 status, void *areq),
		    void *areq);

#endif
