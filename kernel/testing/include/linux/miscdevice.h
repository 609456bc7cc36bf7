/* Misc devices: registration records the device, so a test (or the host
 * bridge) can find it by name and open it (ktest_misc_open). Fault point:
 * "misc_register". */
#ifndef KTEST_LINUX_MISCDEVICE_H
#define KTEST_LINUX_MISCDEVICE_H
#include <linux/fs.h>
#include <linux/device.h>
#define MISC_DYNAMIC_MINOR 255
struct miscdevice {
	int minor;
	const char *name;
	const struct file_operations *fops;
	struct device *parent;
	struct device *this_device;
	const char *nodename;
	umode_t mode;
};
#ifdef __cplusplus
extern "C" {
#endif
int misc_register(struct miscdevice *misc);
int misc_deregister(struct miscdevice *misc);
#ifdef __cplusplus
}
#endif
#endif
