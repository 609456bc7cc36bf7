// SPDX-License-Identifier: GPL-2.0
/*
 * The receive worker's side: the entry that feeds every received byte
 * through the receive machine, the states both disciplines share, line
 * events, and the steps that build and hand over reader messages.
 */
#include <linux/kernel.h>
#include <linux/string.h>
#include <linux/tty.h>
#include <linux/wait.h>

#include "tarn.h"

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
 * The receive states both disciplines share: hunting for an address phase
 * (an EOT opens one; the byte after DLE or ETX is skipped), the STX that
 * opens a frame's text, and the byte after DLE in a text. The discipline
 * runs every other state.
 */
static void tarn_receive_char(struct tarn_state *st, u8 b, const struct tarn_discipline *disc)
{
	switch (st->rx_state) {
	case RX_HUNT:
		if (b == TARN_EOT)
			st->rx_state = RX_ADDRESS;
		else if (b == TARN_DLE || b == TARN_ETX)
			st->rx_state = RX_SKIP;
		break;
	case RX_SKIP:
		st->rx_state = RX_HUNT;
		break;
	case RX_WAIT_STX:
		if (b == TARN_STX) {
			st->bcc = 0;
			st->rx_state = disc->text_state;
		} else {
			tarn_drop(st);
			st->rx_state = RX_HUNT;
		}
		break;
	case RX_ESCAPE:
		st->bcc ^= b;
		tarn_append(st, b);
		st->rx_state = RX_TEXT;
		break;
	default:
		disc->receive_char(st, b);
		break;
	}
}

/*
 * The receive worker's entry: every byte of the call goes through the
 * receive machine under the state lock, so that the answers it sends
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
		tarn_receive_char(st, cp[i], disc);
	}
out:
	mutex_unlock(&st->lock);
	tarn_state_put(st);
}

void tarn_start_msg(struct tarn_state *st, const u8 *bytes, int n)
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

void tarn_poll_notify(struct tarn_state *st, struct tarn_station *s)
{
	u8 msg[2] = { TARN_MSG_POLL, s->id };

	tarn_start_msg(st, msg, sizeof(msg));
	tarn_deliver(st);
}

struct tarn_station *tarn_rx_address(struct tarn_state *st, u8 b)
{
	struct tarn_station *s;
	u8 msg[2];

	if (b == TARN_SOH) {
		msg[0] = TARN_MSG_BROADCAST;
		tarn_start_msg(st, msg, 1);
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
		tarn_start_msg(st, msg, 2);
		st->broadcast = 0;
		st->addressed = s;
		st->rx_state = RX_WAIT_STX;
	}
	return NULL;
}

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
