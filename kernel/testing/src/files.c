/* Misc device registration, kernel file access, the user-access limit, and
 * the "/dev/hwrng" double. */
#define _GNU_SOURCE
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <sys/random.h>

#include <ktest.h>
#include <ktest_devices.h>
#include <asm/segment.h>
#include <linux/miscdevice.h>
#include <linux/random.h>

#include "counter.h"
#include "internal.h"

#define MAX_MISC 16
#define MAX_FILES 16
#define MAX_READS 256

static pthread_mutex_t files_lock = PTHREAD_MUTEX_INITIALIZER;
static struct miscdevice *miscs[MAX_MISC];
static int next_minor = 60;
static struct {
	const char *path;
	const struct file_operations *fops;
} paths[MAX_FILES];
static struct ktest_counter files_open;
static size_t reads[MAX_READS], nreads;

static __thread mm_segment_t addr_limit = USER_DS;

mm_segment_t get_fs(void)
{
	return addr_limit;
}

void set_fs(mm_segment_t fs)
{
	addr_limit = fs;
}

int misc_register(struct miscdevice *misc)
{
	int i, slot = -1, err = 0;

	if (ktest_fault_hit("misc_register"))
		return -EBUSY;
	pthread_mutex_lock(&files_lock);
	for (i = 0; i < MAX_MISC; i++) {
		if (miscs[i] && (miscs[i] == misc || strcmp(miscs[i]->name, misc->name) == 0))
			err = -EBUSY;
		else if (!miscs[i] && slot < 0)
			slot = i;
	}
	if (!err && slot < 0)
		err = -EBUSY;
	if (!err) {
		if (misc->minor == MISC_DYNAMIC_MINOR)
			misc->minor = next_minor++;
		miscs[slot] = misc;
	}
	pthread_mutex_unlock(&files_lock);
	return err;
}

int misc_deregister(struct miscdevice *misc)
{
	int i, err = -EINVAL;

	pthread_mutex_lock(&files_lock);
	for (i = 0; i < MAX_MISC; i++) {
		if (miscs[i] == misc) {
			miscs[i] = NULL;
			err = 0;
		}
	}
	pthread_mutex_unlock(&files_lock);
	return err;
}

struct miscdevice *ktest_misc_find(const char *name)
{
	struct miscdevice *found = NULL;
	int i;

	pthread_mutex_lock(&files_lock);
	for (i = 0; i < MAX_MISC; i++)
		if (miscs[i] && strcmp(miscs[i]->name, name) == 0)
			found = miscs[i];
	pthread_mutex_unlock(&files_lock);
	return found;
}

static struct file *new_file(const struct file_operations *fops, unsigned int f_flags)
{
	struct file *file = calloc(1, sizeof(*file) + sizeof(struct inode));

	if (!file)
		return NULL;
	file->f_op = fops;
	file->f_flags = f_flags;
	file->f_mode = (f_flags & O_ACCMODE) == O_RDONLY ? FMODE_READ :
		       (f_flags & O_ACCMODE) == O_WRONLY ? FMODE_WRITE : FMODE_READ | FMODE_WRITE;
	file->f_inode = (struct inode *)(file + 1);
	return file;
}

struct file *ktest_misc_open(const char *name, unsigned int f_flags, int *err)
{
	struct miscdevice *misc = ktest_misc_find(name);
	struct file *file;
	int ret = 0;

	if (!misc) {
		*err = -ENODEV;
		return NULL;
	}
	file = new_file(misc->fops, f_flags);
	if (!file) {
		*err = -ENOMEM;
		return NULL;
	}
	file->f_inode->i_rdev = (10u << 20) | (unsigned int)misc->minor;
	file->private_data = misc;
	if (file->f_op->open)
		ret = file->f_op->open(file->f_inode, file);
	if (ret) {
		free(file);
		*err = ret;
		return NULL;
	}
	*err = 0;
	return file;
}

long ktest_file_ioctl(struct file *file, unsigned int cmd, unsigned long arg)
{
	if (!file->f_op->unlocked_ioctl)
		return -ENOTTY;
	return file->f_op->unlocked_ioctl(file, cmd, arg);
}

