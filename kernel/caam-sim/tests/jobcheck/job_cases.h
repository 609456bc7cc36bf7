/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Hand-made AES-CBC jobs on one mapped buffer, one fault at a time, with the
 * status word the hardware gives each. The same cases run on the CAAM
 * stand-in's host build (unit suite) and its kernel build (jobcheck module).
 */
#ifndef CSIM_JOB_CASES_H
#define CSIM_JOB_CASES_H

#include <linux/dma-direction.h>
#include <linux/types.h>

#define CSIM_CASE_DATA_UNMAPPED	0x1	/* data unmapped before the job */
#define CSIM_CASE_RING_FREED	0x2	/* ring given back before the job */

struct csim_job_case {
	const char *name;
	u32 word;			/* descriptor word to change */
	u32 value;			/* its new value */
	enum dma_data_direction iv_dir;
	unsigned int flags;
	long status;			/* job status word, or the refusal */
};

extern const struct csim_job_case csim_job_cases[];
extern const unsigned int csim_job_case_count;

/* Runs one case on a ring of its own: the job's status word, or the
 * negative error of a refused job. */
long csim_run_job_case(const struct csim_job_case *c);

#endif
