/* Tasks and wait queues. Each thread's task has its own lock and condition
 * variable; a wake-up runs the entry's function under the queue's lock and
 * makes a matching sleeper runnable, so the usual "set state, check, sleep"
 * loop loses no wake-up, as in the kernel. */
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <time.h>

#include <ktest_tty.h>
#include <linux/sched.h>
#include <linux/wait.h>

#include "counter.h"
#include "internal.h"

struct task_struct {
	pthread_mutex_t lock;
	pthread_cond_t cond;
	long state;
	int sigpending;
	int asleep;
	long sleeps;
};

static pthread_key_t task_key;
static pthread_once_t task_once = PTHREAD_ONCE_INIT;

static void task_free(void *p)
{
	struct task_struct *t = p;

	pthread_cond_destroy(&t->cond);
	pthread_mutex_destroy(&t->lock);
	free(t);
}

static void task_key_init(void)
{
	pthread_key_create(&task_key, task_free);
}

struct task_struct *ktest_current(void)
{
	struct task_struct *t;

	pthread_once(&task_once, task_key_init);
	t = pthread_getspecific(task_key);
	if (t)
		return t;
	t = calloc(1, sizeof(*t));
	if (!t)
		abort();
	pthread_mutex_init(&t->lock, NULL);
	pthread_cond_init(&t->cond, NULL);
	pthread_setspecific(task_key, t);
	return t;
}

void set_current_state(long state)
{
	struct task_struct *t = ktest_current();

	pthread_mutex_lock(&t->lock);
	t->state = state;
	pthread_mutex_unlock(&t->lock);
}

void __set_current_state(long state)
{
	set_current_state(state);
}

static int must_sleep(const struct task_struct *t)
{
	if (t->state == TASK_RUNNING)
		return 0;
	return !(t->state == TASK_INTERRUPTIBLE && t->sigpending);
}

void schedule(void)
{
	struct task_struct *t = ktest_current();

	pthread_mutex_lock(&t->lock);
	if (must_sleep(t)) {
		t->asleep = 1;
		t->sleeps++;
		while (must_sleep(t))
			pthread_cond_wait(&t->cond, &t->lock);
		t->asleep = 0;
	}
	t->state = TASK_RUNNING;
	pthread_mutex_unlock(&t->lock);
}

long schedule_timeout(long timeout)
{
	if (timeout != MAX_SCHEDULE_TIMEOUT)
		abort();
	schedule();
	return timeout;
}

int signal_pending(struct task_struct *t)
{
	return ktest_locked(&t->lock, t->sigpending);
}

static int try_to_wake_up(struct task_struct *t, unsigned int mode)
{
	int woken = 0;

	pthread_mutex_lock(&t->lock);
	if (t->state & mode) {
		t->state = TASK_RUNNING;
		pthread_cond_signal(&t->cond);
		woken = 1;
	}
	pthread_mutex_unlock(&t->lock);
	return woken;
}

int wake_up_process(struct task_struct *t)
{
	return try_to_wake_up(t, TASK_NORMAL);
}

void ktest_task_signal(struct task_struct *t)
{
	pthread_mutex_lock(&t->lock);
	t->sigpending = 1;
	pthread_cond_signal(&t->cond);
	pthread_mutex_unlock(&t->lock);
}

void ktest_task_clear_signal(struct task_struct *t)
{
	pthread_mutex_lock(&t->lock);
	t->sigpending = 0;
	pthread_mutex_unlock(&t->lock);
}

int ktest_task_wait_asleep(struct task_struct *t, int timeout_ms)
{
	const struct timespec tick = { 0, 1000000 };
	int asleep = 0, waited;

	for (waited = 0; waited <= timeout_ms; waited++) {
		asleep = ktest_locked(&t->lock, t->asleep);
		if (asleep)
			break;
		nanosleep(&tick, NULL);
	}
	return asleep;
}

long ktest_task_sleeps(struct task_struct *t)
{
	return ktest_locked(&t->lock, t->sleeps);
}

int default_wake_function(wait_queue_t *wait, unsigned int mode, int flags, void *key)
{
	(void)flags;
	(void)key;
	return try_to_wake_up(wait->private, mode);
}

int woken_wake_function(wait_queue_t *wait, unsigned int mode, int flags, void *key)
{
	__atomic_fetch_or(&wait->flags, WQ_FLAG_WOKEN, __ATOMIC_SEQ_CST);
	return default_wake_function(wait, mode, flags, key);
}

/* Sleeps unless a wake-up came since the last call; the WOKEN flag closes
 * the window between the caller's condition check and the sleep. */
