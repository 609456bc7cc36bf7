#ifndef KTEST_LINUX_PLATFORM_DEVICE_H
#define KTEST_LINUX_PLATFORM_DEVICE_H
#include <linux/device.h>
#include <linux/kernel.h>
struct platform_device {
	const char *name;
	int id;
	struct device dev;
};
#define to_platform_device(x) container_of((x), struct platform_device, dev)
static inline void *platform_get_drvdata(const struct platform_device *pdev)
{
	return dev_get_drvdata(&pdev->dev);
}
static inline void platform_set_drvdata(struct platform_device *pdev, void *data)
{
	dev_set_drvdata(&pdev->dev, data);
}
#endif
