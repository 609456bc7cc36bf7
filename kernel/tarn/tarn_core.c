// SPDX-License-Identifier: GPL-2.0
/*
 * Line discipline core shared by the generic and moc disciplines: per-tty
 * state, open and close, reading one message per read(), the station
 * ioctls, poll, and the receive and write entries around the disciplines'
 * framing.
 */
#include <linux/errno.h>
#include <linux/fs.h>
#include <linux/kernel.h>
#include <linux/poll.h>
#include <linux/sched.h>
#include <linux/signal.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/string.h>
#include <linux/tty.h>
#include <linux/uaccess.h>
#include <linux/wait.h>

#include "tarn.h"

/*
 * Guards tty->disc_data and tarn_state.refs of every tty; disc_data is
 * written with WRITE_ONCE, for the receive path's unlocked check.
 */
static DEFINE_SPINLOCK(tarn_state_lock);

/*
 * The state of tty with a reference taken, or NULL when the tty has none
 * (closed, hung up) or it fails the identity check.
 */
static struct tarn_state *tarn_state_get(struct tty_struct *tty)
{
	struct tarn_state *st;

	spin_lock(&tarn_state_lock);
	st = tty->disc_data;
	if (st && st->tty == tty)
		st->refs++;
	else
		st = NULL;
	spin_unlock(&tarn_state_lock);
	return st;
}

static void tarn_state_put(struct tarn_state *st)
{
	bool last;

	spin_lock(&tarn_state_lock);
	last = --st->refs == 0;
	spin_unlock(&tarn_state_lock);
	if (last) {
		mutex_destroy(&st->lock);
		kfree(st);
	}
}

/* Identity check for a caller that already holds a reference. */
static bool tarn_state_current(struct tty_struct *tty, struct tarn_state *st)
{
	bool same;

	spin_lock(&tarn_state_lock);
	same = tty->disc_data == st && st->tty == tty;
	spin_unlock(&tarn_state_lock);
	return same;
}

int tarn_open(struct tty_struct *tty)
{
	struct tarn_state *st;

	if (!tty)
		return -EINVAL;
	tarn_dbg("tarn_open: tty=%s", tty->name);
	tarn_dbg("tarn_alloc");
	st = kzalloc(sizeof(*st), GFP_KERNEL);
	if (!st)
		return -ENOMEM;
	n_tarn_buf_list_init(&st->rx_list);
	mutex_init(&st->lock);
	st->tty = tty;
	st->refs = 1;

	spin_lock(&tarn_state_lock);
	WRITE_ONCE(tty->disc_data, st);
	spin_unlock(&tarn_state_lock);
	/* Every received byte goes to receive_buf at once. */
	tty->receive_room = 65536;
	return 0;
}

/* Returns stations, frames and messages to the pool; st->lock held. */
static void tarn_free(struct tarn_state *st)
{
	struct tarn_station *s;
	int i;

	for (i = 0; i < TARN_STATIONS; i++) {
		s = st->ids[i];
		if (!s)
			continue;
		n_tarn_buf_free(s->pending);
		kfree(s);
		st->ids[i] = NULL;
	}
	st->addressed = NULL;
	n_tarn_buf_free(st->rx_buf);
	st->rx_buf = NULL;
	n_tarn_buf_list_free(&st->rx_list);
}

/*
 * Close, and hangup, which the tty layer may run while readers, writers,
 * ioctls and the receive worker are inside the discipline: the state is
 * detached first, so that nobody new finds it, then emptied under its lock,
 * so that nobody inside is using a frame or station being freed. Sleepers
 * are woken after the detach, so that their identity check fails.
 */
void tarn_close(struct tty_struct *tty)
{
	struct tarn_state *st;

	tarn_dbg("tarn_close: tty=%s", tty->name);
	spin_lock(&tarn_state_lock);
	st = tty->disc_data;
	if (st && st->tty == tty)
		WRITE_ONCE(tty->disc_data, NULL);
	else
		st = NULL;
	spin_unlock(&tarn_state_lock);
	if (!st)
		return;

	tarn_dbg("tarn_free");
	mutex_lock(&st->lock);
	st->dead = true;
	tarn_free(st);
	mutex_unlock(&st->lock);

	wake_up_interruptible(&tty->read_wait);
	wake_up_interruptible(&tty->write_wait);
	tarn_state_put(st);
}

