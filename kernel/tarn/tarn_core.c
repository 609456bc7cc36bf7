// SPDX-License-Identifier: GPL-2.0
/*
 * Line discipline core shared by the generic and moc disciplines: the
 * per-tty state and its references, open, close and hangup. The other
 * shared parts: reading (tarn_read.c), ioctls and poll (tarn_ioctl.c), the
 * receive machine (tarn_rx.c) and writing (tarn_tx.c).
 */
#include <linux/kernel.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/tty.h>
#include <linux/wait.h>

#include "tarn.h"

/*
 * Guards tty->disc_data of every tty, so that a reference is taken only on
 * a state still attached; disc_data is written with WRITE_ONCE, for the
 * receive path's unlocked check.
 */
static DEFINE_SPINLOCK(tarn_state_lock);

struct tarn_state *tarn_state_get(struct tty_struct *tty)
{
	struct tarn_state *st;

	spin_lock(&tarn_state_lock);
	st = tty->disc_data;
	if (st && st->tty == tty)
		kref_get(&st->kref);
	else
		st = NULL;
	spin_unlock(&tarn_state_lock);
	return st;
}

static void tarn_state_release(struct kref *kref)
{
	struct tarn_state *st = container_of(kref, struct tarn_state, kref);

	mutex_destroy(&st->lock);
	kfree(st);
}

/* The reference that disc_data held is dropped only after the detach, so
 * once the count reaches zero no tarn_state_get() can find the state. */
void tarn_state_put(struct tarn_state *st)
{
	kref_put(&st->kref, tarn_state_release);
}

bool tarn_state_current(struct tty_struct *tty, struct tarn_state *st)
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
	kref_init(&st->kref);	/* disc_data's reference */

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

#if TARN_LDISC_61
void tarn_hangup_61(struct tty_struct *tty)
{
	tarn_hangup(tty);
}
#endif
