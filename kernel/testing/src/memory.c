/* kmalloc and page allocations on the C heap, with counters. */
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include <ktest.h>
#include <linux/gfp.h>
#include <linux/slab.h>

#include "internal.h"

/* Each kmalloc block carries its size in front, so kzfree can wipe it. */
struct header {
	size_t size;
	size_t pad; /* keeps the payload 16-byte aligned */
};

static pthread_mutex_t mem_lock = PTHREAD_MUTEX_INITIALIZER;
static long blocks, pages;

static void count(long *counter, long delta)
{
	pthread_mutex_lock(&mem_lock);
	*counter += delta;
	pthread_mutex_unlock(&mem_lock);
}

void *kmalloc(size_t size, gfp_t flags)
{
	struct header *h;

	if (ktest_fault_hit("kmalloc"))
		return NULL;
	h = malloc(sizeof(*h) + (size ? size : 1));
	if (!h)
		return NULL;
	h->size = size;
	if (flags & __GFP_ZERO)
		memset(h + 1, 0, size);
	count(&blocks, 1);
	return h + 1;
}

void *kzalloc(size_t size, gfp_t flags)
{
	return kmalloc(size, flags | __GFP_ZERO);
}

void *kcalloc(size_t n, size_t size, gfp_t flags)
{
	if (size && n > (size_t)-1 / size)
		return NULL;
	return kzalloc(n * size, flags);
}

void kfree(const void *ptr)
{
	if (!ptr)
		return;
	free((struct header *)ptr - 1);
	count(&blocks, -1);
}

void kzfree(const void *ptr)
{
	struct header *h;

	if (!ptr)
		return;
	h = (struct header *)ptr - 1;
	memset(h + 1, 0, h->size);
	kfree(ptr);
}

int get_order(unsigned long size)
{
	int order = 0;

	size = (size - 1) >> PAGE_SHIFT;
	while (size) {
		order++;
		size >>= 1;
	}
	return order;
}

unsigned long __get_free_pages(gfp_t flags, unsigned int order)
{
	void *p;

	if (ktest_fault_hit("get_free_pages"))
		return 0;
	p = aligned_alloc(PAGE_SIZE, PAGE_SIZE << order);
	if (!p)
		return 0;
	if (flags & __GFP_ZERO)
		memset(p, 0, PAGE_SIZE << order);
	count(&pages, 1L << order);
	return (unsigned long)p;
}

void free_pages(unsigned long addr, unsigned int order)
{
	if (!addr)
		return;
	free((void *)addr);
	count(&pages, -(1L << order));
}

long ktest_alloc_outstanding(void)
{
	long n;

	pthread_mutex_lock(&mem_lock);
	n = blocks;
	pthread_mutex_unlock(&mem_lock);
	return n;
}

long ktest_pages_outstanding(void)
{
	long n;

	pthread_mutex_lock(&mem_lock);
	n = pages;
	pthread_mutex_unlock(&mem_lock);
	return n;
}

void ktest_memory_reset(void)
{
	pthread_mutex_lock(&mem_lock);
	blocks = pages = 0;
	pthread_mutex_unlock(&mem_lock);
}
