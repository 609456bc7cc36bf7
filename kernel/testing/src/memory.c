/* kmalloc and page allocations on the C heap, with counters. */
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include <ktest.h>
#include <linux/gfp.h>
#include <linux/slab.h>

#include "counter.h"
#include "internal.h"

/* Each kmalloc block carries its size in front, so kzfree can wipe it. */
struct header {
	size_t size;
	size_t pad; /* keeps the payload 16-byte aligned */
};

static struct ktest_counter blocks, pages, unwiped_pages;

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
	ktest_counter_add(&blocks, 1);
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
	ktest_counter_add(&blocks, -1);
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
	ktest_counter_add(&pages, 1L << order);
	return (unsigned long)p;
}

/* True when a page still holds something: it was not wiped before its
 * release. */
static int page_holds_data(const unsigned char *page)
{
	size_t i;

	for (i = 0; i < PAGE_SIZE; i++)
		if (page[i])
			return 1;
	return 0;
}

void free_pages(unsigned long addr, unsigned int order)
{
	unsigned long i;

	if (!addr)
		return;
	for (i = 0; i < 1UL << order; i++)
		if (page_holds_data((const unsigned char *)addr + i * PAGE_SIZE))
			ktest_counter_add(&unwiped_pages, 1);
	free((void *)addr);
	ktest_counter_add(&pages, -(1L << order));
}

long ktest_alloc_outstanding(void)
{
	return ktest_counter_read(&blocks);
}

long ktest_pages_outstanding(void)
{
	return ktest_counter_read(&pages);
}

long ktest_pages_freed_unwiped(void)
{
	return ktest_counter_read(&unwiped_pages);
}

void ktest_memory_reset(void)
{
	ktest_counter_set(&blocks, 0);
	ktest_counter_set(&pages, 0);
	ktest_counter_set(&unwiped_pages, 0);
}
