// SPDX-License-Identifier: GPL-2.0
/*
 * CAAM stand-in: job rings that execute AES-CBC job descriptors, and a
 * secure-memory key store with covered (black) keys and blobs.
 *
 * Written from what a CAAM client relies on: the driver's function names,
 * arguments and results, the descriptor commands of a class 1 AES-CBC job
 * (key, context load, FIFO load with or without an S/G table, operation,
 * FIFO store, context store) and blobs of key length + 48 bytes. The device
 * reads descriptors, tables and data through their bus addresses, so a
 * buffer that is not mapped, or mapped for the wrong direction, fails the job
 * as it would fail on the board.
 *
 * Keys: a per-boot key covers black keys (AES-ECB); blobs are wrapped under a
 * key derived from the device master key and the first 8 bytes of the key
 * modifier (secure-memory blobs bind 8 bytes), with a random blob key, CTR
 * encryption and a CBC-MAC. This is a test stand-in: its master key is a file
 * or a random value, not a fused device secret.
 *
 * This unit holds the stand-in's state and attaches and detaches it; its
 * parts are the job rings (caam_sim_jr.c), descriptor execution
 * (caam_sim_desc.c), the key store (caam_sim_sm.c) and blobs
 * (caam_sim_blob.c).
 */
#include "caam_sim_core.h"

struct caam_sim *csim;

int caam_sim_attach(const struct caam_sim_params *params, struct device *ctrl,
		    struct device *smdev, struct device *const *jrdevs)
{
	struct caam_sim *sim;
	int i;

	if (params->rings < 0 || params->rings > CAAM_SIM_MAX_RINGS ||
	    params->units > CAAM_SIM_MAX_UNITS)
		return -EINVAL;
	sim = csim_alloc(sizeof(*sim));
	if (!sim)
		return -ENOMEM;
	spin_lock_init(&sim->ring_lock);
	mutex_init(&sim->sm_lock);
	sim->priv.dev = ctrl;
	sim->priv.smdev = smdev;
	sim->units = params->units;
	sim->rings = params->rings;
	for (i = 0; i < params->rings; i++) {
		sim->ring[i].dev = jrdevs[i];
		if (!params->no_jr_drvdata)
			dev_set_drvdata(jrdevs[i], &sim->ring[i]);
	}
	if (!params->no_ctrl_drvdata)
		dev_set_drvdata(ctrl, &sim->priv);
	if (!params->no_sm_drvdata)
		dev_set_drvdata(smdev, sim->unit);
	memcpy(sim->master_key, params->master_key, sizeof(sim->master_key));
	csim_random(sim->boot_key, sizeof(sim->boot_key));
	csim = sim;
	return 0;
}

void caam_sim_detach(void)
{
	struct caam_sim *sim = csim;
	int i;

	if (!sim)
		return;
	csim = NULL;
	dev_set_drvdata(sim->priv.dev, NULL);
	dev_set_drvdata(sim->priv.smdev, NULL);
	for (i = 0; i < sim->rings; i++)
		dev_set_drvdata(sim->ring[i].dev, NULL);
	mutex_destroy(&sim->sm_lock);
	memzero_explicit(sim, sizeof(*sim));
	csim_free(sim);
}
