/* atomic_t as in Linux 4.1, on the compiler's sequentially consistent
 * atomics (which ThreadSanitizer follows). */
#ifndef KTEST_LINUX_ATOMIC_H
#define KTEST_LINUX_ATOMIC_H

typedef struct {
	int counter;
} atomic_t;

#define ATOMIC_INIT(i) { (i) }

static inline int atomic_read(const atomic_t *v)
{
	return __atomic_load_n(&v->counter, __ATOMIC_SEQ_CST);
}

static inline void atomic_set(atomic_t *v, int i)
{
	__atomic_store_n(&v->counter, i, __ATOMIC_SEQ_CST);
}

static inline int atomic_add_return(int i, atomic_t *v)
{
	return __atomic_add_fetch(&v->counter, i, __ATOMIC_SEQ_CST);
}

static inline int atomic_sub_return(int i, atomic_t *v)
{
	return __atomic_sub_fetch(&v->counter, i, __ATOMIC_SEQ_CST);
}

#define atomic_inc_return(v) atomic_add_return(1, v)
#define atomic_inc(v) ((void)atomic_add_return(1, v))
#define atomic_dec(v) ((void)atomic_sub_return(1, v))
#define atomic_sub_and_test(i, v) (atomic_sub_return(i, v) == 0)
#define atomic_dec_and_test(v) (atomic_sub_return(1, v) == 0)

/* Adds a to v unless v is u; non-zero when it added. */
static inline int atomic_add_unless(atomic_t *v, int a, int u)
{
	int c = atomic_read(v);

	while (c != u)
		if (__atomic_compare_exchange_n(&v->counter, &c, c + a, 0, __ATOMIC_SEQ_CST,
						__ATOMIC_SEQ_CST))
			return 1;
	return 0;
}

#endif
