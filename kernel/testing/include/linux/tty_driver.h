/* The driver side of a tty: only the calls a line discipline makes. */
#ifndef KTEST_LINUX_TTY_DRIVER_H
#define KTEST_LINUX_TTY_DRIVER_H
#include <linux/types.h>

struct tty_struct;

struct tty_operations {
	int (*write)(struct tty_struct *tty, const unsigned char *buf, int count);
	int (*write_room)(struct tty_struct *tty);
	int (*chars_in_buffer)(struct tty_struct *tty);
	void (*flush_buffer)(struct tty_struct *tty);
};

struct tty_driver {
	const char *name;
	const struct tty_operations *ops;
};
#endif
