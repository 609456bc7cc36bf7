// SPDX-License-Identifier: GPL-2.0
/*
 * The writer's side: the write entry that parks a framed message as its
 * station's pending frame, the framing rules, sending to the line, the
 * release of pending frames, and the write wake-up.
 */
#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/kernel.h>
#include <linux/poll.h>
#include <linux/sched.h>
#include <linux/signal.h>
#include <linux/tty.h>
#include <linux/wait.h>

#include "tarn.h"

/* Answers go straight to the serial driver; its result is not examined. */
static void tarn_send(struct tarn_state *st, const u8 *bytes, int n)
{
	st->tty->ops->write(st->tty, bytes, n);
}

void tarn_send_byte(struct tarn_state *st, u8 b)
{
	tarn_send(st, &b, 1);
}

void tarn_send_pending(struct tarn_state *st, struct tarn_station *s)
{
	tarn_send(st, s->pending->data, s->pending->len);
	s->sent = 1;
}

void tarn_release_pending(struct tarn_state *st, struct tarn_station *s)
{
	if (!s->pending)
		return;
	n_tarn_buf_free(s->pending);
	s->pending = NULL;
	s->sent = 0;
	wake_up_interruptible(&st->tty->write_wait);
}

/* Checks of a write before it may wait; st->lock is taken for the lookup. */
static int tarn_write_check(struct tarn_state *st, const unsigned char *buf, size_t nr)
{
	u8 id;
	int ret = 0;

	if (nr == 0)
		return -EIO;
	if (nr > TARN_WRITE_MAX)
		return -EOVERFLOW;
	id = buf[0] & TARN_ID_MASK;
	if (id < TARN_ID_MIN || id > TARN_ID_MAX)
		return -EINVAL;
	mutex_lock(&st->lock);
	if (st->dead)
		ret = -ENODEV;
	else if (!*tarn_station_slot(st, id))
		ret = -EINVAL;
	mutex_unlock(&st->lock);
	return ret;
}

/*
 * A frame: STX, the text with its escaped bytes after a DLE, ETX and the
 * block check, the XOR of the text (with or without the escapes, by the
 * discipline's rule) and the ETX.
 */
static void tarn_frame(struct n_tarn_buf *frame, const u8 *text, size_t len,
		       const struct tarn_discipline *disc)
{
	u8 *p = frame->data;
	u8 bcc = 0;
	size_t i;

	*p++ = TARN_STX;
	for (i = 0; i < len; i++) {
		if (disc->escaped(text[i])) {
			*p++ = TARN_DLE;
			if (disc->bcc_covers_dle)
				bcc ^= TARN_DLE;
		}
		*p++ = text[i];
		bcc ^= text[i];
	}
	*p++ = TARN_ETX;
	bcc ^= TARN_ETX;
	*p++ = bcc;
	frame->len = p - frame->data;
}

/*
 * Frames the write and parks it as the station's pending frame, if the
 * station has none and the pool has a buffer; -EAGAIN otherwise, -ENODEV
 * when the tty was closed meanwhile.
 */
static int tarn_park(struct tarn_state *st, const unsigned char *buf, size_t nr,
		     const struct tarn_discipline *disc)
{
	struct tarn_station *s;
	struct n_tarn_buf *frame;
	int ret = -EAGAIN;

	mutex_lock(&st->lock);
	if (st->dead) {
		ret = -ENODEV;
		goto out;
	}
	s = *tarn_station_slot(st, buf[0]);
	if (s->pending)
		goto out;
	frame = n_tarn_buf_alloc();
	if (!frame)
		goto out;
	tarn_frame(frame, buf + 1, nr - 1, disc);
	s->tx_flags = buf[0];
	s->pending = frame;
	s->sent = 0;
	ret = 0;
out:
	mutex_unlock(&st->lock);
	return ret;
}

/*
 * A writer's second entry, on the pool's queue: a released buffer wakes the
 * writer as its own entry on write_wait would, so that one wait covers both.
 */
static int tarn_pool_wake(tarn_waiter_t *pool_wait, unsigned int mode, int sync, void *key)
{
	return woken_wake_function(pool_wait->private, mode, sync, key);
}

/*
 * The write entry of both disciplines: waits, unless O_NONBLOCK, until the
 * station's slot is free and the pool has a buffer, then parks the frame.
 * The slot comes back on this tty, announced on write_wait; a buffer may
 * come back from any tty, announced on the pool's queue.
 */
ssize_t tarn_write(struct tty_struct *tty, struct file *file, const unsigned char *buf,
		   size_t nr, const struct tarn_discipline *disc)
{
	DEFINE_WAIT_FUNC(wait, woken_wake_function);
	DEFINE_WAIT_FUNC(pool_wait, tarn_pool_wake);
	struct tarn_state *st;
	bool waited = false;
	int ret;

	st = tarn_state_get(tty);
	if (!st) {
		pr_err("%s_write: bad tty\n", disc->name);
		return -EIO;
	}
	ret = tarn_write_check(st, buf, nr);
	if (ret == -ENODEV) {
		pr_err("%s_write: bad tty\n", disc->name);
		ret = -EIO;
	}
	if (ret)
		goto out;

	pool_wait.private = &wait;
	add_wait_queue(&tty->write_wait, &wait);
	add_wait_queue(&n_tarn_buf_wait, &pool_wait);
	for (;;) {
		ret = tarn_park(st, buf, nr, disc);
		if (ret == -ENODEV) {
			if (waited)
				pr_err("%s_write: bad tty after wait!\n", disc->name);
			else
				pr_err("%s_write: bad tty\n", disc->name);
			ret = -EIO;
		}
		if (ret != -EAGAIN || tarn_io_nonblock(tty, file))
			break;
		wait_woken(&wait, TASK_INTERRUPTIBLE, MAX_SCHEDULE_TIMEOUT);
		waited = true;
		if (!tarn_state_current(tty, st)) {
			pr_err("%s_write: bad tty after wait!\n", disc->name);
			ret = -EIO;
			break;
		}
		if (signal_pending(current)) {
			ret = -EINTR;
			break;
		}
	}
	remove_wait_queue(&n_tarn_buf_wait, &pool_wait);
	remove_wait_queue(&tty->write_wait, &wait);
out:
	tarn_state_put(st);
	return ret ? ret : (ssize_t)nr;
}

void tarn_write_wakeup(struct tty_struct *tty)
{
	if (tty->fasync && test_and_clear_bit(TTY_DO_WRITE_WAKEUP, &tty->flags))
		kill_fasync(&tty->fasync, SIGIO, POLL_OUT);
}
