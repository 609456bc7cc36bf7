/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Shared inside the tarn module: per-tty state, station entries, the line
 * alphabet, receive states, and the calls between the core and the two
 * framing disciplines.
 */
#ifndef TARN_H
#define TARN_H

#include <linux/compiler.h>
#include <linux/kref.h>
#include <linux/mutex.h>
#include <linux/poll.h>
#include <linux/printk.h>
#include <linux/tty.h>
#include <linux/types.h>

#include "tarn_buf.h"
#include "tarn_compat.h"
#include "tarn_ioctl.h"

/* The "debug" module parameter; traces are printed while it is non-zero. */
extern int pos_debug;

#define tarn_dbg(fmt, ...)						\
	do {								\
		if (READ_ONCE(pos_debug))				\
			printk(fmt "\n", ##__VA_ARGS__);		\
	} while (0)

/* Line alphabet */
#define TARN_SOH	0x01
#define TARN_STX	0x02
#define TARN_ETX	0x03
#define TARN_EOT	0x04
#define TARN_ENQ	0x05
#define TARN_ACK	0x06
#define TARN_DLE	0x10
#define TARN_NAK	0x15

#define TARN_STATIONS	32
/* A station's slot is its id's low five bits, so id 32 sits at index 0;
 * its poll and select addresses carry the same bits. */
#define TARN_SLOT_MASK	0x1F
#define TARN_POLL_BASE	0x40
#define TARN_SELECT_BASE 0x60

/* Receive states */
enum {
	RX_HUNT = 0,
	RX_SKIP = 1,
	RX_ADDRESS = 2,
	RX_WAIT_STX = 3,
	RX_BLOCK = 4,
	RX_TEXT = 5,
	RX_BCC = 6,
	RX_ESCAPE = 7,
	RX_WAIT_ACK = 8,
};

struct tarn_station {
	u8 id;			/* 1..32 */
	u8 suspended;
	u8 tx_flags;		/* id byte of the last accepted write */
	struct n_tarn_buf *pending;
	u8 last_block;		/* moc: byte after STX of the last frame sent */
	u8 last_seq;		/* moc: last last_block of 0x3F or less */
	u8 sent;		/* pending has gone out and awaits its answer */
};

/*
 * Locking. Every operation takes a reference (kref) before it touches the
 * state, under tarn_state_lock (tarn_core.c), which guards tty->disc_data:
 * disc_data holds the first reference, so close can detach the state while
 * others still hold theirs, and the memory goes with the last one. lock
 * serialises the receive worker, writers, ioctls and close on everything
 * else except rx_list, which has its own spinlock so that readers never
 * wait for the receive worker.
 */
struct tarn_state {
	struct tty_struct *tty;
	struct tarn_station *ids[TARN_STATIONS];	/* tarn_station_slot() */
	struct tarn_station *addressed;
	int rx_state;
	u8 broadcast;
	u8 block;
	u8 bcc;
	struct n_tarn_buf *rx_buf;
	struct n_tarn_buf_list rx_list;
	u8 break_seen;

	struct mutex lock;
	struct kref kref;
	bool dead;		/* closed: stations and buffers are gone */
};

/**
 * tarn_station_slot() - where a station sits in its tty's table
 * @st: the tty's state
 * @id: a station id (1..32) or an address byte
 *
 * Return: the slot, which holds the station or NULL.
 */
static inline struct tarn_station **tarn_station_slot(struct tarn_state *st, u8 id)
{
	return &st->ids[id & TARN_SLOT_MASK];
}

/*
 * A discipline: the rules in which it differs from the other, behind the
 * receive machine (tarn_rx.c) and the writer (tarn_tx.c) that both share.
 * The hooks run with st->lock held.
 */
struct tarn_discipline {
	const char *name;		/* "generic": its entries' and messages' prefix */
	bool (*escaped)(u8 b);		/* text bytes sent after a DLE */
	bool bcc_covers_dle;		/* the block check includes the escapes */
	bool block_byte;		/* the text opens with a block byte */
	/* An EOT in an address phase or in a text opens a new address phase
	 * (otherwise an address phase ends and a text takes it as a byte). */
	bool eot_readdresses;
	/* Sends the pending frame of a station that was just polled. */
	void (*send_polled)(struct tarn_state *st, struct tarn_station *s);
	/* A selected frame with a correct block check, for a station that
	 * answers (rx_buf holds its message). */
	void (*accept)(struct tarn_state *st);
	/* The master's answer, other than ACK, to the frame that station s
	 * (NULL: none pending any more) has just sent; NULL: such answers
	 * leave the frame for the next poll. */
	void (*other_answer)(struct tarn_state *st, struct tarn_station *s, u8 b);
};

/* Entries shared by both disciplines: the receive worker's (tarn_rx.c) and
 * the writer's (tarn_tx.c). */
void tarn_receive(struct tty_struct *tty, const unsigned char *cp, const char *fp, int count,
		  const struct tarn_discipline *disc);
ssize_t tarn_write(struct tty_struct *tty, struct file *file, const unsigned char *buf,
		   size_t nr, const struct tarn_discipline *disc);

/* A discipline's two entries, pfx##_receive_buf and pfx##_write, on its
 * table disc. */
#define TARN_DISCIPLINE_ENTRIES(pfx, disc)					void pfx##_receive_buf(struct tty_struct *tty, const unsigned char *cp,			       tarn_flag_t *fp, int count)				{											tarn_receive(tty, cp, fp, count, &(disc));				}										ssize_t pfx##_write(struct tty_struct *tty, struct file *file,				    const unsigned char *buf, size_t nr)			{											return tarn_write(tty, file, buf, nr, &(disc));				}

/* The state of a tty and its references (tarn_core.c). */

/**
 * tarn_state_get() - take a reference to the state of a tty
 * @tty: the tty
 *
 * Return: the state, or NULL when the tty has none (closed, hung up) or it
 * fails the identity check. Give the reference back with tarn_state_put().
 */
struct tarn_state *tarn_state_get(struct tty_struct *tty);

/**
 * tarn_state_put() - give back a reference taken by tarn_state_get()
 * @st: the state; freed with its last reference
 */
void tarn_state_put(struct tarn_state *st);

/**
 * tarn_state_current() - identity check for a holder of a reference
 * @tty: the tty
 * @st: the state the caller holds
 *
 * Return: true while @st is still the state of @tty (not closed, hung up or
 * replaced meanwhile).
 */
bool tarn_state_current(struct tty_struct *tty, struct tarn_state *st);

/* Steps of the receive machine that the disciplines' hooks use (tarn_rx.c);
 * st->lock held. */

/**
 * tarn_start_msg() - start the reader message being built
 * @st: the tty's state
 * @bytes: its first bytes (the message type and what follows it)
 * @n: their count
 *
 * The message replaces the content of rx_buf, which is taken from the pool
 * if there is none; without a buffer nothing is started.
 */
void tarn_start_msg(struct tarn_state *st, const u8 *bytes, int n);

/**
 * tarn_deliver() - queue the message being built for readers and wake them
 * @st: the tty's state; rx_buf is NULL afterwards
 */
void tarn_deliver(struct tarn_state *st);

/* Sending and the stations' pending frames (tarn_tx.c); st->lock held. */

/**
 * tarn_send_byte() - send one byte (an ACK, NAK, ENQ or EOT) to the line
 * @st: the tty's state
 * @b: the byte
 */
void tarn_send_byte(struct tarn_state *st, u8 b);

/**
 * tarn_send_pending() - send a station's pending frame
 * @st: the tty's state
 * @s: the station; its frame then awaits the master's answer
 */
void tarn_send_pending(struct tarn_state *st, struct tarn_station *s);

/**
 * tarn_release_pending() - drop a station's pending frame
 * @st: the tty's state
 * @s: the station; nothing happens when it has no pending frame
 *
 * Writers are woken: one of them may be waiting for exactly this slot.
 */
void tarn_release_pending(struct tarn_state *st, struct tarn_station *s);

/* Line discipline operations, 4.1 shape: open, close and hangup
 * (tarn_core.c), read (tarn_read.c), ioctl and poll (tarn_ioctl.c), write
 * wake-up (tarn_tx.c); each 6.1 shape beside its operation. */
int tarn_open(struct tty_struct *tty);
void tarn_close(struct tty_struct *tty);
int tarn_hangup(struct tty_struct *tty);
ssize_t tarn_read(struct tty_struct *tty, struct file *file, unsigned char __user *buf, size_t nr);
ssize_t tarn_read_cookie(struct tty_struct *tty, struct file *file, unsigned char *kbuf,
			 size_t nr, void **cookie, unsigned long offset);
int tarn_ioctl(struct tty_struct *tty, struct file *file, unsigned int cmd, unsigned long arg);
unsigned int tarn_poll(struct tty_struct *tty, struct file *file, poll_table *wait);
void tarn_write_wakeup(struct tty_struct *tty);
#if TARN_LDISC_61
int tarn_ioctl_61(struct tty_struct *tty, unsigned int cmd, unsigned long arg);
void tarn_hangup_61(struct tty_struct *tty);
__poll_t tarn_poll_61(struct tty_struct *tty, struct file *file, poll_table *wait);
#endif

/* The framing disciplines (tarn_generic.c, tarn_moc.c) */
void generic_receive_buf(struct tty_struct *tty, const unsigned char *cp, tarn_flag_t *fp,
			 int count);
ssize_t generic_write(struct tty_struct *tty, struct file *file, const unsigned char *buf,
		      size_t nr);
void moc_receive_buf(struct tty_struct *tty, const unsigned char *cp, tarn_flag_t *fp,
		     int count);
ssize_t moc_write(struct tty_struct *tty, struct file *file, const unsigned char *buf,
		  size_t nr);

#endif /* TARN_H */
