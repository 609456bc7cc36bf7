/* Atomic bit operations on unsigned long words, as the kernel's. */
#ifndef KTEST_LINUX_BITOPS_H
#define KTEST_LINUX_BITOPS_H
#include <linux/types.h>

#define BITS_PER_LONG ((int)(8 * sizeof(long)))
#define BIT(nr) (1UL << (nr))
#define KTEST_BIT_WORD(nr, addr) ((volatile unsigned long *)(addr) + (nr) / BITS_PER_LONG)
#define KTEST_BIT_MASK(nr) (1UL << ((nr) % BITS_PER_LONG))

static inline int test_bit(int nr, const volatile unsigned long *addr)
{
	return (__atomic_load_n(KTEST_BIT_WORD(nr, addr), __ATOMIC_SEQ_CST) & KTEST_BIT_MASK(nr)) != 0;
}

static inline void set_bit(int nr, volatile unsigned long *addr)
{
	__atomic_fetch_or(KTEST_BIT_WORD(nr, addr), KTEST_BIT_MASK(nr), __ATOMIC_SEQ_CST);
}

static inline void clear_bit(int nr, volatile unsigned long *addr)
{
	__atomic_fetch_and(KTEST_BIT_WORD(nr, addr), ~KTEST_BIT_MASK(nr), __ATOMIC_SEQ_CST);
}

static inline int test_and_set_bit(int nr, volatile unsigned long *addr)
{
	return (__atomic_fetch_or(KTEST_BIT_WORD(nr, addr), KTEST_BIT_MASK(nr), __ATOMIC_SEQ_CST) &
		KTEST_BIT_MASK(nr)) != 0;
}

static inline int test_and_clear_bit(int nr, volatile unsigned long *addr)
{
	return (__atomic_fetch_and(KTEST_BIT_WORD(nr, addr), ~KTEST_BIT_MASK(nr), __ATOMIC_SEQ_CST) &
		KTEST_BIT_MASK(nr)) != 0;
}
#endif
