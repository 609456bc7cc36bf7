/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The CAAM stand-in's own settings and its test hook. Device drivers use the
 * CAAM through jr.h, sm.h and error.h only; this header is for the builds
 * that bring the stand-in up (kernel module, host library) and for tests.
 */
#ifndef CAAM_SIM_H
#define CAAM_SIM_H

#include <linux/device.h>
#include <linux/types.h>

#define CAAM_SIM_MAX_RINGS	4
#define CAAM_SIM_MAX_UNITS	4
#define CAAM_SIM_MASTER_KEY_LEN	32

struct caam_sim_params {
	u32 units;		/* secure-memory units (key store pages) */
	int rings;		/* job rings that caam_jr_alloc can hand out */
	/* Leave a device's driver data unset, as a half-initialised driver
	 * would. */
	bool no_ctrl_drvdata;
	bool no_sm_drvdata;
	bool no_jr_drvdata;
	/* Device master key: blobs made under one key open only under it. */
	u8 master_key[CAAM_SIM_MASTER_KEY_LEN];
};

/* Brings the stand-in up on devices that its build made: the controller
 * (driver data: struct caam_drv_private), the secure-memory device and
 * params->rings job ring devices. */
int caam_sim_attach(const struct caam_sim_params *params, struct device *ctrl,
		    struct device *smdev, struct device *const *jrdevs);
void caam_sim_detach(void);

/* Test hook: the plain key inside a blob made by sm_keystore_slot_export
 * (keylen + BLOB_OVERHEAD bytes) under the given key modifier. 0 or -EIO.
 * Device drivers never see it; it exists so tests can check ciphertexts
 * against an independent AES implementation. */
int caam_sim_reveal_key(const u8 *blob, u16 keylen, const u8 *keymod, u8 *key);

#endif
