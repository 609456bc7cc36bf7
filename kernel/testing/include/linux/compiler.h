#ifndef KTEST_LINUX_COMPILER_H
#define KTEST_LINUX_COMPILER_H
#define __user
#define __iomem
#define __force
#define __must_check __attribute__((warn_unused_result))
#define __maybe_unused __attribute__((unused))
#define __always_unused __attribute__((unused))
#define __packed __attribute__((packed))
#define __aligned(x) __attribute__((aligned(x)))
#define likely(x) __builtin_expect(!!(x), 1)
#define unlikely(x) __builtin_expect(!!(x), 0)
/* Marked accesses of data that others change without a common lock: relaxed
 * atomics, so that ThreadSanitizer treats them as the kernel's tools do. */
#define READ_ONCE(x) __atomic_load_n(&(x), __ATOMIC_RELAXED)
#define WRITE_ONCE(x, v) __atomic_store_n(&(x), (v), __ATOMIC_RELAXED)
#define barrier() __asm__ __volatile__("" ::: "memory")
#endif
