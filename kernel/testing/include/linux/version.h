/* The host doubles mirror the board's kernel. */
#ifndef KTEST_LINUX_VERSION_H
#define KTEST_LINUX_VERSION_H
#define KERNEL_VERSION(a, b, c) (((a) << 16) + ((b) << 8) + ((c) > 255 ? 255 : (c)))
#define LINUX_VERSION_CODE KERNEL_VERSION(4, 1, 15)
#endif
