#ifndef KTEST_LINUX_MUTEX_H
#define KTEST_LINUX_MUTEX_H
#include <pthread.h>
#include <linux/types.h>
struct mutex {
	pthread_mutex_t m;
};
#define DEFINE_MUTEX(name) struct mutex name = { PTHREAD_MUTEX_INITIALIZER }
#define mutex_init(l) pthread_mutex_init(&(l)->m, NULL)
#define mutex_destroy(l) pthread_mutex_destroy(&(l)->m)
#define mutex_lock(l) pthread_mutex_lock(&(l)->m)
#define mutex_unlock(l) pthread_mutex_unlock(&(l)->m)
#define mutex_trylock(l) (pthread_mutex_trylock(&(l)->m) == 0)
/* A snapshot, as in the kernel: held by someone at the moment of the call. */
#define mutex_is_locked(l) \
	(pthread_mutex_trylock(&(l)->m) == 0 ? (pthread_mutex_unlock(&(l)->m), 0) : 1)
/* No signals interrupt a host test's lock: it always succeeds. */
#define mutex_lock_interruptible(l) (mutex_lock(l), 0)
#endif
