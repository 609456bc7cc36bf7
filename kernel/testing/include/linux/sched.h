/* Tasks: every thread is a task that sleeps in schedule() until a wake-up or,
 * when interruptible, a signal. Tests deliver signals and watch sleepers with
 * the ktest_task_* calls of ktest_tty.h. */
#ifndef KTEST_LINUX_SCHED_H
#define KTEST_LINUX_SCHED_H
#include <limits.h>
#include <linux/types.h>
#include <linux/wait.h>
#include <linux/signal.h>

#define TASK_RUNNING 0
#define TASK_INTERRUPTIBLE KTEST_TASK_INTERRUPTIBLE
#define TASK_UNINTERRUPTIBLE 2
#define TASK_NORMAL KTEST_TASK_NORMAL
#define MAX_SCHEDULE_TIMEOUT LONG_MAX

#ifdef __cplusplus
extern "C" {
#endif
struct task_struct;
void set_current_state(long state);
void __set_current_state(long state);
void schedule(void);
/* Only MAX_SCHEDULE_TIMEOUT is supported; returns it. */
long schedule_timeout(long timeout);
int signal_pending(struct task_struct *p);
int wake_up_process(struct task_struct *p);
#ifdef __cplusplus
}
#endif

/* C++ tests call ktest_current(); the name "current" stays free there. */
#ifndef __cplusplus
#define current ktest_current()
#endif
#endif
