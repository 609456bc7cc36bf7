// SPDX-License-Identifier: GPL-2.0
/*
 * The receive worker's side: the entry that feeds every received byte
 * through the receive machine, the machine itself with the rules both
 * disciplines follow (each discipline's own rules sit behind its table),
 * line events, and the steps that build and hand over reader messages.
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

/* A byte received with an error flag: the first break of a run queues a
 * break message; the other flags are only traced. */
static void tarn_receive_error(struct tarn_state *st, u8 flag)
{
	tarn_dbg("tarn_receive_error: tty=%s, flag=%d", st->tty->name, flag);
	if (flag != TTY_BREAK || st->break_seen)
		return;
	tarn_queue_event(st, TARN_MSG_BREAK);
	st->break_seen = 1;
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

static void tarn_drop(struct tarn_state *st)
{
	n_tarn_buf_free(st->rx_buf);
	st->rx_buf = NULL;
}

/* A text byte; a message stops growing at TARN_MSG_MAX bytes, while the
 * block check still takes in the rest. */
static void tarn_append(struct tarn_state *st, u8 b)
{
	if (st->rx_buf && st->rx_buf->len < TARN_MSG_MAX)
		st->rx_buf->data[st->rx_buf->len++] = b;
}

/* A polled station sends its pending frame (by its discipline's rule), or
 * EOT when it has none and is not suspended; readers hear of every poll. */
static void tarn_poll_answer(struct tarn_state *st, struct tarn_station *s,
			     const struct tarn_discipline *disc)
{
	u8 msg[2] = { TARN_MSG_POLL, s->id };

	if (s->pending) {
		disc->send_polled(st, s);
		st->addressed = s;
		st->rx_state = RX_WAIT_ACK;
	} else {
		if (!s->suspended)
			tarn_send_byte(st, TARN_EOT);
		st->rx_state = RX_HUNT;
	}
	tarn_start_msg(st, msg, sizeof(msg));
	tarn_deliver(st);
}

/*
 * A byte of an address phase, other than EOT: SOH opens a broadcast frame
 * and a station's select address a selected one (both wait for STX, with
 * their message started); a station's poll address is answered; anything
 * else goes back to hunting.
 */
static void tarn_rx_address(struct tarn_state *st, u8 b, const struct tarn_discipline *disc)
{
	struct tarn_station *s;
	u8 msg[2];

	if (b == TARN_SOH) {
		msg[0] = TARN_MSG_BROADCAST;
		tarn_start_msg(st, msg, 1);
		st->broadcast = 1;
		st->addressed = NULL;
		st->rx_state = RX_WAIT_STX;
		return;
	}
	st->rx_state = RX_HUNT;
	s = *tarn_station_slot(st, b);
	if (!s)
		return;
	/* The slot matched the address's low bits: the rest tells its kind. */
	if ((b & ~TARN_SLOT_MASK) == TARN_POLL_BASE) {
		tarn_poll_answer(st, s, disc);
	} else if ((b & ~TARN_SLOT_MASK) == TARN_SELECT_BASE) {
		msg[0] = TARN_MSG_SELECT;
		msg[1] = s->id;
		tarn_start_msg(st, msg, 2);
		st->broadcast = 0;
		st->addressed = s;
		st->rx_state = RX_WAIT_STX;
	}
}

/* A text byte that means nothing to the framing whatever its value (a
 * block byte, or the byte after DLE); the text goes on. */
static void tarn_rx_literal(struct tarn_state *st, u8 b)
{
	st->bcc ^= b;
	tarn_append(st, b);
	st->rx_state = RX_TEXT;
}

/* A byte of a frame's text: ETX ends it, DLE escapes the next byte, and the
 * block check takes in each byte, the escapes only by the discipline's
 * rule. */
static void tarn_rx_text(struct tarn_state *st, u8 b, const struct tarn_discipline *disc)
{
	if (b != TARN_DLE || disc->bcc_covers_dle)
		st->bcc ^= b;
	if (b == TARN_ETX) {
		st->rx_state = RX_BCC;
	} else if (b == TARN_DLE) {
		st->rx_state = RX_ESCAPE;
	} else if (b == TARN_EOT && disc->eot_readdresses) {
		/* the master abandons the frame and starts a new address phase */
		tarn_drop(st);
		st->rx_state = RX_ADDRESS;
	} else {
		tarn_append(st, b);
	}
}

/*
 * The block check byte of a frame. A bad check is answered NAK by a
 * selected station that answers and the message dropped; a good broadcast
 * is delivered; a frame for a suspended station is dropped. A good frame
 * selected to a station that answers goes to the discipline's rule.
 */
static void tarn_frame_end(struct tarn_state *st, u8 bcc, const struct tarn_discipline *disc)
{
	struct tarn_station *s = st->broadcast ? NULL : st->addressed;
	bool answers = s && !s->suspended;

	st->rx_state = RX_HUNT;
	if (!st->rx_buf) {
		if (answers)
			tarn_send_byte(st, TARN_NAK);
	} else if (bcc != st->bcc) {
		if (answers)
			tarn_send_byte(st, TARN_NAK);
		tarn_drop(st);
	} else if (st->broadcast) {
		tarn_deliver(st);
	} else if (!answers) {
		tarn_drop(st);
	} else {
		disc->accept(st);
	}
}

/* The master's answer to the frame a station has just sent: ACK releases
 * it; what any other answer does is the discipline's rule. */
static void tarn_rx_answer(struct tarn_state *st, u8 b, const struct tarn_discipline *disc)
{
	struct tarn_station *s = st->addressed;

	if (s && !(s->pending && s->sent))
		s = NULL;
	st->rx_state = RX_HUNT;
	if (b == TARN_ACK) {
		if (s)
			tarn_release_pending(st, s);
	} else if (disc->other_answer) {
		disc->other_answer(st, s, b);
	}
}

/*
 * One byte through the receive machine: hunting for an address phase (an
 * EOT opens one; the byte after DLE or ETX is skipped), the address, the
 * STX that opens a frame's text, its block byte, the text and its escapes,
 * the block check, and the master's answer to a frame sent.
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
	case RX_ADDRESS:
		if (b != TARN_EOT)
			tarn_rx_address(st, b, disc);
		else if (!disc->eot_readdresses)
			st->rx_state = RX_HUNT;
		break;
	case RX_WAIT_STX:
		if (b == TARN_STX) {
			st->bcc = 0;
			st->rx_state = disc->block_byte ? RX_BLOCK : RX_TEXT;
		} else {
			tarn_drop(st);
			st->rx_state = RX_HUNT;
		}
		break;
	case RX_BLOCK:
		st->block = b;
		tarn_rx_literal(st, b);
		break;
	case RX_TEXT:
		tarn_rx_text(st, b, disc);
		break;
	case RX_ESCAPE:
		tarn_rx_literal(st, b);
		break;
	case RX_BCC:
		tarn_frame_end(st, b, disc);
		break;
	case RX_WAIT_ACK:
		tarn_rx_answer(st, b, disc);
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
		pr_err("%s_receive_buf: bad tty\n", disc->name);
		return;
	}
	mutex_lock(&st->lock);
	if (st->dead) {
		pr_err("%s_receive_buf: bad tty\n", disc->name);
		goto out;
	}
	for (i = 0; i < count; i++) {
		flag = fp ? (u8)fp[i] : TTY_NORMAL;
		if (flag > TTY_OVERRUN) {
			pr_err("%s_receive_buf: unknown rx flags=%02x\n", disc->name, flag);
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
			pr_err("%s_receive_char: bad tty\n", disc->name);
			continue;
		}
		tarn_receive_char(st, cp[i], disc);
	}
out:
	mutex_unlock(&st->lock);
	tarn_state_put(st);
}
