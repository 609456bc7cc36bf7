/* Spinlocks as real locks, so concurrency tests see the module's locking. */
#ifndef KTEST_LINUX_SPINLOCK_H
#define KTEST_LINUX_SPINLOCK_H
#include <pthread.h>
#include <linux/types.h>
typedef struct {
	pthread_mutex_t m;
} spinlock_t;
#define __SPIN_LOCK_UNLOCKED(name) { PTHREAD_MUTEX_INITIALIZER }
#define DEFINE_SPINLOCK(name) spinlock_t name = __SPIN_LOCK_UNLOCKED(name)
#define spin_lock_init(l) pthread_mutex_init(&(l)->m, NULL)
#define spin_lock(l) pthread_mutex_lock(&(l)->m)
#define spin_unlock(l) pthread_mutex_unlock(&(l)->m)
#define spin_lock_bh(l) spin_lock(l)
#define spin_unlock_bh(l) spin_unlock(l)
#define spin_lock_irq(l) spin_lock(l)
#define spin_unlock_irq(l) spin_unlock(l)
#define spin_lock_irqsave(l, flags) do { (flags) = 0; spin_lock(l); } while (0)
#define spin_unlock_irqrestore(l, flags) do { (void)(flags); spin_unlock(l); } while (0)
#endif
