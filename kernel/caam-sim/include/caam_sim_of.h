/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Where a kernel has no device tree (an x86 test machine), the CAAM stand-in
 * answers the two device-tree lookups that find the CAAM: a node for its
 * compatible strings, and the controller's platform device for that node.
 */
#ifndef CAAM_SIM_OF_H
#define CAAM_SIM_OF_H

#include <linux/of.h>
#include <linux/platform_device.h>

struct device_node *caam_sim_find_compatible_node(struct device_node *from,
						  const char *type,
						  const char *compatible);
struct platform_device *caam_sim_find_device_by_node(struct device_node *np);

#endif
