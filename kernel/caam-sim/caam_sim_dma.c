// SPDX-License-Identifier: GPL-2.0
/*
 * Streaming DMA of the job ring devices in the kernel build. A job may
 * reach a buffer only while its client has it mapped for the ring, and only
 * in the direction mapped: on the board a job that reaches further reads
 * stale data or corrupts memory, and here it fails with an address error
 * instead, as the host build's DMA double makes it fail.
 *
 * Each ring device gets DMA operations that map through the operations it
 * had (dma-direct when none) and note every mapping. The device follows a
 * bus address only through these notes, to the lowmem page behind it.
 */
#include <linux/dma-direct.h>
#include <linux/dma-map-ops.h>
#include <linux/list.h>
#include <linux/mm.h>
#include <linux/scatterlist.h>
#include <linux/slab.h>
#include <linux/spinlock.h>

#include "caam_sim.h"
#include "caam_sim_dma.h"

struct csim_mapping {
	struct list_head node;
	struct device *dev;
	dma_addr_t addr;
	size_t size;
	enum dma_data_direction dir;
	void *cpu;		/* NULL for highmem: the device cannot follow it */
};

static LIST_HEAD(csim_mappings);
static DEFINE_SPINLOCK(csim_mappings_lock);

/* The operations each tracked device had before; NULL means dma-direct. */
static struct {
	struct device *dev;
	const struct dma_map_ops *ops;
} csim_platform[CAAM_SIM_MAX_RINGS];

static const struct dma_map_ops *csim_platform_ops(struct device *dev)
{
	int i;

	for (i = 0; i < ARRAY_SIZE(csim_platform); i++)
		if (csim_platform[i].dev == dev)
			return csim_platform[i].ops;
	return NULL;
}

static void csim_note(struct device *dev, dma_addr_t addr, size_t size,
		      enum dma_data_direction dir, struct page *page, unsigned long offset,
		      struct csim_mapping *m)
{
	unsigned long flags;

	*m = (struct csim_mapping){ .dev = dev, .addr = addr, .size = size, .dir = dir,
		.cpu = PageHighMem(page) ? NULL : page_address(page) + offset };
	spin_lock_irqsave(&csim_mappings_lock, flags);
	list_add(&m->node, &csim_mappings);
	spin_unlock_irqrestore(&csim_mappings_lock, flags);
}

static void csim_drop(struct device *dev, dma_addr_t addr)
{
	struct csim_mapping *m, *found = NULL;
	unsigned long flags;

	spin_lock_irqsave(&csim_mappings_lock, flags);
	list_for_each_entry(m, &csim_mappings, node) {
		if (m->dev == dev && m->addr == addr) {
			list_del(&m->node);
			found = m;
			break;
		}
	}
	spin_unlock_irqrestore(&csim_mappings_lock, flags);
	if (!found)
		dev_warn(dev, "unmap of bus address %pad that is not mapped\n", &addr);
	kfree(found);
}

static dma_addr_t csim_map_page(struct device *dev, struct page *page, unsigned long offset,
				size_t size, enum dma_data_direction dir, unsigned long attrs)
{
	const struct dma_map_ops *ops = csim_platform_ops(dev);
	struct csim_mapping *m = kmalloc(sizeof(*m), GFP_ATOMIC);
	dma_addr_t addr;

	if (!m)
		return DMA_MAPPING_ERROR;
	if (ops) {
		addr = ops->map_page(dev, page, offset, size, dir, attrs);
	} else {
		addr = phys_to_dma(dev, page_to_phys(page) + offset);
		if (!dma_capable(dev, addr, size, true))
			addr = DMA_MAPPING_ERROR;
	}
	if (addr == DMA_MAPPING_ERROR) {
		kfree(m);
		return addr;
	}
	csim_note(dev, addr, size, dir, page, offset, m);
	return addr;
}

static void csim_unmap_page(struct device *dev, dma_addr_t addr, size_t size,
			    enum dma_data_direction dir, unsigned long attrs)
{
	const struct dma_map_ops *ops = csim_platform_ops(dev);

	csim_drop(dev, addr);
	if (ops && ops->unmap_page)
		ops->unmap_page(dev, addr, size, dir, attrs);
}

static void csim_unmap_sg(struct device *dev, struct scatterlist *sgl, int nents,
			  enum dma_data_direction dir, unsigned long attrs)
{
	struct scatterlist *sg;
	int i;

