/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Shared inside the CAAM stand-in: its state (job rings, key store units,
 * keys), the job status codes, and the calls between its parts: job rings
 * (caam_sim_jr.c), descriptor execution (caam_sim_desc.c), the secure-memory
 * key store (caam_sim_sm.c), blobs (caam_sim_blob.c) and bring-up
 * (caam_sim.c).
 */
#ifndef CAAM_SIM_CORE_H
#define CAAM_SIM_CORE_H

#include <linux/dma-mapping.h>
#include <linux/err.h>
#include <linux/kernel.h>
#include <linux/module.h>
#include <linux/mutex.h>
#include <linux/spinlock.h>
#include <linux/string.h>

#include "intern.h"
#include "jr.h"
#include "sm.h"
#include "error.h"
#include "desc.h"
#include "caam_sim.h"
#include "caam_sim_plat.h"

#define CSIM_SLOTS		64
#define CSIM_SLOT_SIZE		64
#define CSIM_KEYMOD_LEN		8
#define CSIM_DESC_MAX		64
#define CSIM_SG_MAX		64
#define CSIM_BLOCK		16

/* Job status words: a DECO error (source 4) with the sim's error code. */
#define CSIM_STATUS(code)	(0x40000000u | (code))
enum csim_error {
	CSIM_ERR_CMD = 1,
	CSIM_ERR_DESC,
	CSIM_ERR_ADDR,
	CSIM_ERR_SIZE,
	CSIM_ERR_KEY,
	CSIM_ERR_SG,
	CSIM_ERR_SEQ,
	CSIM_ERR_NOMEM,
	CSIM_ERR_INJECTED,
};

struct csim_ring {
	struct device *dev;
	int users;
};

struct csim_unit {
	int established;		/* establish/release pairs open */
	u8 used[CSIM_SLOTS];
	u8 data[CSIM_SLOTS][CSIM_SLOT_SIZE];
};

struct caam_sim {
	struct caam_drv_private priv;
	spinlock_t ring_lock;
	struct csim_ring ring[CAAM_SIM_MAX_RINGS];
	int rings;
	struct mutex sm_lock;
	u32 units;
	struct csim_unit unit[CAAM_SIM_MAX_UNITS];
	u8 master_key[CAAM_SIM_MASTER_KEY_LEN];
	u8 boot_key[32];		/* covers black keys until detach */
};

/* The attached stand-in, or NULL. */
extern struct caam_sim *csim;

/* Descriptor execution: 0 or the csim_error of the job. */
int csim_execute(struct caam_sim_job *job);

/* The slot's storage, if the unit is established and the slot allocated;
 * caller holds sm_lock. */
u8 *csim_slot(struct device *dev, u32 unit, u32 slot);
/* Covers (or uncovers) a key with the per-boot key: AES-ECB in place. */
int csim_cover(u8 *data, u16 len, bool cover);

#endif
