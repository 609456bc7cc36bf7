#ifndef KTEST_LINUX_STRING_H
#define KTEST_LINUX_STRING_H
#include_next <linux/string.h>
#include <string.h>
/* A wipe the compiler may not drop. */
static inline void memzero_explicit(void *s, size_t count)
{
	memset(s, 0, count);
	__asm__ __volatile__("" : : "r"(s) : "memory");
}
#endif
