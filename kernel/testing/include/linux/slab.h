/* kmalloc family: counted, and failing at the "kmalloc" fault point. */
#ifndef KTEST_LINUX_SLAB_H
#define KTEST_LINUX_SLAB_H
#include <linux/types.h>
#include <linux/gfp.h>
#ifdef __cplusplus
extern "C" {
#endif
void *kmalloc(size_t size, gfp_t flags);
void *kzalloc(size_t size, gfp_t flags);
void *kcalloc(size_t n, size_t size, gfp_t flags);
void kfree(const void *ptr);
void kzfree(const void *ptr);
#ifdef __cplusplus
}
#endif
#define kmalloc_array(n, size, flags) kcalloc(n, size, flags)
#endif
