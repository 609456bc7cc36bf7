/* Open files and SIGIO subscribers, on top of the user-space API header of
 * the same name. */
#ifndef KTEST_LINUX_FS_H
#define KTEST_LINUX_FS_H
#include_next <linux/fs.h>
#include <fcntl.h>
#include <linux/types.h>

#ifdef __cplusplus
extern "C" {
#endif
struct module;
struct inode;
struct file;
struct poll_table_struct;

struct file_operations {
	struct module *owner;
	ssize_t (*read)(struct file *, char __user *, size_t, loff_t *);
	ssize_t (*write)(struct file *, const char __user *, size_t, loff_t *);
	unsigned int (*poll)(struct file *, struct poll_table_struct *);
	long (*unlocked_ioctl)(struct file *, unsigned int, unsigned long);
	int (*open)(struct inode *, struct file *);
	int (*release)(struct inode *, struct file *);
};

struct file {
	const struct file_operations *f_op;
	unsigned int f_flags;
	void *private_data;
};

/* A SIGIO subscriber list entry; the double counts what it is sent. */
struct fasync_struct {
	struct fasync_struct *fa_next;
	struct file *fa_file;
	long ktest_count;	/* kill_fasync calls that reached it */
	int ktest_sig, ktest_band;	/* of the last one */
};

void kill_fasync(struct fasync_struct **fp, int sig, int band);
#ifdef __cplusplus
}
#endif
#endif
