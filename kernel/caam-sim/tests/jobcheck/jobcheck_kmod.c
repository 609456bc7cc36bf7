// SPDX-License-Identifier: GPL-2.0
/*
 * Runs the job cases on the CAAM stand-in's kernel build as it loads, one
 * kernel log line per case: "ok N - name", or "not ok N - name: got,
 * expected". Loading succeeds either way; the log is the result.
 */
#include <linux/module.h>

#include "job_cases.h"

static int __init jobcheck_init(void)
{
	unsigned int i;
	long got;

	for (i = 0; i < csim_job_case_count; i++) {
		const struct csim_job_case *c = &csim_job_cases[i];

		got = csim_run_job_case(c);
		if (got == c->status)
			pr_info("caam-sim-jobcheck: ok %u - %s\n", i + 1, c->name);
		else
			pr_err("caam-sim-jobcheck: not ok %u - %s: %#lx, expected %#lx\n", i + 1,
			       c->name, got, c->status);
	}
	return 0;
}

static void __exit jobcheck_exit(void)
{
}

module_init(jobcheck_init);
module_exit(jobcheck_exit);

MODULE_LICENSE("GPL");
MODULE_DESCRIPTION("Job cases on the CAAM stand-in (tests only)");
