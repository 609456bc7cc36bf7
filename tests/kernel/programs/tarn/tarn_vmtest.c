/*
 * Tests of the tarn module in a real kernel: ptys in disciplines 2 and 8,
 * the line master on the pty masters, station processes on the slaves.
 * Prints TAP.
 *
 *   tarn_vmtest [--uart LINE CONTROL] [case...]     all cases, or the named ones
 *
 * With --uart the cases that take a line take the UART LINE instead of a
 * pty, and its line master is on the host, reached through the UART
 * CONTROL (linemaster_remote.c).
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "linemaster.h"
#include "linemaster_remote.h"
#include "stress.h"
#include "tarn_ioctl.h"

#define T_ANSWER 3000	/* ms for an answer to arrive */
#define T_QUIET 150	/* ms of silence after it */

/* Runs fn as a station process on the pty's slave; the child drops its
 * copy of the master, which stays the line master's alone. */
static void in_child(int (*fn)(struct pty *), struct pty *p, pid_t *pid_out)
{
	pid_t pid = fork();

	if (pid == 0) {
		close(p->master);
		_exit(fn(p));
	}
	*pid_out = pid;
}

/* The child's exit status, or -1 when it did not end within timeout_ms
 * (it is killed). */
static int reap(pid_t pid, int timeout_ms)
{
	uint64_t end = now_us() + (uint64_t)timeout_ms * 1000u;
	int status;

	while (now_us() < end) {
		pid_t r = waitpid(pid, &status, WNOHANG);

		if (r == pid)
			return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
		sleep_ms(10);
	}
	kill(pid, SIGKILL);
	waitpid(pid, &status, 0);
	return -1;
}

/* The first line of /proc/<pid>/<name> into buf; 0, or -1. */
static int proc_line(pid_t pid, const char *name, char *buf, size_t size)
{
	char path[64];
	FILE *f;
	int ok;

	snprintf(path, sizeof(path), "/proc/%d/%s", (int)pid, name);
	f = fopen(path, "r");
	if (!f)
		return -1;
	ok = fgets(buf, (int)size, f) != NULL;
	fclose(f);
	return ok ? 0 : -1;
}

/* Waits until the process sleeps interruptibly inside the system call nr
 * (a station blocked in the discipline); 0, or -1 when it has not within
 * timeout_ms. */
static int wait_blocked(pid_t pid, long nr, int timeout_ms)
{
	uint64_t end = now_us() + (uint64_t)timeout_ms * 1000u;
	char stat[512], call[256];
	const char *state;

	while (now_us() < end) {
		if (proc_line(pid, "stat", stat, sizeof(stat)) == 0 &&
		    proc_line(pid, "syscall", call, sizeof(call)) == 0) {
			state = strrchr(stat, ')');
			if (state && state[1] == ' ' && state[2] == 'S' &&
			    strtol(call, NULL, 10) == nr)
				return 0;
		}
		sleep_ms(1);
	}
	return -1;
}

static int case_module(void)
{
	char buf[16] = "";
	struct pty p;
	int fd, disc, d;

	fd = open("/sys/module/tarn/parameters/debug", O_RDONLY);
	CHECK(fd >= 0, "debug parameter missing: %s", strerror(errno));
	if (fd >= 0) {
		CHECK(read(fd, buf, sizeof(buf) - 1) > 0 && atoi(buf) == 0, "debug=%s", buf);
		close(fd);
	}
	for (disc = TARN_LDISC_GENERIC; disc <= TARN_LDISC_MOC; disc += 6) {
		CHECK(pty_open(&p, disc) == 0, "TIOCSETD %d: %s", disc, strerror(errno));
		CHECK(ioctl(p.slave, TIOCGETD, &d) == 0 && d == disc, "TIOCGETD %d", d);
		pty_close(&p);
	}
	return 0;
}

