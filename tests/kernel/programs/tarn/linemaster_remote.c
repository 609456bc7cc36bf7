/*
 * The line master across a control channel. Station processes in the VM
 * drive a UART whose far end is the line master on the host; they reach it
 * through a second, raw UART. One request line, one answer line:
 *
 *   send HEX                  ok RESULT          lm_send_bytes
 *   collect SIZE MS           got HEX            lm_collect
 *   exchange SIZE MS HEX      took MICROSECONDS  lm_exchange
 *
 * HEX is the bytes as pairs of hex digits. The host side (lm_serve) runs
 * the same functions on its end of the line.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

#include "linemaster.h"
#include "linemaster_remote.h"

#define LINE_MAX_BYTES 2048
#define REQUEST_SIZE (2 * LINE_MAX_BYTES + 64)
#define SLACK_MS 10000	/* the channel's own delay on top of a request's time */

static const char *line_path;
static int control_fd = -1;

static void to_hex(const uint8_t *b, size_t n, char *out)
{
	size_t i;

	for (i = 0; i < n; i++)
		sprintf(out + 2 * i, "%02X", b[i]);
	out[2 * n] = '\0';
}

static size_t from_hex(const char *hex, uint8_t *out, size_t size)
{
	size_t n = 0;
	unsigned int v;

	while (n < size && sscanf(hex + 2 * n, "%2x", &v) == 1)
		out[n++] = (uint8_t)v;
	return n;
}

static int write_all(int fd, const char *s, size_t n)
{
	while (n) {
		ssize_t w = write(fd, s, n);

		if (w < 0 && errno == EINTR)
			continue;
		if (w <= 0)
			return -1;
		s += w;
		n -= (size_t)w;
	}
	return 0;
}

/* One line without its newline, within timeout_ms (-1: no limit). */
static int read_line(int fd, char *line, size_t size, int timeout_ms)
{
	uint64_t end = now_us() + (uint64_t)timeout_ms * 1000u;
	size_t n = 0;

	while (n + 1 < size) {
		struct pollfd pfd = { fd, POLLIN, 0 };
		int64_t left = (int64_t)(end - now_us());
		ssize_t r;

		if (timeout_ms >= 0 &&
		    (left <= 0 || poll(&pfd, 1, (int)((left + 999) / 1000)) <= 0))
			return -1;
		r = read(fd, line + n, 1);
		if (r < 0 && errno == EINTR)
			continue;
		if (r <= 0)
			return -1;
		if (line[n] == '\n') {
			line[n] = '\0';
			return 0;
		}
		if (line[n] != '\r')
			n++;
	}
	return -1;
}

static int request(const struct pty *p, const char *req, char *answer, int timeout_ms)
{
	if (write_all(p->master, req, strlen(req)) ||
	    read_line(p->master, answer, REQUEST_SIZE, timeout_ms + SLACK_MS)) {
		printf("# line master on the host: no answer to \"%.40s\"\n", req);
		return -1;
	}
	return 0;
}

int lm_remote_send(const struct pty *p, const uint8_t *b, size_t n)
{
	char req[REQUEST_SIZE], answer[REQUEST_SIZE];
	int result;

	if (n > LINE_MAX_BYTES)
		return -EMSGSIZE;
	strcpy(req, "send ");
	to_hex(b, n, req + 5);
	strcat(req, "\n");
	if (request(p, req, answer, 0) || sscanf(answer, "ok %d", &result) != 1)
		return -EIO;
	return result;
}

size_t lm_remote_collect(const struct pty *p, uint8_t *buf, size_t size, int ms)
{
	char req[64], answer[REQUEST_SIZE];

	if (size > LINE_MAX_BYTES)
		size = LINE_MAX_BYTES;
	snprintf(req, sizeof(req), "collect %zu %d\n", size, ms);
	if (request(p, req, answer, ms) || strncmp(answer, "got", 3))
		return 0;
	return from_hex(answer + 3 + (answer[3] == ' '), buf, size);
}

int64_t lm_remote_exchange(const struct pty *p, const uint8_t *b, size_t n, size_t answer_size,
			   int ms)
{
	char req[REQUEST_SIZE], answer[REQUEST_SIZE];
	long long us;
	int at;

	if (n > LINE_MAX_BYTES)
		return -1;
	at = snprintf(req, sizeof(req), "exchange %zu %d ", answer_size, ms);
	to_hex(b, n, req + at);
	strcat(req, "\n");
	if (request(p, req, answer, ms) || sscanf(answer, "took %lld", &us) != 1)
		return -1;
	return us;
}

int line_use_uart(const char *line, const char *control)
{
	struct termios t;

	control_fd = open(control, O_RDWR | O_NOCTTY);
	if (control_fd < 0 || tcgetattr(control_fd, &t))
		return -errno;
	cfmakeraw(&t);
	t.c_cflag |= CLOCAL | CREAD;
	if (tcsetattr(control_fd, TCSANOW, &t) || tcflush(control_fd, TCIOFLUSH))
		return -errno;
	line_path = line;
	return 0;
}

int line_uart_open(struct pty *p)
{
	uint8_t stale[LINE_MAX_BYTES];
	struct termios t;

	if (!line_path)
		return 1;	/* no UART: a pty */
	snprintf(p->path, sizeof(p->path), "%s", line_path);
	p->master = control_fd;
	p->remote = 1;
	p->slave = pty_open_slave(p, 0);
	if (p->slave < 0 || tcgetattr(p->slave, &t))
		return -errno;
	cfmakeraw(&t);
	t.c_cflag |= CLOCAL | CREAD;
	if (tcsetattr(p->slave, TCSANOW, &t) || tcflush(p->slave, TCIOFLUSH))
		return -errno;
	/* The line persists from case to case: nothing left over from the last
	 * one may reach this one. */
	lm_remote_collect(p, stale, sizeof(stale), 50);
	return 0;
}

int lm_serve(int control, const struct pty *line)
{
	static char req[REQUEST_SIZE], answer[REQUEST_SIZE];
	static uint8_t bytes[LINE_MAX_BYTES];
	size_t size, n;
	int ms, at;

	while (read_line(control, req, sizeof(req), -1) == 0) {
		if (!strncmp(req, "send ", 5)) {
			n = from_hex(req + 5, bytes, sizeof(bytes));
			snprintf(answer, sizeof(answer), "ok %d", lm_send_bytes(line, bytes, n));
		} else if (sscanf(req, "collect %zu %d", &size, &ms) == 2) {
			n = lm_collect(line, bytes, size < sizeof(bytes) ? size : sizeof(bytes), ms);
			strcpy(answer, "got ");
			to_hex(bytes, n, answer + 4);
		} else if (sscanf(req, "exchange %zu %d %n", &size, &ms, &at) == 2) {
			n = from_hex(req + at, bytes, sizeof(bytes));
			snprintf(answer, sizeof(answer), "took %lld",
				 (long long)lm_exchange_bytes(line, bytes, n, size, ms));
		} else {
			fprintf(stderr, "line master: bad request \"%s\"\n", req);
			return -1;
		}
		strcat(answer, "\n");
		if (write_all(control, answer, strlen(answer)))
			return -1;
	}
	return 0;
}
