/* SPDX-License-Identifier: GPL-2.0 */
/*
 * What the stand-in's core needs from the build it runs in: AES, random
 * bytes, memory, the device's view of bus addresses, deferred job
 * execution and (host only) fault injection. caam_sim_kmod.c implements it
 * with the kernel crypto API, caam_sim_host.c with OpenSSL and the kernel
 * doubles.
 */
#ifndef CAAM_SIM_PLAT_H
#define CAAM_SIM_PLAT_H

#include <linux/device.h>
#include <linux/types.h>

struct caam_sim_job {
	struct device *jrdev;
	u32 *desc;
	dma_addr_t desc_dma;
	size_t desc_bytes;
	void (*cbk)(struct device *dev, u32 *desc, u32 status, void *areq);
	void *areq;
	struct caam_sim_job *next;	/* host job queue */
};

/* AES over len bytes (a multiple of 16); in and out may be equal. With an
 * iv CBC, else ECB. The buffers may live anywhere (stack included). */
int csim_aes(const u8 *key, unsigned int keylen, const u8 *iv, const u8 *in,
	     u8 *out, unsigned int len, bool encrypt);
void csim_random(u8 *buf, unsigned int len);
void *csim_alloc(size_t size);		/* zero-filled; may sleep */
void csim_free(void *ptr);
/* The memory behind a bus address as the device may access it, or NULL. */
void *csim_bus_to_virt(struct device *dev, u32 addr, size_t len, bool device_writes);
/* Runs caam_sim_run(job) later, in the ring's completion context. */
int csim_queue(struct caam_sim_job *job);
/* Non-zero when a test asked this named operation to fail. */
bool csim_fault(const char *point);

/* Core: executes a queued job and calls its callback. */
void caam_sim_run(struct caam_sim_job *job);

#endif