static int case_generic_examples(void)
{
	struct pty p;

	CHECK(pty_open(&p, TARN_LDISC_GENERIC) == 0, "open");
	CHECK(st_resume(p.slave, 5) == 0, "resume 5");
	CHECK(st_resume(p.slave, 32) == 0, "resume 32");
	CHECK(st_cmd(p.slave, TARN_REGISTER, 7) == 0, "register 7");

	lm_send(&p, "04 65 02 48 49 03 02");
	CHECK(lm_expect(&p, "06", T_ANSWER, T_QUIET) == 0, "select answered with ACK");
	CHECK(st_expect(p.slave, "02 05 48 49", T_ANSWER) == 0, "select message");
	lm_send(&p, "04 45");
	CHECK(lm_expect(&p, "04", T_ANSWER, T_QUIET) == 0, "poll answered with EOT");
	CHECK(st_expect(p.slave, "01 05", T_ANSWER) == 0, "poll message");

	CHECK(st_write(p.slave, "05 41 01") == 3, "write");
	CHECK(lm_expect(&p, "", 0, T_QUIET) == 0, "a write sends nothing itself");
	CHECK(st_outq(p.slave) == 1, "TIOCOUTQ");
	lm_send(&p, "04 45");
	CHECK(lm_expect(&p, "02 41 10 01 03 53", T_ANSWER, T_QUIET) == 0, "frame on poll");
	lm_send(&p, "06");
	CHECK(st_write(p.slave, "05") == 1, "write id only");
	lm_send(&p, "04 45");
	CHECK(lm_expect(&p, "02 03 03", T_ANSWER, T_QUIET) == 0, "empty frame");
	lm_send(&p, "06");

	lm_send(&p, "04 47");
	CHECK(lm_expect(&p, "", 0, T_QUIET) == 0, "suspended station is silent");
	CHECK(st_write(p.slave, "A0 41") == 2, "send-once write for 32");
	lm_send(&p, "04 40");
	CHECK(lm_expect(&p, "02 41 03 42", T_ANSWER, T_QUIET) == 0, "frame of 32");
	lm_send(&p, "15 04 40");
	CHECK(lm_expect(&p, "04", T_ANSWER, T_QUIET) == 0, "send-once frame not repeated");
	CHECK(st_expect(p.slave, "01 05", T_ANSWER) == 0, "poll");
	CHECK(st_expect(p.slave, "01 05", T_ANSWER) == 0, "poll");
	CHECK(st_expect(p.slave, "01 07", T_ANSWER) == 0, "poll of the suspended station");
	CHECK(st_expect(p.slave, "01 20", T_ANSWER) == 0, "poll of 32");
	CHECK(st_expect(p.slave, "01 20", T_ANSWER) == 0, "poll of 32");
	CHECK(st_none(p.slave, T_QUIET) == 0, "no more messages");
	pty_close(&p);
	return 0;
}

