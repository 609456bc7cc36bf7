/* Completions: a counter under a mutex, waiters on a condition variable. */
#include <linux/completion.h>

void init_completion(struct completion *x)
{
	x->done = 0;
	pthread_mutex_init(&x->lock, NULL);
	pthread_cond_init(&x->wait, NULL);
}

void reinit_completion(struct completion *x)
{
	pthread_mutex_lock(&x->lock);
	x->done = 0;
	pthread_mutex_unlock(&x->lock);
}

void complete(struct completion *x)
{
	pthread_mutex_lock(&x->lock);
	x->done++;
	pthread_cond_signal(&x->wait);
	pthread_mutex_unlock(&x->lock);
}

void complete_all(struct completion *x)
{
	pthread_mutex_lock(&x->lock);
	x->done = ~0u / 2;
	pthread_cond_broadcast(&x->wait);
	pthread_mutex_unlock(&x->lock);
}

void wait_for_completion(struct completion *x)
{
	pthread_mutex_lock(&x->lock);
	while (!x->done)
		pthread_cond_wait(&x->wait, &x->lock);
	x->done--;
	pthread_mutex_unlock(&x->lock);
}

int wait_for_completion_interruptible(struct completion *x)
{
	wait_for_completion(x);
	return 0;
}

unsigned long wait_for_completion_timeout(struct completion *x, unsigned long timeout)
{
	wait_for_completion(x);
	return timeout ? timeout : 1;
}

bool completion_done(struct completion *x)
{
	bool done;

	pthread_mutex_lock(&x->lock);
	done = x->done != 0;
	pthread_mutex_unlock(&x->lock);
	return done;
}
