/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The CAAM stand-in as a host library, on the kernel doubles: a controller
 * platform device behind a device-tree node, a secure-memory device and job
 * rings whose jobs run on a worker thread, as the hardware runs them beside
 * the CPU.
 */
#ifndef CAAM_SIM_HOST_H
#define CAAM_SIM_HOST_H

#include <linux/types.h>

#ifdef __cplusplus
extern "C" {
#endif

struct caam_sim_host_config {
	/* File holding the 32-byte device master key; created with a random
	 * key if missing. NULL: a random key for this run only. */
	const char *master_key_file;
	/* Compatible string of the controller's node; NULL: no node. */
	const char *compatible;
	bool no_device;		/* the node has no platform device */
	u32 units;
	int rings;
	bool no_ctrl_drvdata;
	bool no_sm_drvdata;
	bool no_jr_drvdata;
};

/* Two units, two rings, node "fsl,sec-v4.0", random master key. */
void caam_sim_host_defaults(struct caam_sim_host_config *cfg);
/* 0, or a negative errno (a message on stderr names a bad key file). */
int caam_sim_host_start(const struct caam_sim_host_config *cfg);
/* Waits for queued jobs, then takes the stand-in down. */
void caam_sim_host_stop(void);

/* Jobs queued since start or caam_sim_host_trace_reset: the
 * descriptor words as queued and, for a descriptor whose data pointer is an
 * S/G table, the table's entries as the device reads them. For tests. */
#define CAAM_SIM_TRACE_WORDS 16
#define CAAM_SIM_TRACE_ENTRIES 8
struct caam_sim_trace {
	u32 words[CAAM_SIM_TRACE_WORDS];
	u32 nwords;
	u32 entry_len[CAAM_SIM_TRACE_ENTRIES];	/* as written, with the final mark */
	u32 nentries;
};
size_t caam_sim_host_trace(struct caam_sim_trace *out, size_t max);
/* Jobs run since start (benchmarks report jobs per request). */
unsigned long caam_sim_host_jobs(void);
void caam_sim_host_trace_reset(void);

#ifdef __cplusplus
}
#endif

#endif
