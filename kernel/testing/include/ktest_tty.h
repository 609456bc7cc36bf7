/* Test-facing side of the task, wait-queue and tty doubles: a tty core that
 * drives a line discipline the way the 4.1 tty layer does (an ldisc
 * reference around every call, the exclusive lock for open and close,
 * atomic_write_lock around writes, hangup while other calls run), a serial
 * driver that records what is written to it, signals for sleeping tasks,
 * recording poll tables and SIGIO subscribers. Safe from any thread. */
#ifndef KTEST_TTY_H
#define KTEST_TTY_H

#include <stddef.h>
#include <sys/types.h>

#include <linux/fs.h>
#include <linux/poll.h>
#include <linux/tty.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Tasks. ktest_current() is the calling thread's task; it lives until the
 * thread ends. */
struct task_struct *ktest_current(void);
/* Makes a signal pending: an interruptible sleeper wakes, later sleeps
 * return at once, until cleared. */
void ktest_task_signal(struct task_struct *t);
void ktest_task_clear_signal(struct task_struct *t);
/* Waits up to timeout_ms for the task to sleep in schedule(); 1 if it does. */
int ktest_task_wait_asleep(struct task_struct *t, int timeout_ms);
/* Times the task has gone to sleep. */
long ktest_task_sleeps(struct task_struct *t);
/* Runs fn(arg) once, on the thread that next adds a waiter to q, before the
 * waiter joins it: a test acts in the window between a caller's last check
 * and its sleep. */
void ktest_wait_queue_hook(wait_queue_head_t *q, void (*fn)(void *), void *arg);

/* A tty with a recording serial driver and no line discipline yet. */
struct tty_struct *ktest_tty_alloc(const char *name);
/* Closes the discipline, if any, and frees the tty (files stay valid). */
void ktest_tty_free(struct tty_struct *tty);

/* TIOCSETD: closes the current discipline, opens `disc`; on failure of the
 * new discipline's open the tty is left without one and the result is
 * returned. -EINVAL for an unregistered number. */
int ktest_tty_set_ldisc(struct tty_struct *tty, int disc);
/* Number of the tty's discipline, -1 for none. */
int ktest_tty_ldisc(struct tty_struct *tty);

/* Files on the tty; hangup marks every open one as hung up. */
struct file *ktest_file_open(struct tty_struct *tty, unsigned int f_flags);
void ktest_file_close(struct file *file);

/* The tty core's file operations. A hung-up file reads 0, writes -EIO,
 * polls all events; without a discipline the calls give -EIO (poll 0). */
ssize_t ktest_tty_read(struct tty_struct *tty, struct file *file, void *buf, size_t nr);
/* The user's data goes to the discipline in one kernel buffer, under
 * atomic_write_lock (-EAGAIN with O_NONBLOCK when it is held); write_wait is
 * woken afterwards. */
ssize_t ktest_tty_write(struct tty_struct *tty, struct file *file, const void *buf, size_t nr);
int ktest_tty_ioctl(struct tty_struct *tty, struct file *file, unsigned int cmd, unsigned long arg);
unsigned int ktest_tty_poll(struct tty_struct *tty, struct file *file, poll_table *wait);

/* The receive worker: hands at most receive_room bytes to receive_buf.
 * flags may be NULL. */
void ktest_tty_receive(struct tty_struct *tty, const unsigned char *cp, const char *flags, int count);
/* Hangup as the 4.1 core does it: the discipline's hangup while other calls
 * may still run, wake both queues, then under the exclusive lock close the
 * discipline and leave the tty without one. Marks every open file hung up. */
void ktest_tty_hangup(struct tty_struct *tty);
/* Reopen after a hangup: reinstalls the tty's last discipline. */
int ktest_tty_reopen(struct tty_struct *tty);
/* The other side of a pty closes (set) or reopens (clear); wakes readers. */
void ktest_tty_other_closed(struct tty_struct *tty, int closed);

/* Serial driver output: copies and forgets up to `size` bytes written so
 * far; returns the number copied. */
size_t ktest_tty_take_output(struct tty_struct *tty, unsigned char *buf, size_t size);
size_t ktest_tty_output_len(struct tty_struct *tty);
/* Runs fn(arg) once, on the writing thread, after the serial driver has
 * recorded its next write: a test acts in the middle of a receive call. */
void ktest_tty_output_hook(struct tty_struct *tty, void (*fn)(void *), void *arg);

/* Registered discipline operations of `disc`, or NULL. */
struct tty_ldisc_ops *ktest_ldisc_ops(int disc);

/* n_tty_ioctl_helper: records the command and returns `result`
 * (-ENOIOCTLCMD until set). */
void ktest_n_tty_helper_result(int result);
unsigned int ktest_n_tty_helper_last_cmd(void);
long ktest_n_tty_helper_calls(void);

/* A poll table that records the queues poll_wait registers. */
struct ktest_poll_table {
	poll_table pt;	/* first: poll_wait gets this */
	wait_queue_head_t *queues[8];
	int count;
};
void ktest_poll_table_init(struct ktest_poll_table *t);

#ifdef __cplusplus
}
#endif

#endif
