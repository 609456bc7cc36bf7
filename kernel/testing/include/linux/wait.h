/* Wait queues that really block: wake-up functions run under the queue's
 * lock, as in the kernel, and wake tasks sleeping in schedule(). */
#ifndef KTEST_LINUX_WAIT_H
#define KTEST_LINUX_WAIT_H
#include <pthread.h>
#include <linux/types.h>

#ifdef __cplusplus
extern "C" {
#endif

struct task_struct;
typedef struct __wait_queue wait_queue_t;
typedef int (*wait_queue_func_t)(wait_queue_t *wait, unsigned int mode, int flags, void *key);

#define WQ_FLAG_EXCLUSIVE 0x01
#define WQ_FLAG_WOKEN 0x02

struct __wait_queue {
	unsigned int flags;
#ifdef __cplusplus
	void *private_;	/* a keyword in C++ */
#else
	void *private;
#endif
	wait_queue_func_t func;
	/* the double's links; the module never touches them */
	wait_queue_t *ktest_prev, *ktest_next;
};

typedef struct __wait_queue_head {
	pthread_mutex_t lock;
	wait_queue_t *ktest_first, *ktest_last;
} wait_queue_head_t;

int default_wake_function(wait_queue_t *wait, unsigned int mode, int flags, void *key);
int woken_wake_function(wait_queue_t *wait, unsigned int mode, int flags, void *key);
long wait_woken(wait_queue_t *wait, unsigned int mode, long timeout);

void init_waitqueue_head(wait_queue_head_t *q);
void add_wait_queue(wait_queue_head_t *q, wait_queue_t *wait);
void add_wait_queue_exclusive(wait_queue_head_t *q, wait_queue_t *wait);
void remove_wait_queue(wait_queue_head_t *q, wait_queue_t *wait);
int waitqueue_active(wait_queue_head_t *q);
void __wake_up(wait_queue_head_t *q, unsigned int mode, int nr_exclusive, void *key);
/* Number of entries on the queue now (tests). */
int ktest_waitqueue_len(wait_queue_head_t *q);

#ifdef __cplusplus
}
#endif

#define __WAIT_QUEUE_HEAD_INITIALIZER(name) { PTHREAD_MUTEX_INITIALIZER, NULL, NULL }
#define DECLARE_WAIT_QUEUE_HEAD(name) wait_queue_head_t name = __WAIT_QUEUE_HEAD_INITIALIZER(name)
#define __WAITQUEUE_INITIALIZER(name, tsk) { 0, tsk, default_wake_function, NULL, NULL }
#define DECLARE_WAITQUEUE(name, tsk) wait_queue_t name = __WAITQUEUE_INITIALIZER(name, tsk)
#define DEFINE_WAIT_FUNC(name, function) wait_queue_t name = { 0, ktest_current(), function, NULL, NULL }

/* Mode bits as in linux/sched.h, needed by the wake_up macros. */
#define KTEST_TASK_INTERRUPTIBLE 1
#define KTEST_TASK_NORMAL 3
#define wake_up(x) __wake_up(x, KTEST_TASK_NORMAL, 1, NULL)
#define wake_up_all(x) __wake_up(x, KTEST_TASK_NORMAL, 0, NULL)
#define wake_up_interruptible(x) __wake_up(x, KTEST_TASK_INTERRUPTIBLE, 1, NULL)
#define wake_up_interruptible_all(x) __wake_up(x, KTEST_TASK_INTERRUPTIBLE, 0, NULL)
#define wake_up_interruptible_poll(x, m) \
	__wake_up(x, KTEST_TASK_INTERRUPTIBLE, 1, (void *)(unsigned long)(m))

#ifdef __cplusplus
extern "C"
#endif
struct task_struct *ktest_current(void);
#endif
