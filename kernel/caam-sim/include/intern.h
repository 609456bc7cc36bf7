/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The CAAM controller's private record, as far as its clients use it: the
 * controller device and, second, the secure-memory (key store) device.
 */
#ifndef CAAM_INTERN_H
#define CAAM_INTERN_H

#include <linux/device.h>
#include <linux/platform_device.h>

struct caam_drv_private {
	struct device *dev;
	struct device *smdev;
	struct platform_device *pdev;
};

#endif
