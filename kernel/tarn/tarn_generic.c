// SPDX-License-Identifier: GPL-2.0
/*
 * The "generic" discipline: every text byte below 0x20 is escaped with DLE,
 * the block check covers the escapes, and a station's transmitted frame is
 * released by the master's ACK (or at once when sent with the send-once
 * flag).
 */
#include <linux/kernel.h>
#include <linux/tty.h>

#include "tarn.h"

static bool generic_escaped(u8 b)
{
	return b < 0x20;
}

/* A polled station sends its pending frame, or EOT when it has none and is
 * not suspended; readers hear of every poll. */
static void generic_poll_answer(struct tarn_state *st, struct tarn_station *s)
{
	if (s->pending) {
		tarn_send_pending(st, s);
		if (s->tx_flags & TARN_SEND_ONCE)
			tarn_release_pending(st, s);
		st->addressed = s;
		st->rx_state = RX_WAIT_ACK;
	} else {
		if (!s->suspended)
			tarn_send_byte(st, TARN_EOT);
		st->rx_state = RX_HUNT;
	}
	tarn_poll_notify(st, s);
}

static void generic_rx_text(struct tarn_state *st, u8 b)
{
	st->bcc ^= b;
	if (b == TARN_ETX) {
		st->rx_state = RX_BCC;
	} else if (b == TARN_DLE) {
		st->rx_state = RX_ESCAPE;
	} else if (b == TARN_EOT) {
		/* the master abandons the frame and starts a new address phase */
		tarn_drop(st);
		st->rx_state = RX_ADDRESS;
	} else {
		tarn_append(st, b);
	}
}

/* The states of its own; tarn_rx.c runs the shared ones. */
static void generic_receive_char(struct tarn_state *st, u8 b)
{
	struct tarn_station *s;

	switch (st->rx_state) {
	case RX_ADDRESS:
		if (b == TARN_EOT)
			break;
		s = tarn_rx_address(st, b);
		if (s)
			generic_poll_answer(st, s);
		break;
	case RX_TEXT:
		generic_rx_text(st, b);
		break;
	case RX_BCC:
		if (tarn_frame_end(st, b)) {
			tarn_send_byte(st, TARN_ACK);
			tarn_deliver(st);
		}
		break;
	case RX_WAIT_ACK:
		/* ACK releases the frame just sent; any other answer keeps it for
		 * the next poll. */
		s = tarn_answered(st);
		if (b == TARN_ACK && s)
			tarn_release_pending(st, s);
		st->rx_state = RX_HUNT;
		break;
	default:
		break;
	}
}

static const struct tarn_discipline generic_discipline = {
	.rx_name = "generic_receive_buf",
	.char_name = "generic_receive_char",
	.write_name = "generic_write",
	.receive_char = generic_receive_char,
	.text_state = RX_TEXT,
	.escaped = generic_escaped,
	.bcc_covers_dle = true,
};

void generic_receive_buf(struct tty_struct *tty, const unsigned char *cp, tarn_flag_t *fp,
			 int count)
{
	tarn_receive(tty, cp, fp, count, &generic_discipline);
}

ssize_t generic_write(struct tty_struct *tty, struct file *file, const unsigned char *buf,
		      size_t nr)
{
	return tarn_write(tty, file, buf, nr, &generic_discipline);
}
