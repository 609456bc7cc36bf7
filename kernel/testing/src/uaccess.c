/* User copies and module parameters. */
#define _GNU_SOURCE
#include <errno.h>
#include <pthread.h>
#include <stdint.h>
#include <sys/uio.h>
#include <unistd.h>
#include <string.h>

#include <ktest.h>
#include <linux/moduleparam.h>
#include <linux/uaccess.h>

#include "counter.h"
#include "internal.h"

static struct ktest_counter copies;

/* Bytes of the user buffer that the kernel can reach, probed page by page
 * with one-byte transfers through a pipe: a write from an unreadable page,
 * or a read into an unwritable one, fails with EFAULT. A reachable byte is
 * written back with its own value, into a range about to be copied over
 * anyway. Without a pipe it trusts the pointers. */
static unsigned long probe_pages(char *user, unsigned long n, int to_user)
{
	const unsigned long page = (unsigned long)sysconf(_SC_PAGESIZE);
	unsigned long done = 0;
	char byte;
	int fds[2];

	if (pipe(fds))
		return n;
	while (done < n) {
		char *at = user + done;

		if (write(fds[1], at, 1) != 1 || read(fds[0], to_user ? at : &byte, 1) != 1)
			break;
		done += page - (uintptr_t)at % page;
	}
	close(fds[0]);
	close(fds[1]);
	return done < n ? done : n;
}

/* Bytes of [user, user + n) that can be reached, copying them: an unmapped
 * or read-only user buffer gives a short copy, as in the kernel, instead of
 * a crash. The plain copy that follows a full probe lets AddressSanitizer
 * check the buffers too. Where process_vm_* is refused (seccomp) or missing
 * (qemu-user) the pages are probed instead. */
static unsigned long reachable(void *to, const void *from, unsigned long n, int to_user)
{
	struct iovec local = { to_user ? (void *)from : to, n };
	struct iovec remote = { to_user ? to : (void *)from, n };
	ssize_t done;

	done = to_user ? process_vm_writev(getpid(), &local, 1, &remote, 1, 0)
		       : process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
	if (done < 0 && (errno == ENOSYS || errno == EPERM))
		return probe_pages(to_user ? to : (void *)from, n, to_user);
	return done < 0 ? 0 : (unsigned long)done;
}

static unsigned long user_copy(const char *point, void *to, const void *from, unsigned long n,
			       int to_user)
{
	unsigned long ok;

	ktest_counter_add(&copies, 1);
	if (n == 0)
		return 0;
	if (!to || !from || ktest_fault_hit(point))
		return n;
	ok = reachable(to, from, n, to_user);
	if (ok < n)
		return n - ok;
	memcpy(to, from, n);
	return 0;
}

unsigned long copy_from_user(void *to, const void __user *from, unsigned long n)
{
	unsigned long left = user_copy("copy_from_user", to, from, n, 0);

	/* As in the kernel, what could not be copied is zeroed. */
	if (left && to)
		memset((char *)to + (n - left), 0, left);
	return left;
}

unsigned long copy_to_user(void __user *to, const void *from, unsigned long n)
{
	return user_copy("copy_to_user", to, from, n, 1);
}

long ktest_user_copies(void)
{
	return ktest_counter_read(&copies);
}

void ktest_uaccess_reset(void)
{
	ktest_counter_set(&copies, 0);
}

struct param {
	const char *name;
	void *value;
	size_t size;
};

static struct param params[32];
static int nparams;

void ktest_register_param(const char *name, void *value, size_t size)
{
	if (nparams < (int)(sizeof(params) / sizeof(params[0])))
		params[nparams++] = (struct param){ name, value, size };
}

int ktest_param_set_int(const char *name, long value)
{
	int i;

	for (i = 0; i < nparams; i++) {
		if (strcmp(params[i].name, name) != 0)
			continue;
		switch (params[i].size) {
		case 1: *(signed char *)params[i].value = (signed char)value; return 0;
		case 2: *(short *)params[i].value = (short)value; return 0;
		case 4: *(int *)params[i].value = (int)value; return 0;
		case 8: *(long *)params[i].value = value; return 0;
		default: return -1;
		}
	}
	return -1;
}
