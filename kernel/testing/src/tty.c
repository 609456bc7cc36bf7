/* The tty core as a line discipline meets it in Linux 4.1: discipline
 * registry and reference counts, an ldisc lock taken shared around every
 * call and exclusively for open and close, atomic_write_lock around writes,
 * hangup while other calls still run, and a serial driver that records what
 * the discipline writes to it. */
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <ktest.h>
#include <ktest_tty.h>
#include <linux/poll.h>
#include <linux/sched.h>
#include <linux/tty.h>

#include "counter.h"
#include "internal.h"

struct ktest_file {
	struct file file;	/* first: tests hold &file */
	struct tty_struct *tty;
	struct ktest_file *next;
};

struct ktest_tty {
	pthread_rwlock_t ldisc_sem;
	struct tty_ldisc ldisc;
	int last_disc;
	pthread_mutex_t lock;	/* output and files */
	unsigned char *out;
	size_t out_len, out_room;
	struct ktest_file *files;
	void (*output_hook)(void *);	/* once, after the next driver write */
	void *output_hook_arg;
};

static const struct file_operations tty_fops;
static const struct file_operations hung_up_tty_fops;

static pthread_mutex_t registry_lock = PTHREAD_MUTEX_INITIALIZER;
static struct tty_ldisc_ops *ldiscs[NR_LDISCS];

static pthread_mutex_t helper_lock = PTHREAD_MUTEX_INITIALIZER;
static int helper_result = -ENOIOCTLCMD;
static unsigned int helper_last_cmd;
static long helper_calls;

static pthread_mutex_t fasync_lock = PTHREAD_MUTEX_INITIALIZER;

int tty_register_ldisc(int disc, struct tty_ldisc_ops *new_ldisc)
{
	if (disc < N_TTY || disc >= NR_LDISCS)
		return -EINVAL;
	if (ktest_fault_hit("tty_register_ldisc"))
		return -EBUSY;
	pthread_mutex_lock(&registry_lock);
	ldiscs[disc] = new_ldisc;
	new_ldisc->num = disc;
	new_ldisc->refcount = 0;
	pthread_mutex_unlock(&registry_lock);
	return 0;
}

int tty_unregister_ldisc(int disc)
{
	int ret = 0;

	if (disc < N_TTY || disc >= NR_LDISCS)
		return -EINVAL;
	pthread_mutex_lock(&registry_lock);
	if (ldiscs[disc] && ldiscs[disc]->refcount)
		ret = -EBUSY;
	else
		ldiscs[disc] = NULL;
	pthread_mutex_unlock(&registry_lock);
	return ret;
}

struct tty_ldisc_ops *ktest_ldisc_ops(int disc)
{
	struct tty_ldisc_ops *ops = NULL;

	pthread_mutex_lock(&registry_lock);
	if (disc >= 0 && disc < NR_LDISCS)
		ops = ldiscs[disc];
	pthread_mutex_unlock(&registry_lock);
	return ops;
}

static struct tty_ldisc_ops *ldisc_get(int disc)
{
	struct tty_ldisc_ops *ops;

	pthread_mutex_lock(&registry_lock);
	ops = disc >= 0 && disc < NR_LDISCS ? ldiscs[disc] : NULL;
	if (ops)
		ops->refcount++;
	pthread_mutex_unlock(&registry_lock);
	return ops;
}

static void ldisc_put(struct tty_ldisc_ops *ops)
{
	pthread_mutex_lock(&registry_lock);
	ops->refcount--;
	pthread_mutex_unlock(&registry_lock);
}

static int driver_write(struct tty_struct *tty, const unsigned char *buf, int count)
{
	struct ktest_tty *k = tty->ktest;
	void (*hook)(void *);
	void *arg;

	if (count <= 0)
		return 0;
	pthread_mutex_lock(&k->lock);
	if (k->out_len + count > k->out_room) {
		size_t room = (k->out_len + count) * 2;
		unsigned char *more = realloc(k->out, room);

		if (!more)
			abort();
		k->out = more;
		k->out_room = room;
	}
	memcpy(k->out + k->out_len, buf, count);
	k->out_len += count;
	hook = k->output_hook;
	arg = k->output_hook_arg;
	k->output_hook = NULL;
	pthread_mutex_unlock(&k->lock);
	if (hook)
		hook(arg);
	return count;
}

void ktest_tty_output_hook(struct tty_struct *tty, void (*fn)(void *), void *arg)
{
	struct ktest_tty *k = tty->ktest;

	pthread_mutex_lock(&k->lock);
	k->output_hook = fn;
	k->output_hook_arg = arg;
	pthread_mutex_unlock(&k->lock);
}

