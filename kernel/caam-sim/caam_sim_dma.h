/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Streaming DMA of the job ring devices in the kernel build: their DMA
 * operations map as the platform does and keep a table of live mappings,
 * which is all that the stand-in's device may reach.
 */
#ifndef CAAM_SIM_DMA_H
#define CAAM_SIM_DMA_H

#include <linux/device.h>
#include <linux/types.h>

/* Gives dev the tracking DMA operations; before its first mapping. */
int csim_dma_track(struct device *dev);
/* The memory behind [addr, addr + len) if one live mapping of dev covers it
 * for this access (device_writes: the device writes), else NULL. */
void *csim_dma_resolve(struct device *dev, u32 addr, size_t len, bool device_writes);
/* Drops the table once the devices are gone, naming mappings left behind. */
void csim_dma_forget(void);

#endif