	for_each_sg(sgl, sg, nents, i)
		csim_unmap_page(dev, sg_dma_address(sg), sg_dma_len(sg), dir, attrs);
}

/* One mapping per entry, so that every entry can be checked on its own. */
static int csim_map_sg(struct device *dev, struct scatterlist *sgl, int nents,
		       enum dma_data_direction dir, unsigned long attrs)
{
	struct scatterlist *sg;
	int i;

	for_each_sg(sgl, sg, nents, i) {
		sg_dma_address(sg) = csim_map_page(dev, sg_page(sg), sg->offset, sg->length, dir,
						   attrs);
		if (sg_dma_address(sg) == DMA_MAPPING_ERROR) {
			csim_unmap_sg(dev, sgl, i, dir, attrs);
			return -EIO;
		}
		sg_dma_len(sg) = sg->length;
	}
	return nents;
}

static void csim_sync_for_cpu(struct device *dev, dma_addr_t addr, size_t size,
			      enum dma_data_direction dir)
{
	const struct dma_map_ops *ops = csim_platform_ops(dev);

	if (ops && ops->sync_single_for_cpu)
		ops->sync_single_for_cpu(dev, addr, size, dir);
}

static void csim_sync_for_device(struct device *dev, dma_addr_t addr, size_t size,
				 enum dma_data_direction dir)
{
	const struct dma_map_ops *ops = csim_platform_ops(dev);

	if (ops && ops->sync_single_for_device)
		ops->sync_single_for_device(dev, addr, size, dir);
}

static void csim_sync_sg_for_cpu(struct device *dev, struct scatterlist *sgl, int nents,
				 enum dma_data_direction dir)
{
	struct scatterlist *sg;
	int i;

	for_each_sg(sgl, sg, nents, i)
		csim_sync_for_cpu(dev, sg_dma_address(sg), sg_dma_len(sg), dir);
}

static void csim_sync_sg_for_device(struct device *dev, struct scatterlist *sgl, int nents,
				    enum dma_data_direction dir)
{
	struct scatterlist *sg;
	int i;

	for_each_sg(sgl, sg, nents, i)
		csim_sync_for_device(dev, sg_dma_address(sg), sg_dma_len(sg), dir);
}

static const struct dma_map_ops csim_dma_ops = {
	.map_page = csim_map_page,
	.unmap_page = csim_unmap_page,
	.map_sg = csim_map_sg,
	.unmap_sg = csim_unmap_sg,
	.sync_single_for_cpu = csim_sync_for_cpu,
	.sync_single_for_device = csim_sync_for_device,
	.sync_sg_for_cpu = csim_sync_sg_for_cpu,
	.sync_sg_for_device = csim_sync_sg_for_device,
};

int csim_dma_track(struct device *dev)
{
	int i;

	for (i = 0; i < ARRAY_SIZE(csim_platform); i++) {
		if (!csim_platform[i].dev) {
			csim_platform[i].dev = dev;
			csim_platform[i].ops = get_dma_ops(dev);
			set_dma_ops(dev, &csim_dma_ops);
			return 0;
		}
	}
	return -ENOSPC;
}

void *csim_dma_resolve(struct device *dev, u32 addr, size_t len, bool device_writes)
{
	enum dma_data_direction refused = device_writes ? DMA_TO_DEVICE : DMA_FROM_DEVICE;
	struct csim_mapping *m;
	unsigned long flags;
	void *cpu = NULL;

	spin_lock_irqsave(&csim_mappings_lock, flags);
	list_for_each_entry(m, &csim_mappings, node) {
		if (m->dev != dev || addr < m->addr || (u64)addr + len > (u64)m->addr + m->size)
			continue;
		if (m->dir != refused && m->cpu)
			cpu = m->cpu + (addr - m->addr);
		break;
	}
	spin_unlock_irqrestore(&csim_mappings_lock, flags);
	return cpu;
}

void csim_dma_forget(void)
{
	struct csim_mapping *m, *next;
	unsigned int left = 0;

	list_for_each_entry_safe(m, next, &csim_mappings, node) {
		list_del(&m->node);
		kfree(m);
		left++;
	}
	if (left)
		pr_err("caam-sim: %u DMA mappings of the job rings were never unmapped\n", left);
	memset(csim_platform, 0, sizeof(csim_platform));
}