static int driver_write_room(struct tty_struct *tty)
{
	(void)tty;
	return 4096;
}

static const struct tty_operations recording_ops = {
	.write = driver_write,
	.write_room = driver_write_room,
};

static struct tty_driver recording_driver = { "ktest", &recording_ops };

struct tty_struct *ktest_tty_alloc(const char *name)
{
	struct tty_struct *tty = calloc(1, sizeof(*tty));
	struct ktest_tty *k = calloc(1, sizeof(*k));

	if (!tty || !k)
		abort();
	snprintf(tty->name, sizeof(tty->name), "%s", name);
	tty->driver = &recording_driver;
	tty->ops = &recording_ops;
	mutex_init(&tty->atomic_write_lock);
	init_waitqueue_head(&tty->read_wait);
	init_waitqueue_head(&tty->write_wait);
	tty->count = 1;
	tty->ktest = k;
	pthread_rwlock_init(&k->ldisc_sem, NULL);
	pthread_mutex_init(&k->lock, NULL);
	k->last_disc = -1;
	k->ldisc.tty = tty;
	return tty;
}

/* Called with the ldisc lock held exclusively. */
static void ldisc_close(struct tty_struct *tty)
{
	struct tty_ldisc *ld = tty->ldisc;

	if (!ld)
		return;
	clear_bit(TTY_LDISC_OPEN, &tty->flags);
	if (ld->ops->close)
		ld->ops->close(tty);
	ldisc_put(ld->ops);
	tty->ldisc = NULL;
}

void ktest_tty_free(struct tty_struct *tty)
{
	struct ktest_tty *k = tty->ktest;
	struct ktest_file *f;

	pthread_rwlock_wrlock(&k->ldisc_sem);
	ldisc_close(tty);
	pthread_rwlock_unlock(&k->ldisc_sem);
	pthread_mutex_lock(&k->lock);
	for (f = k->files; f; f = f->next)
		f->tty = NULL;
	pthread_mutex_unlock(&k->lock);
	pthread_rwlock_destroy(&k->ldisc_sem);
	pthread_mutex_destroy(&k->lock);
	mutex_destroy(&tty->atomic_write_lock);
	free(k->out);
	free(k);
	free(tty);
}

static int ldisc_open(struct tty_struct *tty, int disc)
{
	struct ktest_tty *k = tty->ktest;
	struct tty_ldisc_ops *ops = ldisc_get(disc);
	int ret = 0;

	if (!ops)
		return -EINVAL;
	k->ldisc.ops = ops;
	tty->ldisc = &k->ldisc;
	if (ops->open)
		ret = ops->open(tty);
	if (ret) {
		tty->ldisc = NULL;
		ldisc_put(ops);
		return ret;
	}
	set_bit(TTY_LDISC_OPEN, &tty->flags);
	k->last_disc = disc;
	return 0;
}

int ktest_tty_set_ldisc(struct tty_struct *tty, int disc)
{
	struct ktest_tty *k = tty->ktest;
	int ret;

	if (!ktest_ldisc_ops(disc))
		return -EINVAL;
	pthread_rwlock_wrlock(&k->ldisc_sem);
	ldisc_close(tty);
	ret = ldisc_open(tty, disc);
	pthread_rwlock_unlock(&k->ldisc_sem);
	return ret;
}

int ktest_tty_ldisc(struct tty_struct *tty)
{
	struct ktest_tty *k = tty->ktest;
	int disc;

	pthread_rwlock_rdlock(&k->ldisc_sem);
	disc = tty->ldisc ? tty->ldisc->ops->num : -1;
	pthread_rwlock_unlock(&k->ldisc_sem);
	return disc;
}

int ktest_tty_reopen(struct tty_struct *tty)
{
	struct ktest_tty *k = tty->ktest;
	int ret = 0;

	pthread_rwlock_wrlock(&k->ldisc_sem);
	if (!tty->ldisc)
		ret = ldisc_open(tty, k->last_disc);
	pthread_rwlock_unlock(&k->ldisc_sem);
	return ret;
}

struct file *ktest_file_open(struct tty_struct *tty, unsigned int f_flags)
{
	struct ktest_file *f = calloc(1, sizeof(*f));
	struct ktest_tty *k = tty->ktest;

	if (!f)
		abort();
	f->file.f_op = &tty_fops;
	f->file.f_flags = f_flags;
	f->tty = tty;
	pthread_mutex_lock(&k->lock);
	f->next = k->files;
	k->files = f;
	pthread_mutex_unlock(&k->lock);
	return &f->file;
}