int tarn_hangup(struct tty_struct *tty)
{
	tarn_close(tty);
	return 0;
}

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
	struct tarn_station *s;

	if (st->ids[id & 0x1F]) {
		pr_err("tarn_ioctl: REGISTER, id %d already registered\n", id);
		return -EBUSY;
	}
	s = kzalloc(sizeof(*s), GFP_KERNEL);
	if (!s)
		return -ENOMEM;
	s->id = id;
	s->suspended = 1;
	st->ids[id & 0x1F] = s;
	return 0;
}

/* The commands that take a station id; st->lock held. */
static int tarn_station_cmd(struct tarn_state *st, unsigned int cmd, u8 id)
{
	struct tarn_station *s;

	if (cmd == TARN_REGISTER)
		return tarn_register(st, id);
	s = st->ids[id & 0x1F];
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

void tarn_write_wakeup(struct tty_struct *tty)
{
	if (tty->fasync && test_and_clear_bit(TTY_DO_WRITE_WAKEUP, &tty->flags))
		kill_fasync(&tty->fasync, SIGIO, POLL_OUT);
}

#if TARN_LDISC_61
int tarn_ioctl_61(struct tty_struct *tty, unsigned int cmd, unsigned long arg)
{
	return tarn_ioctl(tty, NULL, cmd, arg);
}

void tarn_hangup_61(struct tty_struct *tty)
{
	tarn_hangup(tty);
}

__poll_t tarn_poll_61(struct tty_struct *tty, struct file *file, poll_table *wait)
{
	return (__force __poll_t)tarn_poll(tty, file, wait);
}
#endif

/* Queues a one-byte event message; events do not disturb a frame being
 * received, so they do not use rx_buf. */
static bool tarn_queue_event(struct tarn_state *st, u8 type)
{
	struct n_tarn_buf *buf = n_tarn_buf_alloc();

	if (!buf)
		return false;
	buf->data[0] = type;
	buf->len = 1;
	n_tarn_buf_put(&st->rx_list, buf);
	wake_up_interruptible(&st->tty->read_wait);
	return true;
}

void tarn_receive_error(struct tarn_state *st, u8 flag)
{
	tarn_dbg("tarn_receive_error: tty=%s, flag=%d", st->tty->name, flag);
	if (flag != TTY_BREAK || st->break_seen)
		return;
	tarn_queue_event(st, TARN_MSG_BREAK);
	st->break_seen = 1;
}

/*
 * The receive worker's entry: every byte of the call goes through the
 * discipline's machine under the state lock, so that the answers it sends
 * and the frames it hands over stay consistent with writers, ioctls and
 * close. A hangup may detach the state while a call is under way (it then
 * waits for the lock to empty it): every byte checks the state again, and
 * none after the detach is answered or queued.
 */
void tarn_receive(struct tty_struct *tty, const unsigned char *cp, const char *fp, int count,
		  const struct tarn_discipline *disc)
{
	struct tarn_state *st;
	u8 flag;
	int i;

	st = tarn_state_get(tty);
	if (!st) {
		pr_err("%s: bad tty\n", disc->rx_name);
		return;
	}
	mutex_lock(&st->lock);
	if (st->dead) {
		pr_err("%s: bad tty\n", disc->rx_name);
		goto out;
	}
	for (i = 0; i < count; i++) {
		flag = fp ? (u8)fp[i] : TTY_NORMAL;
		if (flag > TTY_OVERRUN) {
			pr_err("%s: unknown rx flags=%02x\n", disc->rx_name, flag);
			continue;
		}
		if (flag != TTY_NORMAL) {
			tarn_receive_error(st, flag);
			continue;
		}
		/* Without a buffer the flag stays and the next good byte tries again. */
		if (st->break_seen && tarn_queue_event(st, TARN_MSG_BREAK_END))
			st->break_seen = 0;
		/* One pointer, read without the lock: the state cannot go while
		 * this call holds st->lock, only be detached. */
		if (READ_ONCE(tty->disc_data) != st) {
			pr_err("%s: bad tty\n", disc->char_name);
			continue;
		}
		disc->receive_char(st, cp[i]);
	}
out:
	mutex_unlock(&st->lock);
	tarn_state_put(st);
}

void tarn_take_msg(struct tarn_state *st, const u8 *bytes, int n)
{
	if (!st->rx_buf)
		st->rx_buf = n_tarn_buf_alloc();
	if (!st->rx_buf)
		return;
	memcpy(st->rx_buf->data, bytes, n);
	st->rx_buf->len = n;
}

void tarn_deliver(struct tarn_state *st)
{
	if (!st->rx_buf)
		return;
	n_tarn_buf_put(&st->rx_list, st->rx_buf);
	st->rx_buf = NULL;
	wake_up_interruptible(&st->tty->read_wait);
}

void tarn_drop(struct tarn_state *st)
{
	n_tarn_buf_free(st->rx_buf);
	st->rx_buf = NULL;
}

/* Answers go straight to the serial driver; its result is not examined. */
void tarn_send(struct tarn_state *st, const u8 *bytes, int n)
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

/*
 * Drops the station's pending frame and wakes writers, one of whom may be
 * waiting for exactly this slot.
 */
void tarn_release_pending(struct tarn_state *st, struct tarn_station *s)
{
	if (!s->pending)
		return;
	n_tarn_buf_free(s->pending);
	s->pending = NULL;
	s->sent = 0;
	wake_up_interruptible(&st->tty->write_wait);
}

void tarn_poll_notify(struct tarn_state *st, struct tarn_station *s)
{
	u8 msg[2] = { TARN_MSG_POLL, s->id };

	tarn_take_msg(st, msg, sizeof(msg));
	tarn_deliver(st);
}

/* RX_HUNT: an EOT opens an address phase; the byte after DLE or ETX is
 * skipped. */
void tarn_rx_hunt(struct tarn_state *st, u8 b)
{
	if (b == TARN_EOT)
		st->rx_state = RX_ADDRESS;
	else if (b == TARN_DLE || b == TARN_ETX)
		st->rx_state = RX_SKIP;
}

/*
 * RX_ADDRESS, for every byte but EOT: SOH and select addresses start a
 * frame; the station whose poll address arrived is returned for the
 * discipline's poll answer; anything else goes back to hunting.
 */
struct tarn_station *tarn_rx_address(struct tarn_state *st, u8 b)
{
	struct tarn_station *s;
	u8 msg[2];

	if (b == TARN_SOH) {
		msg[0] = TARN_MSG_BROADCAST;
		tarn_take_msg(st, msg, 1);
		st->broadcast = 1;
		st->addressed = NULL;
		st->rx_state = RX_WAIT_STX;
		return NULL;
	}
	st->rx_state = RX_HUNT;
	s = st->ids[b & 0x1F];
	if (!s)
		return NULL;
	if (b == (TARN_POLL_BASE | (s->id & 0x1F)))
		return s;
	if (b == (TARN_SELECT_BASE | (s->id & 0x1F))) {
		msg[0] = TARN_MSG_SELECT;
		msg[1] = s->id;
		tarn_take_msg(st, msg, 2);
		st->broadcast = 0;
		st->addressed = s;
		st->rx_state = RX_WAIT_STX;
	}
	return NULL;
}

/*
 * RX_BCC, rules common to both disciplines. Returns true for a selected
 * frame with a correct block check for a station that answers; the
 * discipline decides how it is accepted.
 */
bool tarn_frame_end(struct tarn_state *st, u8 bcc)
{
	struct tarn_station *s = st->broadcast ? NULL : st->addressed;
	bool answers = s && !s->suspended;

	st->rx_state = RX_HUNT;
	if (!st->rx_buf) {
		if (answers)
			tarn_send_byte(st, TARN_NAK);
		return false;
	}
	if (bcc != st->bcc) {
		if (answers)
			tarn_send_byte(st, TARN_NAK);
		tarn_drop(st);
		return false;
	}
	if (st->broadcast) {
		tarn_deliver(st);
		return false;
	}
	if (!answers) {
		tarn_drop(st);
		return false;
	}
	return true;
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
	else if (!st->ids[id & 0x1F])
		ret = -EINVAL;
	mutex_unlock(&st->lock);
	return ret;
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
	s = st->ids[buf[0] & 0x1F];
	if (s->pending)
		goto out;
	frame = n_tarn_buf_alloc();
	if (!frame)
		goto out;
	disc->frame(frame, buf + 1, nr - 1);
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
		pr_err("%s: bad tty\n", disc->write_name);
		return -EIO;
	}
	ret = tarn_write_check(st, buf, nr);
	if (ret == -ENODEV) {
		pr_err("%s: bad tty\n", disc->write_name);
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
				pr_err("%s: bad tty after wait!\n", disc->write_name);
			else
				pr_err("%s: bad tty\n", disc->write_name);
			ret = -EIO;
		}
		if (ret != -EAGAIN || tarn_io_nonblock(tty, file))
			break;
		wait_woken(&wait, TASK_INTERRUPTIBLE, MAX_SCHEDULE_TIMEOUT);
		waited = true;
		if (!tarn_state_current(tty, st)) {
			pr_err("%s: bad tty after wait!\n", disc->write_name);
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
