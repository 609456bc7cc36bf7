/* Line discipline operations and registration, Linux 4.1 shape. */
#ifndef KTEST_LINUX_TTY_LDISC_H
#define KTEST_LINUX_TTY_LDISC_H
#include <linux/types.h>
#include <linux/fs.h>
#include <linux/poll.h>

#ifdef __cplusplus
extern "C" {
#endif
struct tty_struct;
struct ktermios;
struct module;

#define TTY_LDISC_MAGIC 0x5403
#define LDISC_FLAG_DEFINED 0x00000001

struct tty_ldisc_ops {
	int magic;
	char *name;
	int num;
	int flags;

	/* called from above */
	int (*open)(struct tty_struct *tty);
	void (*close)(struct tty_struct *tty);
	void (*flush_buffer)(struct tty_struct *tty);
	ssize_t (*chars_in_buffer)(struct tty_struct *tty);
	ssize_t (*read)(struct tty_struct *tty, struct file *file, unsigned char __user *buf, size_t nr);
	ssize_t (*write)(struct tty_struct *tty, struct file *file, const unsigned char *buf, size_t nr);
	int (*ioctl)(struct tty_struct *tty, struct file *file, unsigned int cmd, unsigned long arg);
	long (*compat_ioctl)(struct tty_struct *tty, struct file *file, unsigned int cmd, unsigned long arg);
	void (*set_termios)(struct tty_struct *tty, struct ktermios *old);
	unsigned int (*poll)(struct tty_struct *tty, struct file *file, struct poll_table_struct *wait);
	int (*hangup)(struct tty_struct *tty);

	/* called from below */
	void (*receive_buf)(struct tty_struct *tty, const unsigned char *cp, char *fp, int count);
	void (*write_wakeup)(struct tty_struct *tty);
	void (*dcd_change)(struct tty_struct *tty, unsigned int status);
	void (*fasync)(struct tty_struct *tty, int on);
	int (*receive_buf2)(struct tty_struct *tty, const unsigned char *cp, char *fp, int count);

	struct module *owner;
	int refcount;
};

struct tty_ldisc {
	struct tty_ldisc_ops *ops;
	struct tty_struct *tty;
};

/* -EINVAL outside N_TTY..NR_LDISCS-1; fails at the "tty_register_ldisc"
 * fault point with -EBUSY. */
int tty_register_ldisc(int disc, struct tty_ldisc_ops *new_ldisc);
/* -EBUSY while a tty uses the discipline. */
int tty_unregister_ldisc(int disc);
#ifdef __cplusplus
}
#endif
#endif
