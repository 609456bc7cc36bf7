/* Poll tables: poll_wait hands each queue to the table's callback, as in the
 * kernel; ktest_tty.h has a table that records the queues. */
#ifndef KTEST_LINUX_POLL_H
#define KTEST_LINUX_POLL_H
#include_next <linux/poll.h>
#include <linux/fs.h>
#include <linux/wait.h>

typedef struct poll_table_struct {
	void (*_qproc)(struct file *filp, wait_queue_head_t *q, struct poll_table_struct *p);
	unsigned long _key;
} poll_table;

static inline void poll_wait(struct file *filp, wait_queue_head_t *q, poll_table *p)
{
	if (p && p->_qproc && q)
		p->_qproc(filp, q, p);
}
#endif
