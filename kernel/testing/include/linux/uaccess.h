/* User copies: plain copies in the host build, counted, failing at the
 * "copy_from_user" and "copy_to_user" fault points and on null pointers.
 * They return the number of bytes not copied, as the kernel's do. */
#ifndef KTEST_LINUX_UACCESS_H
#define KTEST_LINUX_UACCESS_H
#include <linux/types.h>
#ifdef __cplusplus
extern "C" {
#endif
unsigned long copy_from_user(void *to, const void __user *from, unsigned long n);
unsigned long copy_to_user(void __user *to, const void *from, unsigned long n);
#ifdef __cplusplus
}
#endif
#define get_user(x, ptr) (copy_from_user(&(x), (ptr), sizeof(*(ptr))) ? -EFAULT : 0)
#define put_user(x, ptr) ({ __typeof__(*(ptr)) __v = (x); copy_to_user((ptr), &__v, sizeof(__v)) ? -EFAULT : 0; })
#endif
