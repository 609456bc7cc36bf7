/* Devices: driver data and reference counts. get_device/put_device are
 * counted so tests can see that every reference taken is dropped. */
#ifndef KTEST_LINUX_DEVICE_H
#define KTEST_LINUX_DEVICE_H
#include <linux/types.h>
#include <linux/printk.h>
struct device_node;
struct device {
	struct device *parent;
	const char *init_name;
	void *driver_data;
	void *platform_data;
	u64 *dma_mask;
	u64 coherent_dma_mask;
	struct device_node *of_node;
};
#ifdef __cplusplus
extern "C" {
#endif
struct device *get_device(struct device *dev);
void put_device(struct device *dev);
#ifdef __cplusplus
}
#endif
static inline void *dev_get_drvdata(const struct device *dev) { return dev->driver_data; }
static inline void dev_set_drvdata(struct device *dev, void *data) { dev->driver_data = data; }
static inline const char *dev_name(const struct device *dev)
{
	return dev->init_name ? dev->init_name : "device";
}
#define dev_printk(level, dev, fmt, ...) printk(level "%s: " fmt, dev_name(dev), ##__VA_ARGS__)
#define dev_err(dev, fmt, ...) dev_printk(KERN_ERR, dev, fmt, ##__VA_ARGS__)
#define dev_warn(dev, fmt, ...) dev_printk(KERN_WARNING, dev, fmt, ##__VA_ARGS__)
#define dev_info(dev, fmt, ...) dev_printk(KERN_INFO, dev, fmt, ##__VA_ARGS__)
#define dev_dbg(dev, fmt, ...) dev_printk(KERN_DEBUG, dev, fmt, ##__VA_ARGS__)
#endif
