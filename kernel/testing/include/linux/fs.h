/* Files as a module sees them: struct file, file_operations, and kernel file
 * access (filp_open, filp_close, kernel_read) to paths that doubles register
 * with ktest_file_register. "/dev/hwrng" is registered by default (see
 * ktest_devices.h). Fault point: "filp_open". SIGIO subscribers
 * (fasync_struct) count what kill_fasync sends them. */
#ifndef KTEST_LINUX_FS_H
#define KTEST_LINUX_FS_H
#include_next <linux/fs.h>
#include <fcntl.h>
#include <linux/types.h>
#include <linux/err.h>
struct module;
struct poll_table_struct;
struct vm_area_struct;
struct fasync_struct;
typedef void *fl_owner_t;
typedef unsigned int fmode_t;
#define FMODE_READ 0x1u
#define FMODE_WRITE 0x2u
struct inode {
	unsigned int i_rdev;
	void *i_private;
};
struct file {
	const struct file_operations *f_op;
	unsigned int f_flags;
	fmode_t f_mode;
	loff_t f_pos;
	void *private_data;
	struct inode *f_inode;
};
struct file_operations {
	struct module *owner;
	loff_t (*llseek)(struct file *, loff_t, int);
	ssize_t (*read)(struct file *, char __user *, size_t, loff_t *);
	ssize_t (*write)(struct file *, const char __user *, size_t, loff_t *);
	unsigned int (*poll)(struct file *, struct poll_table_struct *);
	long (*unlocked_ioctl)(struct file *, unsigned int, unsigned long);
	long (*compat_ioctl)(struct file *, unsigned int, unsigned long);
	int (*mmap)(struct file *, struct vm_area_struct *);
	int (*open)(struct inode *, struct file *);
	int (*flush)(struct file *, fl_owner_t id);
	int (*release)(struct inode *, struct file *);
	int (*fasync)(int, struct file *, int);
};
/* A SIGIO subscriber list entry; the double counts what it is sent. */
struct fasync_struct {
	struct fasync_struct *fa_next;
	struct file *fa_file;
	long ktest_count;	/* kill_fasync calls that reached it */
	int ktest_sig, ktest_band;	/* of the last one */
};
static inline struct inode *file_inode(const struct file *f) { return f->f_inode; }
#ifdef __cplusplus
extern "C" {
#endif
struct file *filp_open(const char *filename, int flags, umode_t mode);
int filp_close(struct file *filp, fl_owner_t id);
/* 4.1 form: reads count bytes at offset into a kernel buffer. */
int kernel_read(struct file *file, loff_t offset, char *addr, unsigned long count);
void kill_fasync(struct fasync_struct **fp, int sig, int band);
#ifdef __cplusplus
}
#endif
#endif
