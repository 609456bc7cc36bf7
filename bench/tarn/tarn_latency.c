/*
 * Poll-to-answer latency of the tarn module, run in the VM: the time from
 * the line master's last byte to the station's whole answer on the master
 * side, for a poll answered with EOT, a selection answered with ACK, and a
 * poll answered with a pending frame. Prints figures.
 *
 *   tarn_latency [--uart LINE CONTROL] [polls]      default 2000
 *
 * The line is a pty, or with --uart the UART LINE whose line master is on
 * the host (reached through the UART CONTROL), which takes the times.
 */
#define _GNU_SOURCE
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "linemaster.h"
#include "linemaster_remote.h"
#include "tarn_ioctl.h"

static int cmp_u64(const void *a, const void *b)
{
	uint64_t x = *(const uint64_t *)a, y = *(const uint64_t *)b;

	return x < y ? -1 : x > y;
}

static void report(const char *what, uint64_t *us, int n)
{
	qsort(us, (size_t)n, sizeof(*us), cmp_u64);
	printf("%-34s median %6llu us  p99 %6llu us  max %6llu us  (n=%d)\n", what,
	       (unsigned long long)us[n / 2], (unsigned long long)us[(n * 99) / 100],
	       (unsigned long long)us[n - 1], n);
}

/* Sends, then waits for `answer` bytes; the station's messages are drained
 * first so that the pool never runs dry. */
static int timed(struct pty *p, int nb, const char *send, size_t answer, uint64_t *us)
{
	uint8_t buf[64];
	int64_t took;

	while (read(nb, buf, sizeof(buf)) > 0)
		;
	took = lm_exchange(p, send, answer, 5000);
	if (took < 0)
		return -1;
	*us = (uint64_t)took;
	return 0;
}

int main(int argc, char **argv)
{
	const char *line = "a pty";
	int polls, i, nb;
	uint64_t *eot, *ack, *frame;
	struct pty p;

	if (argc > 3 && !strcmp(argv[1], "--uart")) {
		if (line_use_uart(argv[2], argv[3]))
			return 1;
		line = argv[2];
		argv += 3;
		argc -= 3;
	}
	polls = argc > 1 ? atoi(argv[1]) : 2000;
	eot = calloc((size_t)polls, sizeof(*eot));
	ack = calloc((size_t)polls, sizeof(*ack));
	frame = calloc((size_t)polls, sizeof(*frame));
	if (polls <= 0 || !eot || !ack || !frame || pty_mount() ||
	    pty_open(&p, TARN_LDISC_GENERIC) || st_resume(p.slave, 5))
		return 1;
	nb = pty_open_slave(&p, O_NONBLOCK);
	for (i = 0; i < polls; i++) {
		if (timed(&p, nb, "04 45", 1, &eot[i]) ||
		    timed(&p, nb, "04 65 02 41 03 42", 1, &ack[i]) ||
		    st_write(nb, "05 41") != 2 ||
		    timed(&p, nb, "04 45", 4, &frame[i])) {
			printf("latency run failed at %d\n", i);
			return 1;
		}
		lm_send(&p, "06");
	}
	printf("tarn over %s, generic discipline, one station\n", line);
	report("poll -> EOT", eot, polls);
	report("select -> ACK", ack, polls);
	report("poll -> pending frame (4 bytes)", frame, polls);
	close(nb);
	pty_close(&p);
	return 0;
}
