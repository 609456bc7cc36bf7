/* The concurrent stress of the tarn module in the VM. */
#ifndef TARN_VM_STRESS_H
#define TARN_VM_STRESS_H

struct stress_result {
	long master_bytes;	/* sent by the line masters */
	long answer_bytes;	/* sent back by the module */
	long writes;		/* frames parked by the stations */
	long messages;		/* messages read by the stations */
	long hangups;
	int stuck;		/* station processes that did not end */
	int failed;		/* station processes that saw a wrong result */
};

/* Two ptys, one per discipline, for the given seconds: the masters flood
 * polls, selections and answers; station processes register, resume, write,
 * read, poll, flush and suspend; the ptys hang up and reopen meanwhile. */
void stress_run(int seconds, struct stress_result *r);

#endif
