/* A pty in a tarn discipline, with the line master on its master side and
 * station processes on its slave side, for the tests in the VM. The line
 * can also be a UART with the line master on the host (line_use_uart). */
#ifndef TARN_VM_LINEMASTER_H
#define TARN_VM_LINEMASTER_H

#include <stddef.h>
#include <stdint.h>

struct pty {
	int master;	/* the line master's end, or the channel to it (remote) */
	int slave;	/* a station's end, in the discipline */
	char path[64];	/* the slave's device path */
	int disc;
	int remote;	/* a UART whose line master is on the host */
};

/* Hex text "02 41 10" to bytes; returns the count (at most size). */
size_t unhex(const char *hex, uint8_t *out, size_t size);
/* Bytes to "02 41 10" in out (NUL-terminated). */
const char *hexstr(const uint8_t *in, size_t n, char *out, size_t size);

/* Mounts devpts on /dev/pts unless it is there (a bare initramfs). */
int pty_mount(void);
/* Opens a pty pair and switches its slave to the discipline. 0 or -errno. */
int pty_open(struct pty *p, int disc);
void pty_close(struct pty *p);
/* Another open of the slave, with extra open flags (O_NONBLOCK). */
int pty_open_slave(const struct pty *p, int flags);

/* Line master: sends bytes; checks the station's answer, exactly, within
 * timeout_ms and nothing more for quiet_ms after it. */
int lm_send(const struct pty *p, const char *hex);
int lm_send_bytes(const struct pty *p, const uint8_t *b, size_t n);
int lm_expect(const struct pty *p, const char *hex, int timeout_ms, int quiet_ms);
/* Reads what the station sent within ms; returns the count. */
size_t lm_collect(const struct pty *p, uint8_t *buf, size_t size, int ms);
/* Sends, then waits up to ms for an answer of `answer` bytes; returns the
 * time from sending to the whole answer, taken at the line master, in
 * microseconds, or -1. */
int64_t lm_exchange(const struct pty *p, const char *hex, size_t answer, int ms);
int64_t lm_exchange_bytes(const struct pty *p, const uint8_t *b, size_t n, size_t answer,
			  int ms);

/* Station: a station ioctl with the id byte; returns 0 or -errno. */
int st_cmd(int fd, unsigned int cmd, int id);
/* Registers and resumes. */
int st_resume(int fd, int id);
/* Next message within timeout_ms, length or -errno (-ETIMEDOUT). */
int st_read(int fd, uint8_t *buf, size_t size, int timeout_ms);
/* Next message equals hex. */
int st_expect(int fd, const char *hex, int timeout_ms);
/* No message arrives within ms. */
int st_none(int fd, int ms);
/* Write of the hex bytes; result of write() or -errno. */
long st_write(int fd, const char *hex);
/* FIONREAD / TIOCOUTQ counts, -errno on failure. */
int st_inq(int fd);
int st_outq(int fd);

/* Monotonic time in microseconds. */
uint64_t now_us(void);
void sleep_ms(int ms);

/* Test reporting: a failed check prints a diagnostic and fails the case. */
extern int case_failed;
#define CHECK(cond, ...)							\
	do {								\
		if (!(cond)) {						\
			case_failed = 1;				\
			printf("# %s:%d: check failed: %s: ", __FILE__, __LINE__, #cond); \
			printf(__VA_ARGS__);				\
			printf("\n");					\
			fflush(stdout);					\
		}							\
	} while (0)

#endif
