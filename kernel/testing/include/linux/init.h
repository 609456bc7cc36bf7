#ifndef KTEST_LINUX_INIT_H
#define KTEST_LINUX_INIT_H
#include <linux/compiler.h>
#endif
