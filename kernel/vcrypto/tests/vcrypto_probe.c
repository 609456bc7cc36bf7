/*
 * A plain client of /dev/vcrypto for black-box tests: one command per run,
 * through the ordinary open/ioctl/close of the C library.
 *
 *   vcrypto_probe keygen                 key record (128 bytes) to stdout
 *   vcrypto_probe encrypt|decrypt RECORD data from stdin (zero IV) to stdout;
 *                                        RECORD is a file with a key record
 *   vcrypto_probe random N               N random bytes to stdout
 *   vcrypto_probe raw CMD                ioctl with command word CMD (hex) on a
 *                                        zeroed 4096-byte buffer
 * Exit 0 on success; 1 with "open: ..." or "ioctl: ..." on stderr.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "vcrypto_ioctl.h"

static int command(unsigned long cmd, void *buf)
{
	int fd = open("/dev/vcrypto", O_RDWR);

	if (fd < 0) {
		fprintf(stderr, "open: %s\n", strerror(errno));
		return 1;
	}
	if (ioctl(fd, cmd, buf) < 0) {
		fprintf(stderr, "ioctl: %s\n", strerror(errno));
		close(fd);
		return 1;
	}
	close(fd);
	return 0;
}

static size_t read_all(FILE *f, unsigned char *buf, size_t max)
{
	size_t n = 0, got;

	while (n < max && (got = fread(buf + n, 1, max - n, f)) > 0)
		n += got;
	return n;
}

static int cipher(int encrypt, const char *record_file)
{
	size_t total = VCRYPTO_HEADER_LEN + VCRYPTO_MAX_DATA, n;
	unsigned char *buf = calloc(1, total);
	FILE *f = fopen(record_file, "rb");
	int ret = 1;

	if (!buf || !f || read_all(f, buf + VCRYPTO_IV_LEN, VCRYPTO_KEY_RECORD_LEN) !=
			      VCRYPTO_KEY_RECORD_LEN) {
		fprintf(stderr, "%s: no key record\n", record_file);
		goto out;
	}
	n = read_all(stdin, buf + VCRYPTO_HEADER_LEN, VCRYPTO_MAX_DATA);
	ret = command(VCRYPTO_CMD(encrypt, (n + VCRYPTO_HEADER_LEN) / VCRYPTO_BLOCK_LEN), buf);
	if (!ret)
		fwrite(buf, 1, n, stdout);
out:
	if (f)
		fclose(f);
	free(buf);
	return ret;
}

int main(int argc, char **argv)
{
	unsigned char buf[16384] = { 0 };
	unsigned long n;

	if (argc == 2 && !strcmp(argv[1], "keygen")) {
		if (command(VCRYPTO_CMD_KEYGEN, buf))
			return 1;
		fwrite(buf, 1, VCRYPTO_KEY_RECORD_LEN, stdout);
		return 0;
	}
	if (argc == 3 && (!strcmp(argv[1], "encrypt") || !strcmp(argv[1], "decrypt")))
		return cipher(!strcmp(argv[1], "encrypt"), argv[2]);
	if (argc == 3 && !strcmp(argv[1], "random")) {
		n = strtoul(argv[2], NULL, 0);
		if (n >= sizeof(buf) || command(VCRYPTO_CMD(VCRYPTO_NR_RANDOM, n), buf))
			return 1;
		fwrite(buf, 1, n, stdout);
		return 0;
	}
	if (argc == 3 && !strcmp(argv[1], "raw"))
		return command(strtoul(argv[2], NULL, 16), buf);
	fprintf(stderr, "usage: vcrypto_probe keygen|encrypt REC|decrypt REC|random N|raw CMD\n");
	return 2;
}
