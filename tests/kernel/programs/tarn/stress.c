/* Concurrent stress of the tarn module in the VM, and the poll-to-answer
 * latency benchmark. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "linemaster.h"
#include "stress.h"
#include "tarn_ioctl.h"

#define STATIONS_PER_PTY 3
#define HANGUP_EVERY_MS 400

/* Counters shared by the parent and the station processes. */
struct shared {
	long master_bytes, answer_bytes, writes, messages, hangups;
	int failed;
};

struct line {
	struct pty pty;
	struct shared *sh;
	uint64_t deadline;
	unsigned int seed;
	pthread_t writer, drainer;
	pid_t stations[STATIONS_PER_PTY];
};

static void add(long *counter, long n)
{
	__atomic_add_fetch(counter, n, __ATOMIC_RELAXED);
}

static unsigned int rnd(unsigned int *seed, unsigned int n)
{
	return (unsigned int)rand_r(seed) % n;
}

/* A selection as the master sends it, escaped and checked as the
 * discipline expects; one in five has a wrong block check. */
static size_t select_frame(uint8_t *out, int disc, uint8_t id, unsigned int *seed)
{
	size_t n = 0, len = 1 + rnd(seed, 40), i;
	uint8_t bcc = 0, b;

	out[n++] = 0x04;
	out[n++] = (uint8_t)(0x60 | id);
	out[n++] = 0x02;
	for (i = 0; i < len; i++) {
		b = (uint8_t)rnd(seed, 256);
		if (disc == TARN_LDISC_GENERIC ? b < 0x20 : (b == 0x03 || b == 0x04 || b == 0x10)) {
			out[n++] = 0x10;
			if (disc == TARN_LDISC_GENERIC)
				bcc ^= 0x10;
		}
		out[n++] = b;
		bcc ^= b;
	}
	out[n++] = 0x03;
	out[n++] = (uint8_t)(bcc ^ 0x03 ^ (rnd(seed, 5) ? 0 : 0x5A));
	return n;
}

static size_t master_event(uint8_t *out, int disc, unsigned int *seed)
{
	static const uint8_t answers[] = { 0x06, 0x15, 0x05 };
	uint8_t id = (uint8_t)(1 + rnd(seed, 2 * STATIONS_PER_PTY + 1));
	size_t n = 0;

	switch (rnd(seed, 6)) {
	case 0:
	case 1:
	case 2:
		out[n++] = 0x04;
		out[n++] = (uint8_t)(0x40 | id);
		if (rnd(seed, 4))
			out[n++] = answers[rnd(seed, 3)];
		return n;
	case 3:
	case 4:
		return select_frame(out, disc, id, seed);
	default:
		memcpy(out, "\x04\x01\x02\x41\x42\x03\x00", 7);
		return 7;
	}
}

static void *master_writer(void *arg)
{
	struct line *l = arg;
	unsigned int seed = l->seed;
	uint8_t batch[4096];

	while (now_us() < l->deadline) {
		size_t n = 0, at = 0;
		int events = 1 + (int)rnd(&seed, 16);

		while (events-- && n < sizeof(batch) - 128)
			n += master_event(batch + n, l->pty.disc, &seed);
		while (at < n && now_us() < l->deadline) {
			ssize_t w = write(l->pty.master, batch + at, n - at);

			if (w > 0) {
				at += (size_t)w;
				add(&l->sh->master_bytes, w);
			} else {
				sleep_ms(1);	/* the slave's buffer is full, or nobody has it open */
			}
		}
		if (!rnd(&seed, 4))
			sleep_ms(1);
	}
	return NULL;
}

static void *master_drainer(void *arg)
{
	struct line *l = arg;
	uint8_t buf[4096];

	while (now_us() < l->deadline + 2000000u) {
		struct pollfd pfd = { l->pty.master, POLLIN, 0 };
		ssize_t r;

		if (poll(&pfd, 1, 50) <= 0)
			continue;
		r = read(l->pty.master, buf, sizeof(buf));
		if (r > 0)
			add(&l->sh->answer_bytes, r);
	}
	return NULL;
}

