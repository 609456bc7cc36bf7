/* Page allocations: counted, and failing at the "get_free_pages" fault point. */
#ifndef KTEST_LINUX_GFP_H
#define KTEST_LINUX_GFP_H
#include <linux/types.h>
#define GFP_KERNEL 0x10u
#define GFP_ATOMIC 0x20u
#define GFP_DMA 0x01u
#define GFP_NOWAIT 0x40u
#define __GFP_ZERO 0x100u
#define PAGE_SHIFT 12
#define PAGE_SIZE (1UL << PAGE_SHIFT)
#define PAGE_MASK (~(PAGE_SIZE - 1))
#ifdef __cplusplus
extern "C" {
#endif
unsigned long __get_free_pages(gfp_t flags, unsigned int order);
void free_pages(unsigned long addr, unsigned int order);
int get_order(unsigned long size);
#ifdef __cplusplus
}
#endif
#define __get_free_page(flags) __get_free_pages(flags, 0)
#define free_page(addr) free_pages(addr, 0)
#endif