static int case_moc_examples(void)
{
	struct pty p;

	CHECK(pty_open(&p, TARN_LDISC_MOC) == 0, "open");
	CHECK(st_resume(p.slave, 5) == 0, "resume 5");

	CHECK(st_write(p.slave, "05 41 01") == 3, "write");
	lm_send(&p, "04 45");
	CHECK(lm_expect(&p, "02 41 01 03 43", T_ANSWER, T_QUIET) == 0, "moc escaping");
	lm_send(&p, "06");
	CHECK(st_write(p.slave, "05 03") == 2, "write ETX");
	lm_send(&p, "04 45");
	CHECK(lm_expect(&p, "02 10 03 03 00", T_ANSWER, T_QUIET) == 0, "escaped ETX");
	lm_send(&p, "06");

	CHECK(st_write(p.slave, "05 31 41") == 3, "write block 0x31");
	lm_send(&p, "04 45");
	CHECK(lm_expect(&p, "02 31 41 03 73", T_ANSWER, T_QUIET) == 0, "frame");
	lm_send(&p, "06 04 65 02 31 48 03 7A");
	CHECK(lm_expect(&p, "06", T_ANSWER, T_QUIET) == 0, "same block byte: ACK");
	lm_send(&p, "04 65 02 32 48 03 79");
	CHECK(lm_expect(&p, "05", T_ANSWER, T_QUIET) == 0, "other sequence: ENQ");
	lm_send(&p, "04 65 02 41 48 03 0A");
	CHECK(lm_expect(&p, "06", T_ANSWER, T_QUIET) == 0, "block above 0x3F: ACK");

	CHECK(st_write(p.slave, "05 41") == 2, "write");
	lm_send(&p, "04 45");
	CHECK(lm_expect(&p, "02 41 03 42", T_ANSWER, T_QUIET) == 0, "frame");
	lm_send(&p, "15");
	CHECK(lm_expect(&p, "02 41 03 42", T_ANSWER, T_QUIET) == 0, "NAK: sent again at once");
	lm_send(&p, "06");
	sleep_ms(T_QUIET);
	CHECK(st_outq(p.slave) == 0, "ACK released it");

	CHECK(st_write(p.slave, "05 33") == 2, "write");
	lm_send(&p, "04 45");
	CHECK(lm_expect(&p, "02 33 03 30", T_ANSWER, T_QUIET) == 0, "frame");
	lm_send(&p, "05");
	sleep_ms(T_QUIET);
	CHECK(st_outq(p.slave) == 0, "ENQ released it");
	CHECK(st_write(p.slave, "05 34") == 2, "the next write proceeds");

	for (int i = 0; i < 3; i++)
		CHECK(st_expect(p.slave, "01 05", T_ANSWER) == 0, "poll %d", i);
	CHECK(st_expect(p.slave, "02 05 31 48", T_ANSWER) == 0, "accepted frame");
	CHECK(st_expect(p.slave, "02 05 41 48", T_ANSWER) == 0, "accepted frame");
	CHECK(st_expect(p.slave, "01 05", T_ANSWER) == 0, "poll");
	CHECK(st_expect(p.slave, "01 05", T_ANSWER) == 0, "poll");
	CHECK(st_expect(p.slave, "04 05 33", T_ANSWER) == 0, "TX_ENQ message");
	CHECK(st_none(p.slave, T_QUIET) == 0, "no more messages");
	pty_close(&p);
	return 0;
}

/* A 255-byte message comes out whole from one read(2), although the tty
 * layer hands it over in pieces of 64 bytes. */
static int case_long_message(void)
{
	uint8_t frame[300], msg[512];
	struct pty p;
	size_t n = 0;
	int i, r;

	CHECK(pty_open(&p, TARN_LDISC_GENERIC) == 0, "open");
	CHECK(st_resume(p.slave, 5) == 0, "resume");
	n = unhex("04 65 02", frame, sizeof(frame));
	for (i = 0; i < 253; i++)
		frame[n++] = (uint8_t)(0x61 + i % 26);
	frame[n++] = 0x03;
	frame[n] = 0;
	for (i = 3; i < (int)n; i++)
		frame[n] ^= frame[i];
	n++;

	lm_send_bytes(&p, frame, n);
	lm_send_bytes(&p, frame, n);
	lm_send(&p, "04 45");
	CHECK(lm_expect(&p, "06 06 04", T_ANSWER, T_QUIET) == 0, "answers");
	r = st_read(p.slave, msg, sizeof(msg), T_ANSWER);
	CHECK(r == 255, "read gave %d", r);
	CHECK(r == 255 && msg[0] == 2 && msg[1] == 5 && !memcmp(msg + 2, frame + 3, 253), "content");
	r = st_read(p.slave, msg, 254, T_ANSWER);
	CHECK(r == -EOVERFLOW, "short buffer gave %d", r);
	CHECK(st_expect(p.slave, "01 05", T_ANSWER) == 0, "the message after is intact");
	pty_close(&p);
	return 0;
}

