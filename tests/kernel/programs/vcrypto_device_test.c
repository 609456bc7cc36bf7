/*
 * /dev/vcrypto in a real kernel: the module on the CAAM stand-in, used
 * through the ioctl from user space, with results checked against OpenSSL.
 * The plain key of a record comes from the stand-in's test hook
 * (/dev/caam-sim-reveal, caam-sim loaded with reveal=1).
 *
 * Prints "ok - <case>" or "not ok - <case>: <why>" per case; exits 1 when a
 * case failed.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

/* The low-level AES interface: a static program without OpenSSL's
 * provider machinery (which would pull in dlopen and sockets). */
#define OPENSSL_API_COMPAT 0x10100000L
#include <openssl/aes.h>
#include <sys/random.h>

#include "vcrypto_ioctl.h"

#define DEVICE "/dev/vcrypto"
#define MAX_REQUEST (VCRYPTO_HEADER_LEN + VCRYPTO_MAX_DATA)

/* An address in the kernel's part of the address space: the direct map on
 * x86-64, the start of low memory (3G/1G split) on 32-bit ARM. */
#if UINTPTR_MAX > 0xffffffffu
#define KERNEL_ADDRESS ((void *)0xffff888000000000UL)
#else
#define KERNEL_ADDRESS ((void *)0xc0000000UL)
#endif

/* The module's key modifier, pinned: records are bound to it. */
static const uint8_t keymod[16] = {
	0x76, 0x79, 0x72, 0x6e, 0x61, 0x2d, 0x6b, 0x65,
	0x79, 0x2d, 0x6d, 0x6f, 0x64, 0x2d, 0x30, 0x31,
};

static int failures;

static void report(int ok, const char *name, const char *fmt, ...)
{
	va_list ap;

	if (ok) {
		printf("ok - %s\n", name);
		return;
	}
	failures++;
	printf("not ok - %s: ", name);
	va_start(ap, fmt);
	vprintf(fmt, ap);
	va_end(ap);
	printf("\n");
}

/* ioctl on a fresh descriptor, as the service issues commands; 0 or errno. */
static int command(unsigned int cmd, void *buf)
{
	int fd = open(DEVICE, O_RDWR), ret = 0;

	if (fd < 0)
		return -1000 - errno;
	if (ioctl(fd, cmd, buf) < 0)
		ret = errno;
	close(fd);
	return ret;
}

static void openssl_cbc(const uint8_t *key, const uint8_t *iv, const uint8_t *in, uint8_t *out,
			size_t n, int enc)
{
	uint8_t ivec[16];
	AES_KEY k;

	memcpy(ivec, iv, sizeof(ivec));
	if (enc)
		AES_set_encrypt_key(key, 256, &k);
	else
		AES_set_decrypt_key(key, 256, &k);
	AES_cbc_encrypt(in, out, n, &k, ivec, enc ? AES_ENCRYPT : AES_DECRYPT);
}

static void random_fill(uint8_t *buf, size_t n)
{
	size_t got = 0;
	ssize_t r;

	while (got < n) {
		r = getrandom(buf + got, n - got, 0);
		if (r > 0)
			got += (size_t)r;
	}
}

static int reveal(const uint8_t *record, uint8_t *key)
{
	uint8_t in[16 + 80];
	int fd = open("/dev/caam-sim-reveal", O_RDWR), ok;

	if (fd < 0)
		return -1;
	memcpy(in, keymod, 16);
	memcpy(in + 16, record, 80);
	ok = write(fd, in, sizeof(in)) == (ssize_t)sizeof(in) && read(fd, key, 32) == 32;
	close(fd);
	return ok ? 0 : -1;
}

/* Runs one cipher command over data in a request buffer; 0 or errno. */
static int cipher(int fd, int enc, const uint8_t *record, const uint8_t *iv, const uint8_t *data,
		  size_t n, uint8_t *request)
{
	memcpy(request, iv, 16);
	memcpy(request + 16, record, 128);
	memcpy(request + VCRYPTO_HEADER_LEN, data, n);
	if (ioctl(fd, VCRYPTO_CMD(enc, (n + VCRYPTO_HEADER_LEN) / 16), request) < 0)
		return errno;
	return 0;
}

