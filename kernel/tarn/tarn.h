/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Shared inside the tarn module: per-tty state, station entries, the line
 * alphabet, receive states, and the calls between the core and the two
 * framing disciplines.
 */
#ifndef TARN_H
#define TARN_H

#include <linux/compiler.h>
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
#define TARN_POLL_BASE	0x40	/* + (id & 0x1F) */
#define TARN_SELECT_BASE 0x60	/* + (id & 0x1F) */

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
 * Locking. tarn_state_lock (tarn_core.c) guards tty->disc_data and refs, so
 * that every operation takes a reference before it touches the state and
 * close can detach the state while others still hold it; the memory goes
 * with the last reference. lock serialises the receive worker, writers,
 * ioctls and close on everything else except rx_list, which has its own
 * spinlock so that readers never wait for the receive worker.
 */
struct tarn_state {
	struct tty_struct *tty;
	struct tarn_station *ids[TARN_STATIONS];	/* by id & 0x1F */
	struct tarn_station *addressed;
	int rx_state;
	u8 broadcast;
	u8 block;
	u8 bcc;
	struct n_tarn_buf *rx_buf;
	struct n_tarn_buf_list rx_list;
	u8 break_seen;

	struct mutex lock;
	int refs;
	bool dead;		/* closed: stations and buffers are gone */
};

/* What differs between the two disciplines, for the shared entries. */
struct tarn_discipline {
	const char *rx_name;		/* "generic_receive_buf" */
	const char *char_name;		/* "generic_receive_char" */
	const char *write_name;		/* "generic_write" */
	void (*receive_char)(struct tarn_state *st, u8 b);
	void (*frame)(struct n_tarn_buf *frame, const u8 *text, size_t len);
};

/* Entries shared by both disciplines (tarn_core.c) */
void tarn_receive(struct tty_struct *tty, const unsigned char *cp, const char *fp, int count,
		  const struct tarn_discipline *disc);
ssize_t tarn_write(struct tty_struct *tty, struct file *file, const unsigned char *buf,
		   size_t nr, const struct tarn_discipline *disc);

/* Receive machine steps shared by both disciplines; st->lock held. */
void tarn_rx_hunt(struct tarn_state *st, u8 b);
struct tarn_station *tarn_rx_address(struct tarn_state *st, u8 b);
bool tarn_frame_end(struct tarn_state *st, u8 bcc);
void tarn_take_msg(struct tarn_state *st, const u8 *bytes, int n);
void tarn_deliver(struct tarn_state *st);
void tarn_drop(struct tarn_state *st);
void tarn_send(struct tarn_state *st, const u8 *bytes, int n);
void tarn_send_byte(struct tarn_state *st, u8 b);
void tarn_send_pending(struct tarn_state *st, struct tarn_station *s);
void tarn_release_pending(struct tarn_state *st, struct tarn_station *s);
void tarn_poll_notify(struct tarn_state *st, struct tarn_station *s);
void tarn_receive_error(struct tarn_state *st, u8 flag);

/* Appends a text byte to the message being built; a message stops growing
 * at TARN_MSG_MAX bytes. */
static inline void tarn_append(struct tarn_state *st, u8 b)
{
	if (st->rx_buf && st->rx_buf->len < TARN_MSG_MAX)
		st->rx_buf->data[st->rx_buf->len++] = b;
}

/* The pending frame that went out on the last poll, or NULL. */
static inline struct tarn_station *tarn_answered(struct tarn_state *st)
{
	struct tarn_station *s = st->addressed;

	return s && s->pending && s->sent ? s : NULL;
}

/* Line discipline operations (tarn_core.c), 4.1 shape */
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
