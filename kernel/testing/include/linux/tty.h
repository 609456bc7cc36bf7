/* The tty as a line discipline sees it (Linux 4.1 shape), on top of the
 * user-space API header of the same name. ktest_tty.h plays the tty core. */
#ifndef KTEST_LINUX_TTY_H
#define KTEST_LINUX_TTY_H
#include_next <linux/tty.h>
#include <asm/ioctls.h>
#include <linux/types.h>
#include <linux/bitops.h>
#include <linux/fs.h>
#include <linux/mutex.h>
#include <linux/wait.h>
#include <linux/tty_driver.h>
#include <linux/tty_ldisc.h>

/* The board's kernel has 30 discipline slots. */
#undef NR_LDISCS
#define NR_LDISCS 30

/* Per-byte receive flags */
#define TTY_NORMAL 0
#define TTY_BREAK 1
#define TTY_FRAME 2
#define TTY_PARITY 3
#define TTY_OVERRUN 4

/* Bits of tty->flags */
#define TTY_THROTTLED 0
#define TTY_IO_ERROR 1
#define TTY_OTHER_CLOSED 2
#define TTY_EXCLUSIVE 3
#define TTY_DO_WRITE_WAKEUP 5
#define TTY_LDISC_OPEN 11
#define TTY_HUPPED 18
#define TTY_LDISC_HALTED 22

#ifdef __cplusplus
extern "C" {
#endif
struct ktest_tty;

struct tty_struct {
	struct tty_driver *driver;
	const struct tty_operations *ops;
	int index;
	struct tty_ldisc *ldisc;
	struct mutex atomic_write_lock;
	unsigned long flags;
	int count;
	char name[64];
	unsigned int receive_room;
	wait_queue_head_t write_wait;
	wait_queue_head_t read_wait;
	void *disc_data;
	void *driver_data;
	struct fasync_struct *fasync;
	struct ktest_tty *ktest;	/* the double's side: ldisc lock, driver output */
};

int tty_hung_up_p(struct file *filp);
int n_tty_ioctl_helper(struct tty_struct *tty, struct file *file, unsigned int cmd, unsigned long arg);
void tty_wakeup(struct tty_struct *tty);
#ifdef __cplusplus
}
#endif
#endif