void ktest_file_close(struct file *file)
{
	struct ktest_file *f = (struct ktest_file *)file, **p;

	if (f->tty) {
		struct ktest_tty *k = f->tty->ktest;

		pthread_mutex_lock(&k->lock);
		for (p = &k->files; *p; p = &(*p)->next) {
			if (*p == f) {
				*p = f->next;
				break;
			}
		}
		pthread_mutex_unlock(&k->lock);
	}
	free(f);
}

int tty_hung_up_p(struct file *filp)
{
	return filp && __atomic_load_n(&filp->f_op, __ATOMIC_SEQ_CST) == &hung_up_tty_fops;
}

ssize_t ktest_tty_read(struct tty_struct *tty, struct file *file, void *buf, size_t nr)
{
	struct ktest_tty *k = tty->ktest;
	ssize_t ret = -EIO;

	if (tty_hung_up_p(file))
		return 0;
	pthread_rwlock_rdlock(&k->ldisc_sem);
	if (tty->ldisc && tty->ldisc->ops->read)
		ret = tty->ldisc->ops->read(tty, file, buf, nr);
	pthread_rwlock_unlock(&k->ldisc_sem);
	return ret;
}

ssize_t ktest_tty_write(struct tty_struct *tty, struct file *file, const void *buf, size_t nr)
{
	struct ktest_tty *k = tty->ktest;
	unsigned char *kbuf;
	ssize_t ret = -EIO;

	if (tty_hung_up_p(file))
		return -EIO;
	pthread_rwlock_rdlock(&k->ldisc_sem);
	if (!tty->ldisc || !tty->ldisc->ops->write)
		goto out;
	if (file->f_flags & O_NONBLOCK) {
		ret = -EAGAIN;
		if (!mutex_trylock(&tty->atomic_write_lock))
			goto out;
	} else {
		mutex_lock(&tty->atomic_write_lock);
	}
	/* The discipline sees a kernel copy of the user's data. */
	kbuf = malloc(nr ? nr : 1);
	if (!kbuf)
		abort();
	if (nr)
		memcpy(kbuf, buf, nr);
	ret = tty->ldisc->ops->write(tty, file, kbuf, nr);
	free(kbuf);
	mutex_unlock(&tty->atomic_write_lock);
	wake_up_interruptible_poll(&tty->write_wait, POLLOUT);
out:
	pthread_rwlock_unlock(&k->ldisc_sem);
	return ret;
}

int ktest_tty_ioctl(struct tty_struct *tty, struct file *file, unsigned int cmd, unsigned long arg)
{
	struct ktest_tty *k = tty->ktest;
	int ret = -EINVAL;

	if (tty_hung_up_p(file))
		return -EIO;
	pthread_rwlock_rdlock(&k->ldisc_sem);
	if (tty->ldisc && tty->ldisc->ops->ioctl) {
		ret = tty->ldisc->ops->ioctl(tty, file, cmd, arg);
		if (ret == -ENOIOCTLCMD)
			ret = -ENOTTY;
	}
	pthread_rwlock_unlock(&k->ldisc_sem);
	return ret;
}

unsigned int ktest_tty_poll(struct tty_struct *tty, struct file *file, poll_table *wait)
{
	struct ktest_tty *k = tty->ktest;
	unsigned int mask = 0;

	if (tty_hung_up_p(file))
		return POLLIN | POLLOUT | POLLERR | POLLHUP | POLLRDNORM | POLLWRNORM;
	pthread_rwlock_rdlock(&k->ldisc_sem);
	if (tty->ldisc && tty->ldisc->ops->poll)
		mask = tty->ldisc->ops->poll(tty, file, wait);
	pthread_rwlock_unlock(&k->ldisc_sem);
	return mask;
}

void ktest_tty_receive(struct tty_struct *tty, const unsigned char *cp, const char *flags, int count)
{
	struct ktest_tty *k = tty->ktest;
	char *fp = NULL;

	pthread_rwlock_rdlock(&k->ldisc_sem);
	if (tty->ldisc && tty->ldisc->ops->receive_buf) {
		if (count > (int)tty->receive_room)
			count = (int)tty->receive_room;
		/* The discipline gets the flags in a buffer of the core's. */
		if (flags && count > 0) {
			fp = malloc(count);
			if (!fp)
				abort();
			memcpy(fp, flags, count);
		}
		if (count > 0)
			tty->ldisc->ops->receive_buf(tty, cp, fp, count);
		free(fp);
	}
	pthread_rwlock_unlock(&k->ldisc_sem);
}