static int case_ioctls(void)
{
	static const int bad_ids[] = { 0, 33, 255 };
	uint8_t big[256];
	struct pollfd pfd;
	struct pty p;
	int nb, i;

	CHECK(pty_open(&p, TARN_LDISC_GENERIC) == 0, "open");
	for (i = 0; i < 3; i++) {
		CHECK(st_cmd(p.slave, TARN_REGISTER, bad_ids[i]) == -EINVAL, "REGISTER %d", bad_ids[i]);
		CHECK(st_cmd(p.slave, TARN_FLUSH, bad_ids[i]) == -EINVAL, "FLUSH %d", bad_ids[i]);
	}
	CHECK(st_cmd(p.slave, TARN_SUSPEND, 12) == -EINVAL, "SUSPEND unregistered");
	CHECK(st_cmd(p.slave, TARN_REGISTER, 12) == 0, "REGISTER 12");
	CHECK(st_cmd(p.slave, TARN_REGISTER, 12) == -EBUSY, "REGISTER twice");
	CHECK(st_cmd(p.slave, TARN_RESUME, 12) == 0, "RESUME");
	CHECK(st_resume(p.slave, 5) == 0, "resume 5");
	CHECK(tcflush(p.slave, TCIFLUSH) == 0, "other commands reach the tty helper: %s", strerror(errno));

	memset(big, 0x05, sizeof(big));
	CHECK(write(p.slave, big, 256) < 0 && errno == EOVERFLOW, "256 bytes");
	CHECK(st_write(p.slave, "21 41") == -EINVAL, "id byte 0x21");
	CHECK(st_write(p.slave, "06 41") == -EINVAL, "unregistered id");
	CHECK(st_write(p.slave, "0C 41") == 2, "write 12");
	CHECK(st_outq(p.slave) == 1, "TIOCOUTQ counts stations");

	lm_send(&p, "04 45 04 45 04 4C");
	CHECK(lm_expect(&p, "04 04 02 41 03 42", T_ANSWER, T_QUIET) == 0, "answers");
	for (i = 0; i < 100 && st_inq(p.slave) < 3; i++)
		sleep_ms(10);
	CHECK(st_inq(p.slave) == 3, "FIONREAD counts messages: %d", st_inq(p.slave));

	nb = pty_open_slave(&p, O_NONBLOCK);
	pfd = (struct pollfd){ nb, POLLIN | POLLOUT, 0 };
	CHECK(poll(&pfd, 1, 0) == 1 && pfd.revents == (POLLIN | POLLOUT), "revents %x", pfd.revents);
	for (i = 0; i < 3; i++)
		CHECK(st_read(nb, big, sizeof(big), 0) == 2, "message %d", i);
	CHECK(read(nb, big, sizeof(big)) < 0 && errno == EAGAIN, "empty queue, O_NONBLOCK");
	CHECK(poll(&pfd, 1, 0) == 1 && pfd.revents == POLLOUT, "revents %x", pfd.revents);
	CHECK(st_write(nb, "0C 42") == -EAGAIN, "slot taken, O_NONBLOCK");
	close(nb);
	pty_close(&p);
	return 0;
}

static volatile sig_atomic_t alarmed;
static void on_alarm(int sig)
{
	(void)sig;
	alarmed = 1;
}

static int blocked_write(struct pty *p)
{

	return st_write(p->slave, "05 42") == 2 ? 0 : 1;
}

/* The parent signals it once it sleeps in the read. */
static int interrupted_read(struct pty *p)
{
	struct sigaction sa = { 0 };
	uint8_t buf[64];

	sa.sa_handler = on_alarm;
	sigaction(SIGALRM, &sa, NULL);	/* no SA_RESTART */
	return read(p->slave, buf, sizeof(buf)) < 0 && errno == EINTR && alarmed ? 0 : 1;
}

static int closed_read(struct pty *p)
{
	uint8_t buf[64];

	return read(p->slave, buf, sizeof(buf)) < 0 && errno == EIO ? 0 : 1;
}

