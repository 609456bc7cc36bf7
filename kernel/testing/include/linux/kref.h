/* Reference counts as in Linux 4.1: an atomic_t, a WARN when a reference is
 * taken from nothing, and the release function run by the last put. */
#ifndef KTEST_LINUX_KREF_H
#define KTEST_LINUX_KREF_H
#include <linux/atomic.h>
#include <linux/bug.h>
#include <linux/compiler.h>

struct kref {
	atomic_t refcount;
};

static inline void kref_init(struct kref *kref)
{
	atomic_set(&kref->refcount, 1);
}

static inline void kref_get(struct kref *kref)
{
	WARN_ON_ONCE(atomic_inc_return(&kref->refcount) < 2);
}

/* Drops count references; 1 when that released the object. */
static inline int kref_sub(struct kref *kref, unsigned int count,
			   void (*release)(struct kref *kref))
{
	WARN_ON(release == NULL);
	if (atomic_sub_and_test((int)count, &kref->refcount)) {
		release(kref);
		return 1;
	}
	return 0;
}

static inline int kref_put(struct kref *kref, void (*release)(struct kref *kref))
{
	return kref_sub(kref, 1, release);
}

static inline int __must_check kref_get_unless_zero(struct kref *kref)
{
	return atomic_add_unless(&kref->refcount, 1, 0);
}

#endif