/* A message as the module may produce it. */
static int message_valid(const uint8_t *m, int len)
{
	switch (m[0]) {
	case TARN_MSG_POLL:
		return len == 2 && m[1] >= 1 && m[1] <= 32;
	case TARN_MSG_SELECT:
		return len >= 2 && len <= 255 && m[1] >= 1 && m[1] <= 32;
	case TARN_MSG_BROADCAST:
		return len >= 1 && len <= 255;
	case TARN_MSG_TX_ENQ:
		return len == 3;
	default:
		return 0;
	}
}

/*
 * A read that was already inside the tty layer when a hangup came may go on
 * in the discipline that the next open puts on the tty (N_TTY, until a
 * station sets ours again) and return its bytes: what such a read returns
 * is not the module's. A hung-up file answers TIOCGETD with EIO.
 */
static int hung_up(int fd)
{
	int disc;

	return ioctl(fd, TIOCGETD, &disc) < 0 && errno == EIO;
}

static void on_alarm(int sig)
{
	(void)sig;
}

/* One station process: two ids, its own file; everything it may see after
 * a hangup (EIO, a read of 0, unregistered ids) makes it reopen. */
static int station(const struct line *l, int first_id, int blocking)
{
	unsigned int seed = l->seed + (unsigned int)first_id * 7919u;
	struct sigaction sa = { 0 };
	uint8_t buf[512];
	int fd = -1, wrong = 0;

	sa.sa_handler = on_alarm;
	sigaction(SIGALRM, &sa, NULL);	/* no SA_RESTART: unblocks a stuck call */
	while (now_us() < l->deadline && !wrong) {
		int id = first_id + (int)rnd(&seed, 2), r = 0;
		long w;

		if (fd < 0) {
			fd = open(l->pty.path, O_RDWR | O_NOCTTY | (blocking ? 0 : O_NONBLOCK));
			if (fd < 0) {
				sleep_ms(2);
				continue;
			}
			/* a hung-up pty comes back in N_TTY */
			if (ioctl(fd, TIOCGETD, &r) == 0 && r != l->pty.disc)
				ioctl(fd, TIOCSETD, &l->pty.disc);
			if (ioctl(fd, TIOCGETD, &r) || r != l->pty.disc) {
				close(fd);
				fd = -1;
				continue;
			}
			st_resume(fd, first_id);
			st_resume(fd, first_id + 1);
			r = 0;
		}
		alarm(2);
		switch (rnd(&seed, 9)) {
		case 0: case 1: case 2: case 3: {
			size_t len = 1 + rnd(&seed, 60), i;

			buf[0] = (uint8_t)(id | (rnd(&seed, 4) ? 0 : TARN_SEND_ONCE));
			for (i = 1; i < len; i++)
				buf[i] = (uint8_t)rnd(&seed, 256);
			w = write(fd, buf, len);
			if (w == (long)len) {
				add(&l->sh->writes, 1);
			} else if (w >= 0 || (errno != EAGAIN && errno != EINTR && errno != EIO &&
					      errno != EINVAL)) {
				printf("# station %d: write gave %ld (%s)\n", id, w, strerror(errno));
				wrong = 1;
			}
			r = w < 0 ? -errno : 0;
			break;
		}
		case 4: case 5: case 6:
			r = st_read(fd, buf, sizeof(buf), 20);
			if (r > 0) {
				if (message_valid(buf, r)) {
					add(&l->sh->messages, 1);
				} else if (hung_up(fd)) {
					r = -EIO;
				} else {
					printf("# station: bad message type %02X length %d\n", buf[0], r);
					wrong = 1;
				}
			} else if (r == 0) {
				r = -EIO;	/* hung up */
			}
			break;
		case 7:
			r = st_cmd(fd, rnd(&seed, 2) ? TARN_FLUSH : TARN_SUSPEND, id);
			break;
		default:
			r = st_cmd(fd, TARN_RESUME, id);
			if (r == 0 && st_inq(fd) < 0)
				r = -EIO;
			if (r == 0 && st_outq(fd) < 0)
				r = -EIO;
			break;
		}
		alarm(0);
		if (r == -EIO) {
			close(fd);
			fd = -1;
		} else if (r == -EINVAL) {
			st_resume(fd, id);	/* the registry went with a hangup */
		}
	}
	if (fd >= 0)
		close(fd);
	if (wrong)
		__atomic_add_fetch(&l->sh->failed, 1, __ATOMIC_RELAXED);
	return wrong ? 1 : 0;
}

