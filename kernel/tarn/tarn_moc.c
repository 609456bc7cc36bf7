// SPDX-License-Identifier: GPL-2.0
/*
 * The "moc" discipline: only ETX, EOT and DLE are escaped, the block check
 * leaves the escapes out, the first text byte is a block byte matched
 * against the station's last transmitted frame, and the master may answer a
 * station's frame with NAK (resend at once) or ENQ (frame discarded,
 * readers told).
 */
#include <linux/kernel.h>
#include <linux/tty.h>

#include "tarn.h"

/* Block bytes up to this value are sequence numbers. */
#define MOC_SEQ_MAX	0x3F

static bool moc_escaped(u8 b)
{
	return b == TARN_ETX || b == TARN_EOT || b == TARN_DLE;
}

/* The station remembers the byte after STX of what it sends; selected
 * frames are matched against it. */
static void moc_poll_answer(struct tarn_state *st, struct tarn_station *s)
{
	if (s->pending) {
		s->last_block = s->pending->data[1];
		if (s->last_block <= MOC_SEQ_MAX)
			s->last_seq = s->last_block;
		tarn_send_pending(st, s);
		st->addressed = s;
		st->rx_state = RX_WAIT_ACK;
	} else {
		if (!s->suspended)
			tarn_send_byte(st, TARN_EOT);
		st->rx_state = RX_HUNT;
	}
	tarn_poll_notify(st, s);
}

/* A selected frame with a correct block check: a sequence block byte must
 * match the station's last one sent, otherwise the station answers ENQ and
 * keeps the buffer for the next message. */
static void moc_accept(struct tarn_state *st)
{
	struct tarn_station *s = st->addressed;

	if (st->block > MOC_SEQ_MAX || st->block == s->last_seq) {
		tarn_send_byte(st, TARN_ACK);
		tarn_deliver(st);
	} else {
		tarn_send_byte(st, TARN_ENQ);
	}
}

/* The master's answer to the frame the station has just sent. */
static void moc_rx_answer(struct tarn_state *st, u8 b)
{
	struct tarn_station *s = tarn_answered(st);
	u8 msg[3];

	st->rx_state = RX_HUNT;
	switch (b) {
	case TARN_ACK:
		if (s)
			tarn_release_pending(st, s);
		break;
	case TARN_NAK:
		if (!s)
			break;
		if (s->tx_flags & TARN_SEND_ONCE) {
			tarn_release_pending(st, s);
		} else {
			tarn_send_pending(st, s);
			st->rx_state = RX_WAIT_ACK;
		}
		break;
	case TARN_ENQ:
		if (st->addressed) {
			msg[0] = TARN_MSG_TX_ENQ;
			msg[1] = st->addressed->id;
			msg[2] = st->addressed->last_block;
			tarn_start_msg(st, msg, sizeof(msg));
			tarn_deliver(st);
		}
		if (s)
			tarn_release_pending(st, s);
		break;
	default:
		if (s && (s->tx_flags & TARN_SEND_ONCE))
			tarn_release_pending(st, s);
		break;
	}
}

/* The text after the block byte; the block check leaves the escapes out. */
static void moc_rx_text(struct tarn_state *st, u8 b)
{
	if (b == TARN_ETX) {
		st->bcc ^= b;
		st->rx_state = RX_BCC;
	} else if (b == TARN_DLE) {
		st->rx_state = RX_ESCAPE;
	} else {
		st->bcc ^= b;
		tarn_append(st, b);
	}
}

/* The states of its own; tarn_rx.c runs the shared ones. */
static void moc_receive_char(struct tarn_state *st, u8 b)
{
	struct tarn_station *s;

	switch (st->rx_state) {
	case RX_ADDRESS:
		/* no station answers to a second EOT */
		if (b == TARN_EOT) {
			st->rx_state = RX_HUNT;
			break;
		}
		s = tarn_rx_address(st, b);
		if (s)
			moc_poll_answer(st, s);
		break;
	case RX_BLOCK:
		st->block = b;
		st->bcc ^= b;
		tarn_append(st, b);
		st->rx_state = RX_TEXT;
		break;
	case RX_TEXT:
		moc_rx_text(st, b);
		break;
	case RX_BCC:
		if (tarn_frame_end(st, b))
			moc_accept(st);
		break;
	case RX_WAIT_ACK:
		moc_rx_answer(st, b);
		break;
	default:
		break;
	}
}

static const struct tarn_discipline moc_discipline = {
	.rx_name = "moc_receive_buf",
	.char_name = "moc_receive_char",
	.write_name = "moc_write",
	.receive_char = moc_receive_char,
	.text_state = RX_BLOCK,
	.escaped = moc_escaped,
	.bcc_covers_dle = false,
};

void moc_receive_buf(struct tty_struct *tty, const unsigned char *cp, tarn_flag_t *fp,
		     int count)
{
	tarn_receive(tty, cp, fp, count, &moc_discipline);
}

ssize_t moc_write(struct tty_struct *tty, struct file *file, const unsigned char *buf,
		  size_t nr)
{
	return tarn_write(tty, file, buf, nr, &moc_discipline);
}
