// SPDX-License-Identifier: GPL-2.0
/*
 * The station ioctls (register, suspend, resume, flush), the queue counts,
 * poll, and the 6.1 shapes of ioctl and poll.
 */
#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/kernel.h>
#include <linux/poll.h>
#include <linux/slab.h>
#include <linux/tty.h>
#include <linux/uaccess.h>

#include "tarn.h"

static const char *tarn_station_cmd_name(unsigned int cmd)
{
	switch (cmd) {
	case TARN_REGISTER:
		return "REGISTER";
	case TARN_SUSPEND:
		return "SUSPEND";
	case TARN_RESUME:
		return "RESUME";
	default:
		return "FLUSH";
	}
}

static int tarn_register(struct tarn_state *st, u8 id)
{
	struct tarn_station **slot = tarn_station_slot(st, id);
	struct tarn_station *s;

	if (*slot) {
		pr_err("tarn_ioctl: REGISTER, id %d already registered\n", id);
		return -EBUSY;
	}
	s = kzalloc(sizeof(*s), GFP_KERNEL);
	if (!s)
		return -ENOMEM;
	s->id = id;
	s->suspended = 1;
	*slot = s;
	return 0;
}

/* The commands that take a station id; st->lock held. */
static int tarn_station_cmd(struct tarn_state *st, unsigned int cmd, u8 id)
{
	struct tarn_station *s;

	if (cmd == TARN_REGISTER)
		return tarn_register(st, id);
	s = *tarn_station_slot(st, id);
	if (!s) {
		pr_err("tarn_ioctl: %s, id %d not registered\n", tarn_station_cmd_name(cmd), id);
		return -EINVAL;
	}
	switch (cmd) {
	case TARN_SUSPEND:
		s->suspended = 1;
		break;
	case TARN_RESUME:
		s->suspended = 0;
		break;
	default:
		tarn_release_pending(st, s);
		break;
	}
	return 0;
}

static int tarn_station_ioctl(struct tarn_state *st, unsigned int cmd, u8 __user *arg)
{
	const char *name = tarn_station_cmd_name(cmd);
	int ret;
	u8 id;

	if (get_user(id, arg))
		return -EFAULT;
	tarn_dbg("tarn_ioctl: %s, id=%d", name, id);
	if (id < TARN_ID_MIN || id > TARN_ID_MAX) {
		pr_err("tarn_ioctl: %s, invalid id %d\n", name, id);
		return -EINVAL;
	}
	mutex_lock(&st->lock);
	if (st->dead)
		ret = -EBADF;
	else
		ret = tarn_station_cmd(st, cmd, id);
	mutex_unlock(&st->lock);
	return ret;
}

/* Stations holding a frame that waits for a poll. */
static int tarn_pending_count(struct tarn_state *st)
{
	int i, n = 0;

	mutex_lock(&st->lock);
	for (i = 0; i < TARN_STATIONS; i++)
		if (st->ids[i] && st->ids[i]->pending)
			n++;
	mutex_unlock(&st->lock);
	return n;
}

int tarn_ioctl(struct tty_struct *tty, struct file *file, unsigned int cmd, unsigned long arg)
{
	struct tarn_state *st;
	int ret;

	tarn_dbg("tarn_ioctl: tty=%s,cmd=%u", tty->name, cmd);
	st = tarn_state_get(tty);
	if (!st)
		return -EBADF;
	switch (cmd) {
	case TARN_REGISTER:
	case TARN_SUSPEND:
	case TARN_RESUME:
	case TARN_FLUSH:
		ret = tarn_station_ioctl(st, cmd, (u8 __user *)arg);
		break;
	case TIOCOUTQ:
		ret = put_user(tarn_pending_count(st), (int __user *)arg);
		break;
	case TIOCINQ:
		/* messages, not bytes */
		ret = put_user(n_tarn_buf_count(&st->rx_list), (int __user *)arg);
		break;
	default:
		ret = tarn_n_tty_ioctl_helper(tty, file, cmd, arg);
		break;
	}
	tarn_state_put(st);
	return ret;
}

unsigned int tarn_poll(struct tty_struct *tty, struct file *file, poll_table *wait)
{
	struct tarn_state *st;
	unsigned int mask = 0;

	tarn_dbg("tarn_poll: tty=%s", tty->name);
	st = tarn_state_get(tty);
	if (!st)
		return 0;
	poll_wait(file, &tty->read_wait, wait);
	poll_wait(file, &tty->write_wait, wait);
	if (n_tarn_buf_count(&st->rx_list))
		mask |= POLLIN | POLLRDNORM;
	if (test_bit(TTY_OTHER_CLOSED, &tty->flags) || tty_hung_up_p(file))
		mask |= POLLHUP;
	if (!mutex_is_locked(&tty->atomic_write_lock))
		mask |= POLLOUT | POLLWRNORM;
	tarn_state_put(st);
	return mask;
}

#if TARN_LDISC_61
int tarn_ioctl_61(struct tty_struct *tty, unsigned int cmd, unsigned long arg)
{
	return tarn_ioctl(tty, NULL, cmd, arg);
}

__poll_t tarn_poll_61(struct tty_struct *tty, struct file *file, poll_table *wait)
{
	return (__force __poll_t)tarn_poll(tty, file, wait);
}
#endif
