// SPDX-License-Identifier: GPL-2.0
/*
 * The "generic" discipline: every text byte below 0x20 is escaped with DLE,
 * the block check covers the escapes, an EOT always opens a new address
 * phase, and a station's transmitted frame is released by the master's ACK
 * alone (or at once when sent with the send-once flag).
 */
#include <linux/kernel.h>
#include <linux/tty.h>

#include "tarn.h"

static bool generic_escaped(u8 b)
{
	return b < 0x20;
}

static void generic_send_polled(struct tarn_state *st, struct tarn_station *s)
{
	tarn_send_pending(st, s);
	if (s->tx_flags & TARN_SEND_ONCE)
		tarn_release_pending(st, s);
}

static void generic_accept(struct tarn_state *st)
{
	tarn_send_byte(st, TARN_ACK);
	tarn_deliver(st);
}

static const struct tarn_discipline generic_discipline = {
	.name = "generic",
	.escaped = generic_escaped,
	.bcc_covers_dle = true,
	.eot_readdresses = true,
	.send_polled = generic_send_polled,
	.accept = generic_accept,
	/* any answer but ACK leaves the frame for the next poll */
};

TARN_DISCIPLINE_ENTRIES(generic, generic_discipline)
