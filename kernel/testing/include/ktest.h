/* Test-facing control of the kernel doubles: reset, kernel log, counters and
 * fault injection. Safe to call from any thread. */
#ifndef KTEST_H
#define KTEST_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Forgets log lines, counters and fault settings. */
void ktest_reset(void);

/* Kernel log: one entry per printk, level 0..7 (KERN_ERR is 3; a printk
 * without a level counts as 4, the default), text without the level prefix
 * and without a trailing newline. */
size_t ktest_log_count(void);
int ktest_log_level(size_t index);
/* Copies entry `index` into buf (NUL-terminated); returns its length or -1. */
int ktest_log_text(size_t index, char *buf, size_t size);
/* Number of entries at level <= max_level containing needle. */
size_t ktest_log_find(const char *needle, int max_level);
/* Prints every entry to stderr (for failing tests). */
void ktest_log_dump(void);
/* Forgets the kernel log only, for long runs that keep everything else. */
void ktest_log_reset(void);

/* Memory from kmalloc/kzalloc and page allocations not yet freed. */
long ktest_alloc_outstanding(void);
long ktest_pages_outstanding(void);
/* Pages that were freed holding data (not all zero): a module that keeps
 * plaintext or keys in pages must wipe them before it gives them back. */
long ktest_pages_freed_unwiped(void);

/* User copies made (successful or not) since the last reset. */
long ktest_user_copies(void);

/* Fault points: after `skip` passing calls, the next `count` calls of the
 * named point fail (count -1: every later call). */
void ktest_fault_set(const char *point, int skip, int count);
void ktest_fault_clear(const char *point);
/* Called by doubles: non-zero when this call must fail. */
int ktest_fault_hit(const char *point);
/* How often the point was reached since the last reset. */
long ktest_fault_calls(const char *point);

/* Module entry points and parameters, as module_init, module_exit and
 * module_param declare them in the module under test. */
int ktest_module_init(void);
void ktest_module_exit(void);
/* Sets an integer module parameter by name; -1 if there is none. */
int ktest_param_set_int(const char *name, long value);

#ifdef __cplusplus
}
#endif

#endif
