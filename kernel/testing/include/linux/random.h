#ifndef KTEST_LINUX_RANDOM_H
#define KTEST_LINUX_RANDOM_H
#include_next <linux/random.h>
#include <linux/types.h>
#ifdef __cplusplus
extern "C" {
#endif
void get_random_bytes(void *buf, int nbytes);
#ifdef __cplusplus
}
#endif
#endif
