/*
 * Host device bridge: a preloaded library that gives an unmodified program
 * the crypto device. Its open, ioctl and close of "/dev/vcrypto" reach the
 * host build of the vcrypto module on the CAAM stand-in; every other file
 * passes through to the C library.
 *
 * Environment: ZEL_VCRYPTO_STATE names a folder that keeps the stand-in's
 * device master key ("master.key", made on first use, so key records
 * survive restarts), the module's kernel log ("kernel.log") and, when the
 * program ends, the number of CAAM jobs it ran ("jobs"). Without it
 * the bridge stays out of the way and /dev/vcrypto does not exist.
 *
 * Each open gets a real descriptor (an anonymous memfd) so that descriptor
 * numbers, close-on-exec and poll-free code paths behave as usual. Not
 * modelled: dup() of a device descriptor, and sharing one across fork().
 */
#define _GNU_SOURCE
/* The bridge defines the plain and the 64-bit entry points side by side:
 * neither may be renamed to the other by the large-file headers. */
#undef _FILE_OFFSET_BITS
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ktest.h>
#include <ktest_devices.h>

#include "caam_sim_host.h"

#define EXPORT __attribute__((visibility("default")))
#define DEVICE_PATH "/dev/vcrypto"
#define MAX_OPEN 256

struct open_device {
	int fd;			/* -1 once closed */
	int users;		/* calls in progress, plus one while open */
	struct file *file;
};

static pthread_mutex_t table_lock = PTHREAD_MUTEX_INITIALIZER;
static struct open_device table[MAX_OPEN];
static pthread_once_t real_once = PTHREAD_ONCE_INIT;
static pthread_once_t up_once = PTHREAD_ONCE_INIT;
static int bridge_error = ENOENT;	/* errno of open when not up */
static char log_path[4096];
static size_t log_cursor;

static int (*real_open)(const char *, int, ...);
static int (*real_openat)(int, const char *, int, ...);
static int (*real_ioctl)(int, unsigned long, ...);
static int (*real_close)(int);

static void find_real(void)
{
	real_open = dlsym(RTLD_NEXT, "open");
	real_openat = dlsym(RTLD_NEXT, "openat");
	real_ioctl = dlsym(RTLD_NEXT, "ioctl");
	real_close = dlsym(RTLD_NEXT, "close");
}

static void bring_up(void)
{
	struct caam_sim_host_config cfg;
	const char *state = getenv("ZEL_VCRYPTO_STATE");
	char key_path[4096];
	int ret;

	if (!state || !*state)
		return;
	mkdir(state, 0700);
	snprintf(key_path, sizeof(key_path), "%s/master.key", state);
	snprintf(log_path, sizeof(log_path), "%s/kernel.log", state);
	caam_sim_host_defaults(&cfg);
	cfg.master_key_file = key_path;
	ret = caam_sim_host_start(&cfg);
	if (!ret)
		ret = ktest_module_init();
	if (ret) {
		fprintf(stderr, "vcrypto-bridge: the device did not come up (%d)\n", ret);
		bridge_error = ENODEV;
		return;
	}
	bridge_error = 0;
}

/* The stand-in's own files (master key, kernel log) are opened through
 * open() too: only the device path brings the device up. */

/* Appends the module's new kernel log lines to kernel.log. */
static void flush_log(void)
{
	char text[512];
	size_t n;
	FILE *f;

	pthread_mutex_lock(&table_lock);
	n = ktest_log_count();
	if (n > log_cursor && (f = fopen(log_path, "ae"))) {
		for (; log_cursor < n; log_cursor++)
			if (ktest_log_text(log_cursor, text, sizeof(text)) >= 0)
				fprintf(f, "<%d>%s\n", ktest_log_level(log_cursor), text);
		fclose(f);
	}
	pthread_mutex_unlock(&table_lock);
}

static int is_device(const char *path)
{
	return path && strcmp(path, DEVICE_PATH) == 0;
}

static int open_device(int flags)
{
	struct file *file;
	int fd, err, i;

	pthread_once(&up_once, bring_up);
	if (bridge_error) {
		errno = bridge_error;
		return -1;
	}
	fd = memfd_create("vcrypto", (flags & O_CLOEXEC) ? MFD_CLOEXEC : 0);
	if (fd < 0)
		return -1;
	file = ktest_misc_open("vcrypto", (unsigned int)flags, &err);
	flush_log();
	if (!file) {
		real_close(fd);
		errno = -err;
		return -1;
	}
	pthread_mutex_lock(&table_lock);
	for (i = 0; i < MAX_OPEN && table[i].file; i++)
		;
	if (i < MAX_OPEN)
		table[i] = (struct open_device){ fd, 1, file };
	pthread_mutex_unlock(&table_lock);
	if (i == MAX_OPEN) {
		ktest_file_release(file);
		real_close(fd);
		errno = EMFILE;
		return -1;
	}
	return fd;
}