long wait_woken(wait_queue_t *wait, unsigned int mode, long timeout)
{
	set_current_state(mode);
	if (!(__atomic_load_n(&wait->flags, __ATOMIC_SEQ_CST) & WQ_FLAG_WOKEN))
		timeout = schedule_timeout(timeout);
	__set_current_state(TASK_RUNNING);
	__atomic_fetch_and(&wait->flags, ~WQ_FLAG_WOKEN, __ATOMIC_SEQ_CST);
	return timeout;
}

void init_waitqueue_head(wait_queue_head_t *q)
{
	pthread_mutex_init(&q->lock, NULL);
	q->ktest_first = q->ktest_last = NULL;
}

static void link_tail(wait_queue_head_t *q, wait_queue_t *wait)
{
	wait->ktest_next = NULL;
	wait->ktest_prev = q->ktest_last;
	if (q->ktest_last)
		q->ktest_last->ktest_next = wait;
	else
		q->ktest_first = wait;
	q->ktest_last = wait;
}

static pthread_mutex_t join_hook_lock = PTHREAD_MUTEX_INITIALIZER;
static wait_queue_head_t *join_hook_queue;
static void (*join_hook_fn)(void *);
static void *join_hook_arg;

void ktest_wait_queue_hook(wait_queue_head_t *q, void (*fn)(void *), void *arg)
{
	pthread_mutex_lock(&join_hook_lock);
	join_hook_queue = q;
	join_hook_fn = fn;
	join_hook_arg = arg;
	pthread_mutex_unlock(&join_hook_lock);
}

void ktest_sched_reset(void)
{
	ktest_wait_queue_hook(NULL, NULL, NULL);
}

/* Runs a test's hook for q, once, before the waiter joins the queue. */
static void join_hook(wait_queue_head_t *q)
{
	void (*fn)(void *) = NULL;
	void *arg = NULL;

	pthread_mutex_lock(&join_hook_lock);
	if (join_hook_queue == q) {
		fn = join_hook_fn;
		arg = join_hook_arg;
		join_hook_queue = NULL;
	}
	pthread_mutex_unlock(&join_hook_lock);
	if (fn)
		fn(arg);
}

void add_wait_queue(wait_queue_head_t *q, wait_queue_t *wait)
{
	join_hook(q);
	pthread_mutex_lock(&q->lock);
	__atomic_fetch_and(&wait->flags, ~WQ_FLAG_EXCLUSIVE, __ATOMIC_SEQ_CST);
	link_tail(q, wait);
	pthread_mutex_unlock(&q->lock);
}

void add_wait_queue_exclusive(wait_queue_head_t *q, wait_queue_t *wait)
{
	join_hook(q);
	pthread_mutex_lock(&q->lock);
	__atomic_fetch_or(&wait->flags, WQ_FLAG_EXCLUSIVE, __ATOMIC_SEQ_CST);
	link_tail(q, wait);
	pthread_mutex_unlock(&q->lock);
}

void remove_wait_queue(wait_queue_head_t *q, wait_queue_t *wait)
{
	pthread_mutex_lock(&q->lock);
	if (wait->ktest_prev)
		wait->ktest_prev->ktest_next = wait->ktest_next;
	else if (q->ktest_first == wait)
		q->ktest_first = wait->ktest_next;
	if (wait->ktest_next)
		wait->ktest_next->ktest_prev = wait->ktest_prev;
	else if (q->ktest_last == wait)
		q->ktest_last = wait->ktest_prev;
	wait->ktest_prev = wait->ktest_next = NULL;
	pthread_mutex_unlock(&q->lock);
}

int waitqueue_active(wait_queue_head_t *q)
{
	return ktest_waitqueue_len(q) > 0;
}

int ktest_waitqueue_len(wait_queue_head_t *q)
{
	wait_queue_t *w;
	int n = 0;

	pthread_mutex_lock(&q->lock);
	for (w = q->ktest_first; w; w = w->ktest_next)
		n++;
	pthread_mutex_unlock(&q->lock);
	return n;
}

void __wake_up(wait_queue_head_t *q, unsigned int mode, int nr_exclusive, void *key)
{
	wait_queue_t *w, *next;

	pthread_mutex_lock(&q->lock);
	for (w = q->ktest_first; w; w = next) {
		unsigned int flags = __atomic_load_n(&w->flags, __ATOMIC_SEQ_CST);

		next = w->ktest_next;
		if (w->func(w, mode, 0, key) && (flags & WQ_FLAG_EXCLUSIVE) && !--nr_exclusive)
			break;
	}
	pthread_mutex_unlock(&q->lock);
}