static void hang_up(struct line *l)
{
	int fd = open(l->pty.path, O_RDWR | O_NOCTTY | O_NONBLOCK);

	if (fd < 0)
		return;
	if (ioctl(fd, TIOCVHANGUP) == 0)
		add(&l->sh->hangups, 1);
	close(fd);
}

static int reap_by(pid_t pid, uint64_t end)
{
	int status;

	while (now_us() < end) {
		if (waitpid(pid, &status, WNOHANG) == pid)
			return 0;
		sleep_ms(10);
	}
	kill(pid, SIGKILL);
	waitpid(pid, &status, 0);
	return 1;
}

void stress_run(int seconds, struct stress_result *r)
{
	struct shared *sh = mmap(NULL, sizeof(*sh), PROT_READ | PROT_WRITE,
				 MAP_SHARED | MAP_ANONYMOUS, -1, 0);
	struct line lines[2];
	uint64_t deadline = now_us() + (uint64_t)seconds * 1000000u;
	int i, k;

	memset(r, 0, sizeof(*r));
	if (sh == MAP_FAILED) {
		r->failed = 1;
		return;
	}
	memset(sh, 0, sizeof(*sh));
	for (i = 0; i < 2; i++) {
		struct line *l = &lines[i];

		memset(l, 0, sizeof(*l));
		l->sh = sh;
		l->deadline = deadline;
		l->seed = 1000u + (unsigned int)i;
		if (pty_open(&l->pty, i ? TARN_LDISC_MOC : TARN_LDISC_GENERIC)) {
			r->failed = 1;
			return;
		}
		fcntl(l->pty.master, F_SETFL, O_NONBLOCK);
	}
	/* Every process is forked before any thread starts. */
	for (i = 0; i < 2; i++) {
		for (k = 0; k < STATIONS_PER_PTY; k++) {
			pid_t pid = fork();

			if (pid == 0) {
				close(lines[0].pty.master);
				close(lines[1].pty.master);
				_exit(station(&lines[i], 1 + 2 * k, k == 0));
			}
			lines[i].stations[k] = pid;
		}
	}
	for (i = 0; i < 2; i++) {
		pthread_create(&lines[i].writer, NULL, master_writer, &lines[i]);
		pthread_create(&lines[i].drainer, NULL, master_drainer, &lines[i]);
	}

	while (now_us() < deadline) {
		sleep_ms(HANGUP_EVERY_MS);
		for (i = 0; i < 2; i++)
			hang_up(&lines[i]);
	}
	/* Sleepers still in the discipline leave with EIO. */
	for (i = 0; i < 2; i++)
		hang_up(&lines[i]);
	for (i = 0; i < 2; i++) {
		for (k = 0; k < STATIONS_PER_PTY; k++)
			r->stuck += reap_by(lines[i].stations[k], deadline + 15000000u);
		pthread_join(lines[i].writer, NULL);
		pthread_join(lines[i].drainer, NULL);
		pty_close(&lines[i].pty);
	}
	r->master_bytes = sh->master_bytes;
	r->answer_bytes = sh->answer_bytes;
	r->writes = sh->writes;
	r->messages = sh->messages;
	r->hangups = sh->hangups;
	r->failed += sh->failed;
	munmap(sh, sizeof(*sh));
}