/* The open device behind fd, or NULL; caller holds table_lock. A closed
 * entry that calls still use is found by nobody: its number may already
 * name another file. */
static struct open_device *find_device(int fd)
{
	int i;

	for (i = 0; fd >= 0 && i < MAX_OPEN; i++)
		if (table[i].file && table[i].fd == fd)
			return &table[i];
	return NULL;
}

/* The open device behind fd, with a use counted; NULL if fd is another file. */
static struct open_device *get_device(int fd)
{
	struct open_device *dev;

	pthread_mutex_lock(&table_lock);
	dev = find_device(fd);
	if (dev)
		dev->users++;
	pthread_mutex_unlock(&table_lock);
	return dev;
}

/* Drops a use; the last one releases the device as the kernel's final
 * fput would. */
static void put_device(struct open_device *dev)
{
	struct file *file = NULL;

	pthread_mutex_lock(&table_lock);
	if (--dev->users == 0) {
		file = dev->file;
		dev->file = NULL;
	}
	pthread_mutex_unlock(&table_lock);
	if (file) {
		ktest_file_release(file);
		flush_log();
	}
}

static int open_flags_mode(int flags, va_list ap)
{
	return (flags & (O_CREAT | O_TMPFILE)) ? va_arg(ap, int) : 0;
}

EXPORT int open(const char *path, int flags, ...)
{
	va_list ap;
	int mode;

	pthread_once(&real_once, find_real);
	if (is_device(path))
		return open_device(flags);
	va_start(ap, flags);
	mode = open_flags_mode(flags, ap);
	va_end(ap);
	return real_open(path, flags, mode);
}

EXPORT int open64(const char *path, int flags, ...)
{
	va_list ap;
	int mode;

	va_start(ap, flags);
	mode = open_flags_mode(flags, ap);
	va_end(ap);
	return open(path, flags | O_LARGEFILE, mode);
}

EXPORT int __open_2(const char *path, int flags)
{
	return open(path, flags);
}

EXPORT int __open64_2(const char *path, int flags)
{
	return open(path, flags | O_LARGEFILE);
}

EXPORT int openat(int dirfd, const char *path, int flags, ...)
{
	va_list ap;
	int mode;

	pthread_once(&real_once, find_real);
	if (is_device(path))
		return open_device(flags);
	va_start(ap, flags);
	mode = open_flags_mode(flags, ap);
	va_end(ap);
	return real_openat(dirfd, path, flags, mode);
}

EXPORT int openat64(int dirfd, const char *path, int flags, ...)
{
	va_list ap;
	int mode;

	va_start(ap, flags);
	mode = open_flags_mode(flags, ap);
	va_end(ap);
	return openat(dirfd, path, flags | O_LARGEFILE, mode);
}

EXPORT int __openat_2(int dirfd, const char *path, int flags)
{
	return openat(dirfd, path, flags);
}

EXPORT int __openat64_2(int dirfd, const char *path, int flags)
{
	return openat(dirfd, path, flags | O_LARGEFILE);
}

EXPORT int ioctl(int fd, unsigned long request, ...)
{
	struct open_device *dev;
	va_list ap;
	void *arg;
	long ret;

	va_start(ap, request);
	arg = va_arg(ap, void *);
	va_end(ap);
	pthread_once(&real_once, find_real);
	dev = get_device(fd);
	if (!dev)
		return real_ioctl(fd, request, arg);
	/* The kernel takes the command as an unsigned int. */
	ret = ktest_file_ioctl(dev->file, (unsigned int)request, (unsigned long)arg);
	put_device(dev);
	flush_log();
	if (ret < 0) {
		errno = (int)-ret;
		return -1;
	}
	return (int)ret;
}

/* Leaves the job count of this process for benchmarks. */
static void __attribute__((destructor)) write_jobs(void)
{
	char path[4096];
	FILE *f;

	if (bridge_error || !getenv("ZEL_VCRYPTO_STATE"))
		return;
	snprintf(path, sizeof(path), "%s/jobs", getenv("ZEL_VCRYPTO_STATE"));
	f = fopen(path, "we");
	if (f) {
		fprintf(f, "%lu\n", caam_sim_host_jobs());
		fclose(f);
	}
}

/* The entry leaves the table's routing before the number is given back, so
 * a file opened under the same number never reaches the device. Calls still
 * running keep the device; the last of them releases it. */
EXPORT int close(int fd)
{
	struct open_device *dev;

	pthread_once(&real_once, find_real);
	pthread_mutex_lock(&table_lock);
	dev = find_device(fd);
	if (dev)
		dev->fd = -1;
	pthread_mutex_unlock(&table_lock);
	if (dev)
		put_device(dev);	/* the open's own use */
	return real_close(fd);
}