/* Sleeping writers and readers: released slot, signal, master closed. */
static int case_blocking(void)
{
	struct pty p;
	pid_t pid;

	CHECK(pty_open(&p, TARN_LDISC_GENERIC) == 0, "open");
	CHECK(st_resume(p.slave, 5) == 0, "resume");
	CHECK(st_write(p.slave, "05 41") == 2, "first write");
	in_child(blocked_write, &p, &pid);
	CHECK(wait_blocked(pid, SYS_write, 5000) == 0, "second write should wait");
	lm_send(&p, "04 45");
	CHECK(lm_expect(&p, "02 41 03 42", T_ANSWER, T_QUIET) == 0, "first frame");
	lm_send(&p, "06");
	CHECK(reap(pid, 5000) == 0, "the waiting write proceeds after the ACK");
	lm_send(&p, "04 45 06");
	CHECK(lm_expect(&p, "02 42 03 41", T_ANSWER, T_QUIET) == 0, "second frame");
	while (st_read(p.slave, (uint8_t[8]){ 0 }, 8, T_QUIET) > 0)
		;

	in_child(interrupted_read, &p, &pid);
	CHECK(wait_blocked(pid, SYS_read, 5000) == 0, "read should wait");
	kill(pid, SIGALRM);
	CHECK(reap(pid, 5000) == 0, "a signal interrupts a sleeping read with EINTR");

	in_child(closed_read, &p, &pid);
	CHECK(wait_blocked(pid, SYS_read, 5000) == 0, "read should wait");
	close(p.master);
	p.master = -1;
	CHECK(reap(pid, 5000) == 0, "closing the master ends a sleeping read with EIO");
	pty_close(&p);
	return 0;
}

static int hung_read(struct pty *p)
{
	uint8_t buf[64];

	return read(p->slave, buf, sizeof(buf)) < 0 && errno == EIO ? 0 : 1;
}

static int hung_write(struct pty *p)
{

	return st_write(p->slave, "05 42") == -EIO ? 0 : 1;
}

/* Hangup releases every sleeper with EIO; after a reopen the discipline
 * starts empty. */
static int case_hangup(void)
{
	pid_t reader, writer;
	struct pty p;
	int fd, d;

	CHECK(pty_open(&p, TARN_LDISC_MOC) == 0, "open");
	CHECK(st_resume(p.slave, 5) == 0, "resume");
	CHECK(st_write(p.slave, "05 41") == 2, "first write");
	in_child(hung_read, &p, &reader);
	in_child(hung_write, &p, &writer);
	CHECK(wait_blocked(reader, SYS_read, 5000) == 0, "read should wait");
	CHECK(wait_blocked(writer, SYS_write, 5000) == 0, "write should wait");
	fd = pty_open_slave(&p, 0);
	CHECK(ioctl(fd, TIOCVHANGUP) == 0, "TIOCVHANGUP: %s", strerror(errno));
	close(fd);
	CHECK(reap(reader, 5000) == 0, "sleeping reader gets EIO");
	CHECK(reap(writer, 5000) == 0, "sleeping writer gets EIO");

	/* A hung-up pty comes back with reset termios, so the station switches
	 * it to the discipline again. */
	fd = pty_open_slave(&p, 0);
	d = TARN_LDISC_MOC;
	CHECK(fd >= 0 && ioctl(fd, TIOCSETD, &d) == 0, "TIOCSETD after reopen: %s", strerror(errno));
	CHECK(st_cmd(fd, TARN_RESUME, 5) == -EINVAL, "stations went with the hangup");
	CHECK(st_resume(fd, 5) == 0, "register again");
	lm_send(&p, "04 45");
	CHECK(lm_expect(&p, "04", T_ANSWER, T_QUIET) == 0, "answers again");
	close(fd);
	pty_close(&p);
	return 0;
}

static int read_gives_way(struct pty *p)
{
	uint8_t buf[64];

	return read(p->slave, buf, sizeof(buf)) < 0 && errno == EAGAIN ? 0 : 1;
}

static int write_gives_way(struct pty *p)
{
	return st_write(p->slave, "05 42") == -EAGAIN ? 0 : 1;
}

