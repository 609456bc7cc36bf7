/* The 4.1 user-access limit (set_fs/get_fs), per thread. Reads of kernel
 * files through a file's own read operation succeed only under KERNEL_DS. */
#ifndef KTEST_ASM_SEGMENT_H
#define KTEST_ASM_SEGMENT_H
typedef unsigned long mm_segment_t;
#define KERNEL_DS ((mm_segment_t)0)
#define USER_DS ((mm_segment_t)0xbf000000UL)
#define get_ds() (KERNEL_DS)
#define segment_eq(a, b) ((a) == (b))
#ifdef __cplusplus
extern "C" {
#endif
mm_segment_t get_fs(void);
void set_fs(mm_segment_t fs);
#ifdef __cplusplus
}
#endif
#endif
