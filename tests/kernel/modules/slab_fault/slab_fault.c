// SPDX-License-Identifier: GPL-2.0
/*
 * Proves the VM rig's memory debugging: on load it writes one byte past a
 * kmalloc object and frees it, and writes into an object already freed.
 * The first is reported at the kfree ("Right Redzone overwritten"), the
 * second when the cache is next checked ("Poison overwritten"). Loaded only
 * by the rig's own suite, whose test expects exactly these reports.
 */
#include <linux/module.h>
#include <linux/slab.h>

/* Out of the compiler's sight, so that it does not refuse the writes. */
static volatile size_t slab_fault_offset;

static int __init slab_fault_init(void)
{
	u8 *p = kmalloc(32, GFP_KERNEL);
	u8 *q = kmalloc(32, GFP_KERNEL);

	if (!p || !q) {
		kfree(p);
		kfree(q);
		return -ENOMEM;
	}
	slab_fault_offset = ksize(p);
	p[slab_fault_offset] = 0x5a;
	kfree(p);

	kfree(q);
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
