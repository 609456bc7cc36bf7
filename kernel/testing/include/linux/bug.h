#ifndef KTEST_LINUX_BUG_H
#define KTEST_LINUX_BUG_H
#include <stdlib.h>
#include <linux/printk.h>
/* A BUG in a host test is a crash; a WARN is logged so tests can see it. */
#define BUG() abort()
#define BUG_ON(c) do { if (c) abort(); } while (0)
#define WARN_ON(c) ({ int __w = !!(c); if (__w) printk(KERN_WARNING "WARNING at %s:%d\n", __FILE__, __LINE__); __w; })
#define WARN_ON_ONCE(c) WARN_ON(c)
#define WARN(c, fmt, ...) ({ int __w = !!(c); if (__w) printk(KERN_WARNING fmt, ##__VA_ARGS__); __w; })
#define BUILD_BUG_ON(c) _Static_assert(!(c), #c)
#endif