/* A discipline change does not wait for sleeping readers and writers: they
 * give way with EAGAIN, as those of the kernel's own disciplines do, and
 * TIOCSETD goes through instead of failing with EBUSY after 5 s. */
static int case_ldisc_change(void)
{
	pid_t reader, writer;
	struct pty p;
	int fd, d = N_TTY;

	CHECK(pty_open(&p, TARN_LDISC_GENERIC) == 0, "open");
	CHECK(st_resume(p.slave, 5) == 0, "resume");
	CHECK(st_write(p.slave, "05 41") == 2, "first write");
	in_child(read_gives_way, &p, &reader);
	in_child(write_gives_way, &p, &writer);
	CHECK(wait_blocked(reader, SYS_read, 5000) == 0, "read should wait");
	CHECK(wait_blocked(writer, SYS_write, 5000) == 0, "write should wait");
	fd = pty_open_slave(&p, 0);
	CHECK(ioctl(fd, TIOCSETD, &d) == 0, "TIOCSETD N_TTY with sleepers: %s", strerror(errno));
	CHECK(ioctl(fd, TIOCGETD, &d) == 0 && d == N_TTY, "discipline %d", d);
	CHECK(reap(reader, 5000) == 0, "sleeping reader gets EAGAIN");
	CHECK(reap(writer, 5000) == 0, "sleeping writer gets EAGAIN");
	close(fd);
	pty_close(&p);
	return 0;
}

/* New kernel log records since the last call that contain text, at a level
 * of max_level or more urgent. */
static int kmsg_find(int kmsg, const char *text, int max_level)
{
	char rec[2048];
	int found = 0;
	ssize_t n;

	while ((n = read(kmsg, rec, sizeof(rec) - 1)) > 0 || (n < 0 && errno == EPIPE)) {
		if (n <= 0)
			continue;
		rec[n] = '\0';
		if ((atoi(rec) & 7) <= max_level && strstr(rec, text))
			found++;
	}
	return found;
}

static int write_param(const char *value)
{
	int fd = open("/sys/module/tarn/parameters/debug", O_WRONLY);
	int ok = fd >= 0 && write(fd, value, strlen(value)) == (ssize_t)strlen(value);

	if (fd >= 0)
		close(fd);
	return ok ? 0 : -1;
}

static int case_debug(void)
{
	int kmsg = open("/dev/kmsg", O_RDONLY | O_NONBLOCK);
	char text[64];
	struct pty p;

	CHECK(kmsg >= 0, "/dev/kmsg: %s", strerror(errno));
	lseek(kmsg, 0, SEEK_END);
	CHECK(write_param("1") == 0, "debug=1");
	CHECK(pty_open(&p, TARN_LDISC_GENERIC) == 0, "open");
	CHECK(st_cmd(p.slave, TARN_REGISTER, 3) == 0, "register");
	snprintf(text, sizeof(text), "tarn_open: tty=pts");
	CHECK(kmsg_find(kmsg, text, 7) == 1, "trace '%s'", text);
	CHECK(st_cmd(p.slave, TARN_SUSPEND, 3) == 0, "suspend");
	CHECK(kmsg_find(kmsg, "tarn_ioctl: SUSPEND, id=3", 7) == 1, "ioctl trace");

	CHECK(write_param("0") == 0, "debug=0");
	CHECK(st_cmd(p.slave, TARN_RESUME, 3) == 0, "resume");
	CHECK(st_cmd(p.slave, TARN_RESUME, 0) == -EINVAL, "invalid id");
	CHECK(kmsg_find(kmsg, "tarn_ioctl: RESUME, invalid id 0", 3) == 1, "error message at KERN_ERR");
	pty_close(&p);
	CHECK(kmsg_find(kmsg, "tarn_", 7) == 0, "no traces with debug=0");
	close(kmsg);
	return 0;
}

static int pool_write(struct pty *p)
{
	return st_write(p->slave, "01 41") == 2 ? 0 : 1;
}

