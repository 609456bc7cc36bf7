/* Device tree lookups over nodes that tests (or a stand-in) register with
 * ktest_of_add; node references are counted like device references. */
#ifndef KTEST_LINUX_OF_H
#define KTEST_LINUX_OF_H
#include <linux/types.h>
struct platform_device;
struct device_node {
	const char *name;
	const char *compatible;
	struct platform_device *pdev;
	struct device_node *next;
};
#ifdef __cplusplus
extern "C" {
#endif
struct device_node *of_find_compatible_node(struct device_node *from, const char *type,
					    const char *compatible);
struct device_node *of_node_get(struct device_node *node);
void of_node_put(struct device_node *node);
#ifdef __cplusplus
}
#endif
#endif