void tty_wakeup(struct tty_struct *tty)
{
	struct ktest_tty *k = tty->ktest;

	if (test_bit(TTY_DO_WRITE_WAKEUP, &tty->flags) &&
	    pthread_rwlock_tryrdlock(&k->ldisc_sem) == 0) {
		if (tty->ldisc && tty->ldisc->ops->write_wakeup)
			tty->ldisc->ops->write_wakeup(tty);
		pthread_rwlock_unlock(&k->ldisc_sem);
	}
	wake_up_interruptible_poll(&tty->write_wait, POLLOUT);
}

void ktest_tty_hangup(struct tty_struct *tty)
{
	struct ktest_tty *k = tty->ktest;
	struct tty_ldisc *ld;
	struct ktest_file *f;

	pthread_mutex_lock(&k->lock);
	for (f = k->files; f; f = f->next)
		__atomic_store_n(&f->file.f_op, &hung_up_tty_fops, __ATOMIC_SEQ_CST);
	pthread_mutex_unlock(&k->lock);

	pthread_rwlock_rdlock(&k->ldisc_sem);
	ld = tty->ldisc;
	if (ld) {
		if (test_bit(TTY_DO_WRITE_WAKEUP, &tty->flags) && ld->ops->write_wakeup)
			ld->ops->write_wakeup(tty);
		if (ld->ops->hangup)
			ld->ops->hangup(tty);
	}
	pthread_rwlock_unlock(&k->ldisc_sem);

	wake_up_interruptible_poll(&tty->write_wait, POLLOUT);
	wake_up_interruptible_poll(&tty->read_wait, POLLIN);

	pthread_rwlock_wrlock(&k->ldisc_sem);
	ldisc_close(tty);
	pthread_rwlock_unlock(&k->ldisc_sem);
}

void ktest_tty_other_closed(struct tty_struct *tty, int closed)
{
	if (closed)
		set_bit(TTY_OTHER_CLOSED, &tty->flags);
	else
		clear_bit(TTY_OTHER_CLOSED, &tty->flags);
	wake_up_interruptible(&tty->read_wait);
	wake_up_interruptible(&tty->write_wait);
}

size_t ktest_tty_take_output(struct tty_struct *tty, unsigned char *buf, size_t size)
{
	struct ktest_tty *k = tty->ktest;
	size_t n;

	pthread_mutex_lock(&k->lock);
	n = k->out_len < size ? k->out_len : size;
	if (n) {
		memcpy(buf, k->out, n);
		memmove(k->out, k->out + n, k->out_len - n);
		k->out_len -= n;
	}
	pthread_mutex_unlock(&k->lock);
	return n;
}

size_t ktest_tty_output_len(struct tty_struct *tty)
{
	struct ktest_tty *k = tty->ktest;

	return ktest_locked(&k->lock, k->out_len);
}

int n_tty_ioctl_helper(struct tty_struct *tty, struct file *file, unsigned int cmd, unsigned long arg)
{
	int ret;

	(void)tty;
	(void)file;
	(void)arg;
	pthread_mutex_lock(&helper_lock);
	helper_last_cmd = cmd;
	helper_calls++;
	ret = helper_result;
	pthread_mutex_unlock(&helper_lock);
	return ret;
}

void ktest_n_tty_helper_result(int result)
{
	pthread_mutex_lock(&helper_lock);
	helper_result = result;
	pthread_mutex_unlock(&helper_lock);
}

unsigned int ktest_n_tty_helper_last_cmd(void)
{
	return ktest_locked(&helper_lock, helper_last_cmd);
}

long ktest_n_tty_helper_calls(void)
{
	return ktest_locked(&helper_lock, helper_calls);
}

void kill_fasync(struct fasync_struct **fp, int sig, int band)
{
	struct fasync_struct *fa;

	pthread_mutex_lock(&fasync_lock);
	for (fa = *fp; fa; fa = fa->fa_next) {
		fa->ktest_count++;
		fa->ktest_sig = sig;
		fa->ktest_band = band;
	}
	pthread_mutex_unlock(&fasync_lock);
}

static void record_queue(struct file *filp, wait_queue_head_t *q, poll_table *p)
{
	struct ktest_poll_table *t = (struct ktest_poll_table *)p;

	(void)filp;
	if (t->count < (int)(sizeof(t->queues) / sizeof(t->queues[0])))
		t->queues[t->count++] = q;
}

void ktest_poll_table_init(struct ktest_poll_table *t)
{
	memset(t, 0, sizeof(*t));
	t->pt._qproc = record_queue;
}

void ktest_tty_reset(void)
{
	pthread_mutex_lock(&helper_lock);
	helper_result = -ENOIOCTLCMD;
	helper_last_cmd = 0;
	helper_calls = 0;
	pthread_mutex_unlock(&helper_lock);
}
