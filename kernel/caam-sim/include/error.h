/* SPDX-License-Identifier: GPL-2.0 */
#ifndef CAAM_ERROR_H
#define CAAM_ERROR_H

#include <linux/device.h>
#include <linux/types.h>

/* Logs a job's status word in words, against the job ring's device. */
void caam_jr_strstatus(struct device *jrdev, u32 status);

#endif