int ktest_file_release(struct file *file)
{
	int ret = 0;

	if (file->f_op->release)
		ret = file->f_op->release(file->f_inode, file);
	free(file);
	return ret;
}

void ktest_file_register(const char *path, const struct file_operations *fops)
{
	int i;

	pthread_mutex_lock(&files_lock);
	for (i = 0; i < MAX_FILES; i++) {
		if (!paths[i].path || strcmp(paths[i].path, path) == 0) {
			paths[i].path = path;
			paths[i].fops = fops;
			break;
		}
	}
	pthread_mutex_unlock(&files_lock);
}

struct file *filp_open(const char *filename, int flags, umode_t mode)
{
	const struct file_operations *fops = NULL;
	struct file *file;
	int i, ret = 0;

	(void)mode;
	if (ktest_fault_hit("filp_open"))
		return ERR_PTR(-ENOENT);
	pthread_mutex_lock(&files_lock);
	for (i = 0; i < MAX_FILES && paths[i].path; i++)
		if (strcmp(paths[i].path, filename) == 0)
			fops = paths[i].fops;
	pthread_mutex_unlock(&files_lock);
	if (!fops)
		return ERR_PTR(-ENOENT);
	file = new_file(fops, (unsigned int)flags);
	if (!file)
		return ERR_PTR(-ENOMEM);
	if (fops->open)
		ret = fops->open(file->f_inode, file);
	if (ret) {
		free(file);
		return ERR_PTR(ret);
	}
	ktest_counter_add(&files_open, 1);
	return file;
}

int filp_close(struct file *filp, fl_owner_t id)
{
	(void)id;
	if (filp->f_op->flush)
		filp->f_op->flush(filp, id);
	ktest_counter_add(&files_open, -1);
	return ktest_file_release(filp);
}

int kernel_read(struct file *file, loff_t offset, char *addr, unsigned long count)
{
	mm_segment_t old = get_fs();
	loff_t pos = offset;
	ssize_t ret;

	if (!file->f_op->read)
		return -EINVAL;
	set_fs(KERNEL_DS);
	ret = file->f_op->read(file, (char __user *)addr, count, &pos);
	set_fs(old);
	return (int)ret;
}

long ktest_files_open(void)
{
	return ktest_counter_read(&files_open);
}

static ssize_t hwrng_read(struct file *file, char __user *buf, size_t count, loff_t *ppos)
{
	size_t got = 0;

	(void)file;
	(void)ppos;
	pthread_mutex_lock(&files_lock);
	if (nreads < MAX_READS)
		reads[nreads++] = count;
	pthread_mutex_unlock(&files_lock);
	if (!segment_eq(get_fs(), KERNEL_DS))
		return -EFAULT;
	if (ktest_fault_hit("hwrng_read"))
		return -EIO;
	if (count && ktest_fault_hit("hwrng_short"))
		count--;
	while (got < count) {
		ssize_t n = getrandom((char *)buf + got, count - got, 0);

		if (n <= 0)
			return -EIO;
		got += (size_t)n;
	}
	return (ssize_t)count;
}

static const struct file_operations hwrng_fops = {
	.read = hwrng_read,
};

size_t ktest_hwrng_reads(size_t *sizes, size_t max)
{
	size_t i, n;

	pthread_mutex_lock(&files_lock);
	n = nreads;
	for (i = 0; i < n && i < max; i++)
		sizes[i] = reads[i];
	pthread_mutex_unlock(&files_lock);
	return n;
}

void ktest_files_reset(void)
{
	pthread_mutex_lock(&files_lock);
	memset(miscs, 0, sizeof(miscs));
	memset(paths, 0, sizeof(paths));
	paths[0].path = "/dev/hwrng";
	paths[0].fops = &hwrng_fops;
	ktest_counter_set(&files_open, 0);
	nreads = 0;
	next_minor = 60;
	pthread_mutex_unlock(&files_lock);
}

static void __attribute__((constructor)) files_init(void)
{
	ktest_files_reset();
}

void get_random_bytes(void *buf, int nbytes)
{
	size_t got = 0;

	while (got < (size_t)nbytes) {
		ssize_t n = getrandom((char *)buf + got, (size_t)nbytes - got, 0);

		if (n > 0)
			got += (size_t)n;
	}
}
