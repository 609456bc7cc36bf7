/* Streaming DMA with 32-bit bus addresses and a table of live mappings. */
#include <pthread.h>
#include <stdlib.h>

#include <ktest.h>
#include <ktest_devices.h>
#include <linux/dma-mapping.h>
#include <linux/printk.h>

#include "counter.h"
#include "internal.h"

/* Bus addresses start here and leave a gap after each mapping, so an access
 * that runs past a mapping's end does not land in the next one. */
#define BUS_BASE 0x10000000u
#define BUS_LIMIT 0xf0000000u
#define BUS_GAP 64u

struct mapping {
	dma_addr_t addr;
	char *cpu;
	size_t size;
	enum dma_data_direction dir;
	struct device *dev;
};

static pthread_mutex_t dma_lock = PTHREAD_MUTEX_INITIALIZER;
static struct mapping *maps;
static size_t nmaps, room;
static dma_addr_t next_bus = BUS_BASE;
static struct ktest_counter total_maps, misuse;

static dma_addr_t add_mapping(struct device *dev, void *ptr, size_t size,
			      enum dma_data_direction dir)
{
	struct mapping *m;
	dma_addr_t addr;

	pthread_mutex_lock(&dma_lock);
	if (nmaps == room) {
		size_t grown = room ? room * 2 : 32;
		struct mapping *more = realloc(maps, grown * sizeof(*more));

		if (!more) {
			pthread_mutex_unlock(&dma_lock);
			return DMA_ERROR_CODE;
		}
		maps = more;
		room = grown;
	}
	if ((u64)next_bus + size + BUS_GAP >= BUS_LIMIT)
		next_bus = BUS_BASE;
	addr = next_bus;
	next_bus += (dma_addr_t)((size + BUS_GAP + 15) & ~(size_t)15);
	m = &maps[nmaps++];
	*m = (struct mapping){ addr, ptr, size, dir, dev };
	ktest_counter_add(&total_maps, 1);
	pthread_mutex_unlock(&dma_lock);
	return addr;
}

static void note_misuse(const char *what, dma_addr_t addr)
{
	ktest_counter_add(&misuse, 1);
	printk(KERN_WARNING "DMA-API: %s of bus address 0x%08x that was not mapped so\n",
	       what, addr);
}

/* Removes (or, for a sync, only checks) the mapping at addr; caller holds
 * dma_lock. */
static void drop_mapping(const char *what, struct device *dev, dma_addr_t addr, size_t size,
			 enum dma_data_direction dir, int remove)
{
	size_t i;

	for (i = 0; i < nmaps; i++) {
		struct mapping *m = &maps[i];

		if (m->addr != addr)
			continue;
		if (m->dev != dev || m->dir != dir || (remove && m->size != size) ||
		    (!remove && size > m->size))
			break;
		if (remove)
			maps[i] = maps[--nmaps];
		return;
	}
	note_misuse(what, addr);
}

dma_addr_t dma_map_single(struct device *dev, void *ptr, size_t size, enum dma_data_direction dir)
{
	if (ktest_fault_hit("dma_map_single") || !ptr || dir == DMA_NONE)
		return DMA_ERROR_CODE;
	return add_mapping(dev, ptr, size, dir);
}

void dma_unmap_single(struct device *dev, dma_addr_t addr, size_t size, enum dma_data_direction dir)
{
	pthread_mutex_lock(&dma_lock);
	drop_mapping("unmap", dev, addr, size, dir, 1);
	pthread_mutex_unlock(&dma_lock);
}

int dma_mapping_error(struct device *dev, dma_addr_t addr)
{
	(void)dev;
	return addr == DMA_ERROR_CODE;
}

int dma_map_sg(struct device *dev, struct scatterlist *sg, int nents, enum dma_data_direction dir)
{
	struct scatterlist *s;
	int i;

	if (ktest_fault_hit("dma_map_sg") || dir == DMA_NONE)
		return 0;
	for_each_sg(sg, s, nents, i) {
		s->dma_address = add_mapping(dev, sg_virt(s), s->length, dir);
		s->dma_length = s->length;
		if (s->dma_address == DMA_ERROR_CODE) {
			dma_unmap_sg(dev, sg, i, dir);
			return 0;
		}
	}
	return nents;
}

/* drop_mapping for every entry of a scatterlist. */
static void drop_sg(const char *what, struct device *dev, struct scatterlist *sg, int nents,
		    enum dma_data_direction dir, int remove)
{
	struct scatterlist *s;
	int i;

	pthread_mutex_lock(&dma_lock);
	for_each_sg(sg, s, nents, i)
		drop_mapping(what, dev, s->dma_address, s->length, dir, remove);
	pthread_mutex_unlock(&dma_lock);
}

void dma_unmap_sg(struct device *dev, struct scatterlist *sg, int nents, enum dma_data_direction dir)
{
	drop_sg("unmap_sg", dev, sg, nents, dir, 1);
}

void dma_sync_single_for_cpu(struct device *dev, dma_addr_t addr, size_t size,
			     enum dma_data_direction dir)
{
	pthread_mutex_lock(&dma_lock);
	drop_mapping("sync", dev, addr, size, dir, 0);
	pthread_mutex_unlock(&dma_lock);
}

void dma_sync_single_for_device(struct device *dev, dma_addr_t addr, size_t size,
				enum dma_data_direction dir)
{
	dma_sync_single_for_cpu(dev, addr, size, dir);
}

void dma_sync_sg_for_cpu(struct device *dev, struct scatterlist *sg, int nents,
			 enum dma_data_direction dir)
{
	drop_sg("sync_sg", dev, sg, nents, dir, 0);
}

void dma_sync_sg_for_device(struct device *dev, struct scatterlist *sg, int nents,
			    enum dma_data_direction dir)
{
	dma_sync_sg_for_cpu(dev, sg, nents, dir);
}

int dma_set_mask_and_coherent(struct device *dev, u64 mask)
{
	dev->coherent_dma_mask = mask;
	return 0;
}

void *ktest_dma_resolve(dma_addr_t addr, size_t len, int device_writes)
{
	void *cpu = NULL;
	size_t i;

	pthread_mutex_lock(&dma_lock);
	for (i = 0; i < nmaps; i++) {
		struct mapping *m = &maps[i];

		if (addr < m->addr || (u64)addr + len > (u64)m->addr + m->size)
			continue;
		if (device_writes ? m->dir == DMA_TO_DEVICE : m->dir == DMA_FROM_DEVICE)
			break;
		cpu = m->cpu + (addr - m->addr);
		break;
	}
	pthread_mutex_unlock(&dma_lock);
	return cpu;
}

long ktest_dma_outstanding(void)
{
	return (long)ktest_locked(&dma_lock, nmaps);
}

long ktest_dma_maps(void)
{
	return ktest_counter_read(&total_maps);
}

long ktest_dma_misuse(void)
{
	return ktest_counter_read(&misuse);
}

void ktest_dma_reset(void)
{
	pthread_mutex_lock(&dma_lock);
	free(maps);
	maps = NULL;
	nmaps = room = 0;
	next_bus = BUS_BASE;
	pthread_mutex_unlock(&dma_lock);
	ktest_counter_set(&total_maps, 0);
	ktest_counter_set(&misuse, 0);
}
