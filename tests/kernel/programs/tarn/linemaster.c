/* Pty, line master and station helpers for the tests in the VM. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "linemaster.h"
#include "linemaster_remote.h"
#include "tarn_ioctl.h"

int case_failed;

size_t unhex(const char *hex, uint8_t *out, size_t size)
{
	size_t n = 0;
	char *end;

	while (*hex && n < size) {
		unsigned long v = strtoul(hex, &end, 16);

		if (end == hex)
			break;
		out[n++] = (uint8_t)v;
		hex = end;
	}
	return n;
}

const char *hexstr(const uint8_t *in, size_t n, char *out, size_t size)
{
	size_t i, at = 0;

	out[0] = '\0';
	for (i = 0; i < n && at + 4 < size; i++)
		at += snprintf(out + at, size - at, i ? " %02X" : "%02X", in[i]);
	return out;
}

uint64_t now_us(void)
{
	struct timespec ts;

	clock_gettime(CLOCK_MONOTONIC, &ts);
	return (uint64_t)ts.tv_sec * 1000000u + (uint64_t)ts.tv_nsec / 1000u;
}

void sleep_ms(int ms)
{
	struct timespec ts = { ms / 1000, (long)(ms % 1000) * 1000000L };

	while (nanosleep(&ts, &ts) && errno == EINTR)
		;
}

int pty_mount(void)
{
	if (access("/dev/pts/ptmx", F_OK) == 0)
		return 0;
	mkdir("/dev/pts", 0755);
	if (mount("devpts", "/dev/pts", "devpts", 0, "ptmxmode=0666,mode=0620")) {
		printf("# mount devpts: %s\n", strerror(errno));
		return -1;
	}
	return 0;
}

int pty_open_slave(const struct pty *p, int flags)
{
	return open(p->path, O_RDWR | O_NOCTTY | flags);
}

int pty_open(struct pty *p, int disc)
{
	int uart;

	memset(p, 0, sizeof(*p));
	p->slave = -1;
	p->disc = disc;
	uart = line_uart_open(p);
	if (uart < 0) {
		pty_close(p);
		return uart;
	}
	if (uart) {
		p->master = posix_openpt(O_RDWR | O_NOCTTY);
		if (p->master < 0)
			return -errno;
		if (grantpt(p->master) || unlockpt(p->master) ||
		    ptsname_r(p->master, p->path, sizeof(p->path)))
			goto fail;
		p->slave = pty_open_slave(p, 0);
		if (p->slave < 0)
			goto fail;
	}
	if (ioctl(p->slave, TIOCSETD, &disc))
		goto fail;
	return 0;
fail:
	disc = -errno;
	pty_close(p);
	return disc;
}

void pty_close(struct pty *p)
{
	if (p->slave >= 0)
		close(p->slave);
	/* The channel to a remote line master serves every line. */
	if (p->master >= 0 && !p->remote)
		close(p->master);
	p->slave = p->master = -1;
}

int lm_send_bytes(const struct pty *p, const uint8_t *b, size_t n)
{
	if (p->remote)
		return lm_remote_send(p, b, n);
	while (n) {
		ssize_t w = write(p->master, b, n);

		if (w < 0) {
			if (errno == EINTR)
				continue;
			return -errno;
		}
		b += w;
		n -= (size_t)w;
	}
	return 0;
}

int lm_send(const struct pty *p, const char *hex)
{
	uint8_t b[1024];

	return lm_send_bytes(p, b, unhex(hex, b, sizeof(b)));
}

size_t lm_collect(const struct pty *p, uint8_t *buf, size_t size, int ms)
{
	uint64_t end = now_us() + (uint64_t)ms * 1000u;
	size_t got = 0;

	if (p->remote)
		return lm_remote_collect(p, buf, size, ms);
	while (got < size) {
		struct pollfd pfd = { p->master, POLLIN, 0 };
		int64_t left = (int64_t)(end - now_us());
		ssize_t r;

		if (left <= 0 || poll(&pfd, 1, (int)((left + 999) / 1000)) <= 0)
			break;
		r = read(p->master, buf + got, size - got);
		if (r <= 0)
			break;
		got += (size_t)r;
	}
	return got;
}