static void test_device_node(void)
{
	struct stat st;

	report(stat(DEVICE, &st) == 0 && S_ISCHR(st.st_mode) && major(st.st_rdev) == 10,
	       "registered as a misc character device", "stat: %s", strerror(errno));
}

static void test_cipher(const uint8_t *record, const uint8_t *key)
{
	static const size_t lengths[] = { 16, 4048, 4064, 16336, 16352, 48000, 261984 };
	uint8_t *data = malloc(MAX_REQUEST), *expected = malloc(MAX_REQUEST);
	uint8_t *request = malloc(MAX_REQUEST), *back = malloc(MAX_REQUEST);
	uint8_t iv[16];
	char name[64];
	size_t i, n;
	int fd = open(DEVICE, O_RDWR), err;

	for (i = 0; i < sizeof(lengths) / sizeof(lengths[0]); i++) {
		n = lengths[i];
		snprintf(name, sizeof(name), "AES-256-CBC over %zu bytes equals OpenSSL", n);
		random_fill(data, n);
		random_fill(iv, 16);
		openssl_cbc(key, iv, data, expected, n, 1);
		err = cipher(fd, 1, record, iv, data, n, request);
		report(!err && !memcmp(request, expected, n), name, "errno %d", err);
		if (n >= VCRYPTO_HEADER_LEN)
			report(!memcmp(request + n, data + n - VCRYPTO_HEADER_LEN, VCRYPTO_HEADER_LEN),
			       "request tail keeps its bytes", "%zu", n);
		snprintf(name, sizeof(name), "decryption of %zu bytes gives the input back", n);
		err = cipher(fd, 0, record, iv, expected, n, back);
		report(!err && !memcmp(back, data, n), name, "errno %d", err);
	}
	close(fd);
	free(data);
	free(expected);
	free(request);
	free(back);
}

static void test_random(void)
{
	static uint8_t buf[16384 + 16];
	unsigned int cmd;
	int err;

	memset(buf, 0, sizeof(buf));
	err = command(VCRYPTO_CMD(VCRYPTO_NR_RANDOM, 16383), buf);
	report(!err && buf[16383] == 0 && memcmp(buf + 16000, buf + 16200, 64),
	       "16383 random bytes and not one more", "errno %d", err);
	for (cmd = 0x00204F03u; cmd; cmd = cmd == 0x00204F03u ? 0x80204F03u : 0) {
		memset(buf, 0, 64);
		err = command(cmd, buf);
		report(!err && memcmp(buf, buf + 32, 32) && !buf[32] && !buf[63],
		       cmd >> 31 ? "direction bits ignored" : "32 random bytes", "errno %d", err);
	}
	report(command(VCRYPTO_CMD(VCRYPTO_NR_RANDOM, 10000), buf) == 0,
	       "10000 random bytes", "");
}

static void test_decoding(const uint8_t *record)
{
	static const struct {
		const char *name;
		unsigned int cmd;
		int err;
	} cases[] = {
		{ "type 0x4E refused", 0x00204E03, EINVAL },
		{ "type 0x50 refused", 0x00205003, EINVAL },
		{ "number 4 does nothing", 0x00204F04, 0 },
		{ "number 255 does nothing", 0x3FFF4FFF, 0 },
		{ "cipher without data refused", 0x00094F01, EINVAL },
		{ "key record of 64 refused", 0x00404F02, EINVAL },
		{ "random of 0 refused", 0x00004F03, EINVAL },
	};
	uint8_t buf[256];
	size_t i;
	int err;

	for (i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
		memset(buf, 0x5a, sizeof(buf));
		err = command(cases[i].cmd, buf);
		report(err == cases[i].err && buf[0] == 0x5a && buf[255] == 0x5a, cases[i].name,
		       "errno %d", err);
	}
	report(command(0x00204F03, NULL) == EINVAL, "null buffer refused", "");
	report(command(0x00204E03, (void *)-4095L) == EINVAL, "error pointer refused", "");

	memcpy(buf, (uint8_t[16]){ 0 }, 16);
	memcpy(buf + 16, record, 128);
	buf[16 + 40] ^= 1;
	err = command(VCRYPTO_CMD(VCRYPTO_NR_ENCRYPT, 11), buf);
	report(err == EIO, "altered key record fails import", "errno %d", err);
}

