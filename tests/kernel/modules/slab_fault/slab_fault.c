// SPDX-License-Identifier: GPL-2.0
/*
 * Proves the VM rig's memory debugging: on load it writes one byte past a
 * slab object and frees it, and writes into an object already freed. The
 * first is reported at the free ("Right Redzone overwritten"), the second
 * when the cache is next checked ("Poison overwritten"). Loaded only by the
 * rig's own suite, whose test expects exactly these reports.
 *
 * The objects come from a cache of their own: a freed kmalloc object is
 * handed to the next allocation of its size, anywhere in the kernel, and a
 * kernel that finds the poison broken there gives up the whole slab, whose
 * next free then trips the list checks and stops the machine. The cache is
 * left behind on unload: the allocator keeps the overrun object, so the
 * cache could not be destroyed cleanly.
 */
#include <linux/module.h>
#include <linux/slab.h>

#define SLAB_FAULT_SIZE 32

/* Out of the compiler's sight, so that it does not refuse the writes. */
static volatile size_t slab_fault_offset;

static int __init slab_fault_init(void)
{
	struct kmem_cache *cache;
	u8 *p, *q;

	/* Debug flags of its own: never merged with another cache. */
	cache = kmem_cache_create("slab_fault", SLAB_FAULT_SIZE, 0,
				  SLAB_RED_ZONE | SLAB_POISON, NULL);
	if (!cache)
		return -ENOMEM;
	p = kmem_cache_alloc(cache, GFP_KERNEL);
	q = kmem_cache_alloc(cache, GFP_KERNEL);
	if (!p || !q) {
		if (p)
			kmem_cache_free(cache, p);
		if (q)
			kmem_cache_free(cache, q);
		kmem_cache_destroy(cache);
		return -ENOMEM;
	}
	slab_fault_offset = SLAB_FAULT_SIZE;
	p[slab_fault_offset] = 0x5a;
	kmem_cache_free(cache, p);

	kmem_cache_free(cache, q);
	slab_fault_offset = 0;
	q[slab_fault_offset] = 0x5a;
	return 0;
}

static void __exit slab_fault_exit(void)
{
}

module_init(slab_fault_init);
module_exit(slab_fault_exit);
MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Deliberate slab corruption for the VM rig's own test");
