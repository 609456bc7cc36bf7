// SPDX-License-Identifier: GPL-2.0
/*
 * Reading: one whole message per read(), in the 4.1 shape and through the
 * 6.1 tty layer's kernel buffer.
 */
#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/kernel.h>
#include <linux/sched.h>
#include <linux/signal.h>
#include <linux/string.h>
#include <linux/tty.h>
#include <linux/uaccess.h>
#include <linux/wait.h>

#include "tarn.h"

/*
 * Waits for the oldest message and takes it off the queue. The caller owns
 * the message and returns it to the pool.
 */
static int tarn_take_message(struct tty_struct *tty, struct file *file,
			     struct n_tarn_buf **msg)
{
	DEFINE_WAIT_FUNC(wait, woken_wake_function);
	struct tarn_state *st;
	int ret;

	*msg = NULL;
	st = tarn_state_get(tty);
	if (!st) {
		pr_err("bad tty\n");
		return -EIO;
	}
	add_wait_queue(&tty->read_wait, &wait);
	for (;;) {
		/*
		 * A close or hangup may have detached the state before we joined
		 * the wait queue, and its wake-up is then gone: look before
		 * sleeping, not only after.
		 */
		if (!tarn_state_current(tty, st)) {
			ret = -EIO;
			break;
		}
		if (test_bit(TTY_OTHER_CLOSED, &tty->flags)) {
			pr_err("tarn_read: TTY_OTHER_CLOSED\n");
			ret = -EIO;
			break;
		}
		*msg = n_tarn_buf_get(&st->rx_list);
		if (*msg) {
			ret = 0;
			break;
		}
		if (tarn_io_nonblock(tty, file)) {
			ret = -EAGAIN;
			break;
		}
		wait_woken(&wait, TASK_INTERRUPTIBLE, MAX_SCHEDULE_TIMEOUT);
		if (!tarn_state_current(tty, st)) {
			ret = -EIO;
			break;
		}
		if (signal_pending(current)) {
			ret = -EINTR;
			break;
		}
	}
	remove_wait_queue(&tty->read_wait, &wait);
	tarn_state_put(st);
	return ret;
}

/* 4.1: one whole message into the user's buffer; one that does not fit is
 * lost. */
ssize_t tarn_read(struct tty_struct *tty, struct file *file, unsigned char __user *buf, size_t nr)
{
	struct n_tarn_buf *msg;
	ssize_t ret;

	ret = tarn_take_message(tty, file, &msg);
	if (ret)
		return ret;
	if ((size_t)msg->len > nr)
		ret = -EOVERFLOW;
	else if (copy_to_user(buf, msg->data, msg->len))
		ret = -EFAULT;
	else
		ret = msg->len;
	n_tarn_buf_free(msg);
	return ret;
}

/*
 * 6.1: the tty layer reads through a kernel buffer of at most 64 bytes and
 * calls again, with the bytes delivered so far in offset, while *cookie is
 * set. The message being delivered rides in the cookie. When the caller's
 * room runs out before the message does (nr 0 with bytes left), the result
 * is -EOVERFLOW, which makes the tty layer drop what it had copied, so a
 * message still comes out whole or not at all.
 */
ssize_t tarn_read_cookie(struct tty_struct *tty, struct file *file, unsigned char *kbuf,
			 size_t nr, void **cookie, unsigned long offset)
{
	struct n_tarn_buf *msg = *cookie;
	ssize_t ret;
	size_t n;

	if (!msg) {
		ret = tarn_take_message(tty, file, &msg);
		if (ret)
			return ret;
		offset = 0;
	}
	if (offset >= (unsigned long)msg->len) {
		ret = 0;
		goto done;
	}
	if (!nr) {
		ret = -EOVERFLOW;
		goto done;
	}
	n = min_t(size_t, nr, msg->len - offset);
	memcpy(kbuf, msg->data + offset, n);
	if (offset + n < (unsigned long)msg->len) {
		*cookie = msg;
		return n;
	}
	ret = n;
done:
	*cookie = NULL;
	n_tarn_buf_free(msg);
	return ret;
}
