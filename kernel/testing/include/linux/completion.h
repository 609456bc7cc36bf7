/* Completions on a pthread condition variable: a waiter sleeps until another
 * thread (a device stand-in's completion context) calls complete(). */
#ifndef KTEST_LINUX_COMPLETION_H
#define KTEST_LINUX_COMPLETION_H
#include <pthread.h>
#include <linux/types.h>
struct completion {
	unsigned int done;
	pthread_mutex_t lock;
	pthread_cond_t wait;
};
#ifdef __cplusplus
extern "C" {
#endif
void init_completion(struct completion *x);
void reinit_completion(struct completion *x);
void complete(struct completion *x);
void complete_all(struct completion *x);
void wait_for_completion(struct completion *x);
/* Host tests have no signals: never interrupted. */
int wait_for_completion_interruptible(struct completion *x);
unsigned long wait_for_completion_timeout(struct completion *x, unsigned long timeout);
bool completion_done(struct completion *x);
#ifdef __cplusplus
}
#endif
#endif
