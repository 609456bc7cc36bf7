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
static void moc_send_polled(struct tarn_state *st, struct tarn_station *s)
{
	s->last_block = s->pending->data[1];
	if (s->last_block <= MOC_SEQ_MAX)
		s->last_seq = s->last_block;
	tarn_send_pending(st, s);
}

/* A sequence block byte must match the station's last one sent, otherwise
 * the station answers ENQ and keeps the buffer for the next message. */
static void moc_accept(struct tarn_state *st)
{
	if (st->block > MOC_SEQ_MAX || st->block == st->addressed->last_seq) {
		tarn_send_byte(st, TARN_ACK);
		tarn_deliver(st);
	} else {
		tarn_send_byte(st, TARN_ENQ);
	}
}

/* ENQ discards the frame and tells readers; NAK sends it again at once;
 * anything else keeps it for the next poll. A send-once frame goes on any
 * of them. */
static void moc_other_answer(struct tarn_state *st, struct tarn_station *s, u8 b)
{
	u8 msg[3];

	if (b == TARN_ENQ && st->addressed) {
		msg[0] = TARN_MSG_TX_ENQ;
		msg[1] = st->addressed->id;
		msg[2] = st->addressed->last_block;
		tarn_start_msg(st, msg, sizeof(msg));
		tarn_deliver(st);
	}
	if (!s)
		return;
	if (b == TARN_ENQ || (s->tx_flags & TARN_SEND_ONCE)) {
		tarn_release_pending(st, s);
	} else if (b == TARN_NAK) {
		tarn_send_pending(st, s);
		st->rx_state = RX_WAIT_ACK;
	}
}

static const struct tarn_discipline moc_discipline = {
	.name = "moc",
	.escaped = moc_escaped,
	.block_byte = true,
	.send_polled = moc_send_polled,
	.accept = moc_accept,
	.other_answer = moc_other_answer,
};

TARN_DISCIPLINE_ENTRIES(moc, moc_discipline)