static void test_bad_buffers(const uint8_t *record)
{
	long page = sysconf(_SC_PAGESIZE);
	uint8_t *area = mmap(NULL, 3 * page, PROT_READ | PROT_WRITE,
			     MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	uint8_t *last = area + page, *gone = area + 2 * page;
	int err;

	munmap(gone, page);
	memset(area, 0, 16);
	memcpy(area + 16, record, 128);
	memcpy(last, area, VCRYPTO_HEADER_LEN);
	mprotect(area, page, PROT_READ);

	err = command(VCRYPTO_CMD_KEYGEN, area);
	report(err == EFAULT, "key record into read-only memory", "errno %d", err);
	err = command(VCRYPTO_CMD(VCRYPTO_NR_ENCRYPT, 11), area);
	report(err == EFAULT, "result into read-only memory", "errno %d", err);
	err = command(VCRYPTO_CMD(VCRYPTO_NR_RANDOM, 64), gone);
	report(err == EFAULT, "random into unmapped memory", "errno %d", err);
	err = command(VCRYPTO_CMD(VCRYPTO_NR_DECRYPT, 20), gone);
	report(err == EFAULT, "cipher of unmapped memory", "errno %d", err);
	err = command(VCRYPTO_CMD(VCRYPTO_NR_ENCRYPT, (16336 + 144) / 16), last);
	report(err == EFAULT, "cipher request cut short", "errno %d", err);
	err = command(VCRYPTO_CMD(VCRYPTO_NR_RANDOM, 16383), last);
	report(err == EFAULT, "random running off its mapping", "errno %d", err);
	err = command(VCRYPTO_CMD(VCRYPTO_NR_RANDOM, 64), KERNEL_ADDRESS);
	report(err == EFAULT, "kernel address refused", "errno %d", err);
	munmap(area, 2 * page);
}

struct worker {
	int fd;
	uint8_t record[128], key[32];
	int ok;
};

static void *worker_main(void *arg)
{
	struct worker *w = arg;
	uint8_t *data = malloc(20000), *expected = malloc(20000);
	uint8_t *request = malloc(20000 + VCRYPTO_HEADER_LEN), iv[16];
	int i;

	w->ok = 1;
	for (i = 0; i < 8; i++) {
		random_fill(data, 20000);
		random_fill(iv, 16);
		openssl_cbc(w->key, iv, data, expected, 20000, 1);
		if (cipher(w->fd, 1, w->record, iv, data, 20000, request) ||
		    memcmp(request, expected, 20000))
			w->ok = 0;
	}
	free(data);
	free(expected);
	free(request);
	return NULL;
}

/* Commands on one descriptor are serialised: neither corrupts the other. */
static void test_shared_descriptor(void)
{
	struct worker w[2];
	pthread_t t[2];
	int fd = open(DEVICE, O_RDWR), i;

	for (i = 0; i < 2; i++) {
		w[i].fd = fd;
		if (ioctl(fd, VCRYPTO_CMD_KEYGEN, w[i].record) || reveal(w[i].record, w[i].key))
			w[i].ok = 0;
		pthread_create(&t[i], NULL, worker_main, &w[i]);
	}
	for (i = 0; i < 2; i++)
		pthread_join(t[i], NULL);
	close(fd);
	report(w[0].ok && w[1].ok, "two threads on one descriptor", "a result was corrupted");
}

int main(void)
{
	uint8_t record[128], key[32];
	int err;

	setvbuf(stdout, NULL, _IOLBF, 0);
	test_device_node();
	memset(record, 0xff, sizeof(record));
	err = command(VCRYPTO_CMD_KEYGEN, record);
	report(!err, "key generation", "errno %d", err);
	report(!memcmp(record + 80, (uint8_t[48]){ 0 }, 48), "key record bytes 80-127 are zero", "");
	report(!reveal(record, key), "key record opens under the module's key modifier", "");
	test_cipher(record, key);
	test_random();
	test_decoding(record);
	test_bad_buffers(record);
	test_shared_descriptor();
	printf("%d failed\n", failures);
	return failures ? 1 : 0;
}
