/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Differences between the board's kernel (4.1) and newer kernels that the
 * module is also built and tested on.
 */
#ifndef VCRYPTO_COMPAT_H
#define VCRYPTO_COMPAT_H

#include <linux/version.h>

#if LINUX_VERSION_CODE >= KERNEL_VERSION(5, 10, 0)
/*
 * No set_fs any more, and kernel reads need read_iter, which /dev/hwrng
 * lacks: random bytes come from the kernel's random pool instead.
 */
#define VCRYPTO_KERNEL_RNG 1
#include <linux/random.h>
#else
#include <asm/uaccess.h>
#endif

/*
 * A kernel without a device tree (an x86 test machine) finds the CAAM
 * stand-in through its own lookups. The host builds, on the kernel doubles,
 * model the board, which has a device tree.
 */
#if defined(__KERNEL__) && !defined(CONFIG_OF)
#include "caam_sim_of.h"
#undef of_find_compatible_node
#define of_find_compatible_node caam_sim_find_compatible_node
#undef of_find_device_by_node
#define of_find_device_by_node caam_sim_find_device_by_node
#endif

/* The free that wipes first: kzfree on 4.1, renamed in 5.9. */
#if LINUX_VERSION_CODE < KERNEL_VERSION(5, 9, 0)
#include <linux/slab.h>
#define kfree_sensitive(p) kzfree(p)
#endif

/* Newer job rings answer a queued job with -EINPROGRESS. */
#define vyrna_crypto_job_queued(ret) ((ret) == 0 || (ret) == -EINPROGRESS)

#endif /* VCRYPTO_COMPAT_H */
