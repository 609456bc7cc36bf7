/* The doubles' bookkeeping that tests read from any thread: plain counts as
 * atomic counters, and one-value reads of state kept under a lock. */
#ifndef KTEST_COUNTER_H
#define KTEST_COUNTER_H

#include <pthread.h>

struct ktest_counter {
	long value;
};

static inline void ktest_counter_add(struct ktest_counter *c, long delta)
{
	__atomic_fetch_add(&c->value, delta, __ATOMIC_SEQ_CST);
}

static inline long ktest_counter_read(struct ktest_counter *c)
{
	return __atomic_load_n(&c->value, __ATOMIC_SEQ_CST);
}

static inline void ktest_counter_set(struct ktest_counter *c, long value)
{
	__atomic_store_n(&c->value, value, __ATOMIC_SEQ_CST);
}

/* The value of expr, evaluated with the mutex held. */
#define ktest_locked(mutex, expr)					\
	({								\
		__typeof__(expr) ktest_locked_value_;			\
		pthread_mutex_lock(mutex);				\
		ktest_locked_value_ = (expr);				\
		pthread_mutex_unlock(mutex);				\
		ktest_locked_value_;					\
	})

#endif
