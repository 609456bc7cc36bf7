/* Streaming DMA. The double hands out 32-bit bus addresses (as on the
 * board), keeps every live mapping, and lets a device stand-in turn a bus
 * address back into memory with ktest_dma_resolve. Unmapping what was not
 * mapped, or with another size or direction, counts as misuse. Fault points:
 * "dma_map_single", "dma_map_sg". */
#ifndef KTEST_LINUX_DMA_MAPPING_H
#define KTEST_LINUX_DMA_MAPPING_H
#include <linux/types.h>
#include <linux/device.h>
#include <linux/dma-direction.h>
#include <linux/scatterlist.h>
#define DMA_ERROR_CODE (~(dma_addr_t)0)
#define DMA_BIT_MASK(n) (((n) == 64) ? ~0ULL : ((1ULL << (n)) - 1))
#ifdef __cplusplus
extern "C" {
#endif
dma_addr_t dma_map_single(struct device *dev, void *ptr, size_t size, enum dma_data_direction dir);
void dma_unmap_single(struct device *dev, dma_addr_t addr, size_t size, enum dma_data_direction dir);
int dma_mapping_error(struct device *dev, dma_addr_t addr);
int dma_map_sg(struct device *dev, struct scatterlist *sg, int nents, enum dma_data_direction dir);
void dma_unmap_sg(struct device *dev, struct scatterlist *sg, int nents, enum dma_data_direction dir);
void dma_sync_single_for_cpu(struct device *dev, dma_addr_t addr, size_t size, enum dma_data_direction dir);
void dma_sync_single_for_device(struct device *dev, dma_addr_t addr, size_t size, enum dma_data_direction dir);
void dma_sync_sg_for_cpu(struct device *dev, struct scatterlist *sg, int nents, enum dma_data_direction dir);
void dma_sync_sg_for_device(struct device *dev, struct scatterlist *sg, int nents, enum dma_data_direction dir);
int dma_set_mask_and_coherent(struct device *dev, u64 mask);
#ifdef __cplusplus
}
#endif
#endif
