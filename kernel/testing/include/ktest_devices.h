/* Test-facing control of the device doubles: DMA mappings, device and node
 * references, the device tree, misc devices, kernel files and the hardware
 * random-number device. Safe to call from any thread. ktest_reset forgets
 * all of it. */
#ifndef KTEST_DEVICES_H
#define KTEST_DEVICES_H

#include <stddef.h>
#include <linux/types.h>
#include <linux/fs.h>

#ifdef __cplusplus
extern "C" {
#endif

struct platform_device;
struct device_node;
struct miscdevice;

/* DMA: live mappings (single buffers and scatterlist entries), mappings made
 * since the last reset, and unmaps or syncs that did not match a mapping. */
long ktest_dma_outstanding(void);
long ktest_dma_maps(void);
long ktest_dma_misuse(void);
/* What a device sees at a bus address: the CPU address of len bytes that
 * lie inside one live mapping whose direction allows the access (writes:
 * DMA_FROM_DEVICE or DMA_BIDIRECTIONAL; reads: DMA_TO_DEVICE or
 * DMA_BIDIRECTIONAL); NULL otherwise. */
void *ktest_dma_resolve(dma_addr_t addr, size_t len, int device_writes);

/* References taken by get_device/of_find_device_by_node and by node
 * lookups, less those dropped. */
long ktest_device_refs(void);
long ktest_of_node_refs(void);

/* Adds a device tree node with a compatible string and the platform device
 * that of_find_device_by_node gives for it (may be NULL). */
struct device_node *ktest_of_add(const char *compatible, struct platform_device *pdev);
void ktest_of_remove(struct device_node *np);

/* Misc devices registered by the module under test. */
struct miscdevice *ktest_misc_find(const char *name);
/* Opens a registered misc device as the kernel would (private_data points
 * at the miscdevice when the device's open runs). NULL with *err set to the
 * open's negative result on failure. */
struct file *ktest_misc_open(const char *name, unsigned int f_flags, int *err);
long ktest_file_ioctl(struct file *file, unsigned int cmd, unsigned long arg);
/* Runs the release operation and frees the file; returns its result. */
int ktest_file_release(struct file *file);

/* Kernel file access: what filp_open finds at a path. */
void ktest_file_register(const char *path, const struct file_operations *fops);
/* Files opened with filp_open and not yet closed. */
long ktest_files_open(void);

/* The "/dev/hwrng" double: fills reads with random bytes. Fault points:
 * "hwrng_read" (the read fails with -EIO) and "hwrng_short" (it delivers
 * one byte less than asked). Reads made outside KERNEL_DS fail with
 * -EFAULT, as a kernel buffer under the user limit would. Copies the sizes
 * of the reads since the last reset into sizes (up to max) and returns
 * their number. */
size_t ktest_hwrng_reads(size_t *sizes, size_t max);

#ifdef __cplusplus
}
#endif

#endif
