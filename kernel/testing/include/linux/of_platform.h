#ifndef KTEST_LINUX_OF_PLATFORM_H
#define KTEST_LINUX_OF_PLATFORM_H
#include <linux/of.h>
#include <linux/platform_device.h>
#ifdef __cplusplus
extern "C" {
#endif
/* The node's device with a reference taken (drop it with put_device). */
struct platform_device *of_find_device_by_node(struct device_node *np);
#ifdef __cplusplus
}
#endif
#endif