int64_t lm_exchange_bytes(const struct pty *p, const uint8_t *b, size_t n, size_t answer,
			  int ms)
{
	uint8_t got[1024];
	uint64_t t0;

	if (p->remote)
		return lm_remote_exchange(p, b, n, answer, ms);
	if (answer > sizeof(got))
		return -1;
	t0 = now_us();
	if (lm_send_bytes(p, b, n) || lm_collect(p, got, answer, ms) != answer)
		return -1;
	return (int64_t)(now_us() - t0);
}

int64_t lm_exchange(const struct pty *p, const char *hex, size_t answer, int ms)
{
	uint8_t b[1024];

	return lm_exchange_bytes(p, b, unhex(hex, b, sizeof(b)), answer, ms);
}

int lm_expect(const struct pty *p, const char *hex, int timeout_ms, int quiet_ms)
{
	uint8_t want[1024], got[1100];
	size_t n = unhex(hex, want, sizeof(want)), have;
	char a[3400], b[3400];

	have = n ? lm_collect(p, got, n, timeout_ms) : 0;
	have += lm_collect(p, got + have, sizeof(got) - have, quiet_ms);
	if (have == n && !memcmp(want, got, n))
		return 0;
	printf("# line: wanted [%s] got [%s]\n", hexstr(want, n, a, sizeof(a)),
	       hexstr(got, have, b, sizeof(b)));
	return -1;
}

int st_cmd(int fd, unsigned int cmd, int id)
{
	uint8_t b = (uint8_t)id;

	return ioctl(fd, cmd, &b) ? -errno : 0;
}

int st_resume(int fd, int id)
{
	int r = st_cmd(fd, TARN_REGISTER, id);

	if (r && r != -EBUSY)
		return r;
	return st_cmd(fd, TARN_RESUME, id);
}

int st_read(int fd, uint8_t *buf, size_t size, int timeout_ms)
{
	struct pollfd pfd = { fd, POLLIN, 0 };
	ssize_t r;
	int n = poll(&pfd, 1, timeout_ms);

	if (n < 0)
		return -errno;
	if (n == 0)
		return -ETIMEDOUT;
	if (!(pfd.revents & POLLIN))
		return -EIO;
	r = read(fd, buf, size);
	return r < 0 ? -errno : (int)r;
}

int st_expect(int fd, const char *hex, int timeout_ms)
{
	uint8_t want[512], got[512];
	size_t n = unhex(hex, want, sizeof(want));
	int r = st_read(fd, got, sizeof(got), timeout_ms);
	char a[1600], b[1600];

	if (r == (int)n && !memcmp(want, got, n))
		return 0;
	if (r < 0)
		printf("# message: wanted [%s] got error %d\n", hexstr(want, n, a, sizeof(a)), r);
	else
		printf("# message: wanted [%s] got [%s]\n", hexstr(want, n, a, sizeof(a)),
		       hexstr(got, (size_t)r, b, sizeof(b)));
	return -1;
}

int st_none(int fd, int ms)
{
	uint8_t got[512];
	char b[1600];
	int r = st_read(fd, got, sizeof(got), ms);

	if (r == -ETIMEDOUT)
		return 0;
	if (r >= 0)
		printf("# message: wanted none got [%s]\n", hexstr(got, (size_t)r, b, sizeof(b)));
	return -1;
}

long st_write(int fd, const char *hex)
{
	uint8_t b[1024];
	ssize_t r = write(fd, b, unhex(hex, b, sizeof(b)));

	return r < 0 ? -errno : r;
}

int st_inq(int fd)
{
	int n;

	return ioctl(fd, FIONREAD, &n) ? -errno : n;
}

int st_outq(int fd)
{
	int n;

	return ioctl(fd, TIOCOUTQ, &n) ? -errno : n;
}
