/*
 * Encryption throughput of /dev/vcrypto: one descriptor per request, as the
 * service issues them, for a given data size and about the given time.
 *
 *   vcrypto_bench SIZE SECONDS [JOBS_FILE]
 *
 * Prints "size=<bytes> requests=<n> seconds=<s> MB/s=<data MB per second>"
 * and, with JOBS_FILE (a file holding the count of CAAM jobs run, read
 * before and after), "jobs/request=<j>". Never fails on a time.
 */
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include "vcrypto_ioctl.h"

static double now(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return ts.tv_sec + ts.tv_nsec / 1e9;
}

static long read_count(const char *path)
{
	FILE *f = path ? fopen(path, "r") : NULL;
	long n = -1;

	if (f) {
		if (fscanf(f, "%ld", &n) != 1)
			n = -1;
		fclose(f);
	}
	return n;
}

static int request(unsigned int cmd, void *buf)
{
	int fd = open("/dev/vcrypto", O_RDWR), ret;

	if (fd < 0) {
		perror("open /dev/vcrypto");
		exit(1);
	}
	ret = ioctl(fd, cmd, buf);
	close(fd);
	if (ret < 0) {
		perror("ioctl");
		exit(1);
	}
	return ret;
}

int main(int argc, char **argv)
{
	unsigned long size = argc > 2 ? strtoul(argv[1], NULL, 0) : 0;
	double seconds = argc > 2 ? atof(argv[2]) : 0, start, elapsed;
	const char *jobs_file = argc > 3 ? argv[3] : NULL;
	unsigned char record[VCRYPTO_KEY_RECORD_LEN];
	unsigned char *buf;
	long jobs_before, jobs_after, n = 0;

	if (!size || size % 16 || size > VCRYPTO_MAX_DATA || seconds <= 0) {
		fprintf(stderr, "usage: vcrypto_bench SIZE SECONDS [JOBS_FILE]\n");
		return 2;
	}
	buf = calloc(1, size + VCRYPTO_HEADER_LEN);
	request(VCRYPTO_CMD_KEYGEN, record);
	jobs_before = read_count(jobs_file);
	start = now();
	do {
		memset(buf, 0, VCRYPTO_IV_LEN);
		memcpy(buf + VCRYPTO_IV_LEN, record, sizeof(record));
		request(VCRYPTO_CMD(VCRYPTO_NR_ENCRYPT, (size + VCRYPTO_HEADER_LEN) / 16), buf);
		n++;
		elapsed = now() - start;
	} while (elapsed < seconds || n < 3);
	jobs_after = read_count(jobs_file);
	printf("size=%lu requests=%ld seconds=%.2f MB/s=%.2f\n", size, n, elapsed,
	       size * (double)n / elapsed / 1e6);
	if (jobs_before >= 0 && jobs_after >= 0)
		printf("jobs/request=%.2f\n", (double)(jobs_after - jobs_before) / n);
	free(buf);
	return 0;
}
