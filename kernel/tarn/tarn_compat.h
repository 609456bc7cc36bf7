/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The board runs Linux 4.1; the test VM runs Debian 12's 6.1. The sources
 * keep the 4.1 shape of the tty line discipline interface and this header
 * bridges the 6.1 one:
 *   - registration takes the operations (with the number preset) and
 *     unregistration cannot fail;
 *   - the ops table has no magic; ioctl and n_tty_ioctl_helper lose the
 *     file; hangup returns nothing; poll returns __poll_t; receive flags
 *     are const;
 *   - read fills a kernel buffer of at most 64 bytes per call and is called
 *     again while its cookie is set (tarn_read_cookie in tarn_read.c);
 *   - a discipline change sets TTY_LDISC_CHANGING and wakes both queues:
 *     blocked readers and writers give way with -EAGAIN, as the kernel's
 *     own disciplines do, so that the change does not wait for them (4.1
 *     has no such request: there the change waits for them to return);
 *   - wait queue entries are struct wait_queue_entry, not wait_queue_t.
 * Kernels between the two are not bridged.
 */
#ifndef TARN_COMPAT_H
#define TARN_COMPAT_H

#include <linux/version.h>
#include <linux/tty.h>
#include <linux/tty_ldisc.h>
#include <linux/wait.h>

#if LINUX_VERSION_CODE >= KERNEL_VERSION(6, 1, 0) && LINUX_VERSION_CODE < KERNEL_VERSION(6, 2, 0)
#define TARN_LDISC_61 1
#elif LINUX_VERSION_CODE >= KERNEL_VERSION(4, 1, 0) && LINUX_VERSION_CODE < KERNEL_VERSION(4, 2, 0)
#define TARN_LDISC_61 0
#else
#error "tarn bridges the tty interfaces of Linux 4.1 and 6.1 only"
#endif

#if TARN_LDISC_61

#include <linux/sched/signal.h>

typedef const char tarn_flag_t;
typedef struct wait_queue_entry tarn_waiter_t;

#define tarn_n_tty_ioctl_helper(tty, file, cmd, arg) n_tty_ioctl_helper(tty, cmd, arg)
#define tarn_io_nonblock(tty, file) tty_io_nonblock(tty, file)

static inline int tarn_register_ldisc(int disc, struct tty_ldisc_ops *ops)
{
	ops->num = disc;
	return tty_register_ldisc(ops);
}

static inline int tarn_unregister_ldisc(int disc, struct tty_ldisc_ops *ops)
{
	tty_unregister_ldisc(ops);
	return 0;
}

#else /* Linux 4.1 */

#include <linux/sched.h>

typedef char tarn_flag_t;
typedef wait_queue_t tarn_waiter_t;

#define tarn_n_tty_ioctl_helper(tty, file, cmd, arg) n_tty_ioctl_helper(tty, file, cmd, arg)
#define tarn_io_nonblock(tty, file) ((file)->f_flags & O_NONBLOCK)

static inline int tarn_register_ldisc(int disc, struct tty_ldisc_ops *ops)
{
	return tty_register_ldisc(disc, ops);
}

static inline int tarn_unregister_ldisc(int disc, struct tty_ldisc_ops *ops)
{
	return tty_unregister_ldisc(disc);
}

#endif

#endif /* TARN_COMPAT_H */
