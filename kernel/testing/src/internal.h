/* Reset hooks of the double units, called by ktest_reset. */
#ifndef KTEST_INTERNAL_H
#define KTEST_INTERNAL_H
void ktest_memory_reset(void);
void ktest_uaccess_reset(void);
void ktest_faults_reset(void);
void ktest_dma_reset(void);
void ktest_device_reset(void);
void ktest_files_reset(void);
void ktest_tty_reset(void);
void ktest_sched_reset(void);
#endif
