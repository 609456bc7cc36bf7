/* Kernel-only error numbers on top of the user-space ones. */
#ifndef KTEST_LINUX_ERRNO_H
#define KTEST_LINUX_ERRNO_H
#include_next <linux/errno.h>
#define ERESTARTSYS 512
#define ENOIOCTLCMD 515
#endif