/* With every pty closed, all 64 buffers must be free: 70 unread polls of a
 * silent station queue exactly 64 messages. A write then waits for a buffer
 * and proceeds when a reader gives one back. */
static int case_pool(void)
{
	uint8_t msg[8];
	struct pty p;
	int i, n = -1;
	pid_t writer;

	CHECK(pty_open(&p, TARN_LDISC_GENERIC) == 0, "open");
	CHECK(st_cmd(p.slave, TARN_REGISTER, 1) == 0, "register");
	for (i = 0; i < 70; i++)
		lm_send(&p, "04 41");
	for (i = 0; i < 250 && n < 64; i++) {
		sleep_ms(20);
		n = st_inq(p.slave);
	}
	sleep_ms(300);
	n = st_inq(p.slave);
	CHECK(n == 64, "%d messages queued, 64 expected", n);
	in_child(pool_write, &p, &writer);
	CHECK(wait_blocked(writer, SYS_write, 5000) == 0, "a write should wait for a buffer");
	CHECK(st_read(p.slave, msg, sizeof(msg), T_ANSWER) == 2, "a reader takes a message");
	CHECK(reap(writer, 5000) == 0, "the waiting write proceeds when the buffer comes back");
	pty_close(&p);
	return 0;
}

static int case_stress(void)
{
	const char *env = getenv("TARN_STRESS_SECONDS");
	struct stress_result r;

	stress_run(env ? atoi(env) : 15, &r);
	printf("# stress: %ld bytes from the masters, %ld answer bytes, %ld writes, %ld messages, "
	       "%ld hangups\n", r.master_bytes, r.answer_bytes, r.writes, r.messages, r.hangups);
	CHECK(r.stuck == 0, "%d station processes did not end", r.stuck);
	CHECK(r.failed == 0, "%d station processes saw an unexpected result", r.failed);
	CHECK(r.writes > 0 && r.messages > 0 && r.hangups > 0, "the stress did nothing");
	return case_pool();
}

struct named_case {
	const char *name;
	int (*fn)(void);
};

static const struct named_case cases[] = {
	{ "module", case_module },
	{ "generic_examples", case_generic_examples },
	{ "moc_examples", case_moc_examples },
	{ "long_message", case_long_message },
	{ "ioctls", case_ioctls },
	{ "blocking", case_blocking },
	{ "hangup", case_hangup },
	{ "ldisc_change", case_ldisc_change },
	{ "debug", case_debug },
	{ "pool", case_pool },
	{ "stress", case_stress },
};

static int run(const struct named_case *c, int number)
{
	case_failed = 0;
	c->fn();
	printf("%sok %d - %s\n", case_failed ? "not " : "", number, c->name);
	fflush(stdout);
	return case_failed;
}

int main(int argc, char **argv)
{
	size_t i, n = sizeof(cases) / sizeof(cases[0]);
	int failed = 0, number = 0, j;

	setvbuf(stdout, NULL, _IOLBF, 0);
	signal(SIGPIPE, SIG_IGN);
	if (pty_mount())
		return 1;
	if (argc > 3 && !strcmp(argv[1], "--uart")) {
		int r = line_use_uart(argv[2], argv[3]);

		if (r) {
			printf("Bail out! %s, %s: %s\n", argv[2], argv[3], strerror(-r));
			return 1;
		}
		argv += 3;
		argc -= 3;
	}
	if (argc == 1) {
		printf("1..%zu\n", n);
		for (i = 0; i < n; i++)
			failed |= run(&cases[i], ++number);
		return failed;
	}
	printf("1..%d\n", argc - 1);
	for (j = 1; j < argc; j++) {
		for (i = 0; i < n && strcmp(cases[i].name, argv[j]); i++)
			;
		if (i == n) {
			printf("not ok %d - %s # no such case\n", ++number, argv[j]);
			failed = 1;
			continue;
		}
		failed |= run(&cases[i], ++number);
	}
	return failed;
}
