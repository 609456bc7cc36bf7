#ifndef KTEST_LINUX_INIT_H
#define KTEST_LINUX_INIT_H
#include <linux/compiler.h>
/* Section markers; kept out of compiler.h because libc headers reach that
 * one through linux/types.h, and C++ library code uses these names. */
#define __init
#define __exit
#endif
