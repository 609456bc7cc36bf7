/* SPDX-License-Identifier: GPL-2.0 */
/*
 * The module-wide pool of fixed-size buffers that hold every frame and
 * reader message, and the FIFO list type shared by the pool and the ttys'
 * reader queues.
 */
#ifndef TARN_BUF_H
#define TARN_BUF_H

#include <linux/spinlock.h>
#include <linux/types.h>
#include <linux/wait.h>

#define N_TARN_BUF_SIZE		512	/* the largest frame: 511 bytes */
#define N_TARN_BUF_MAX		64	/* buffers in existence at most */
#define N_TARN_BUF_IDLE		10	/* idle buffers kept for reuse */

struct n_tarn_buf {
	unsigned char data[N_TARN_BUF_SIZE];
	int len;
	struct n_tarn_buf *next;
};

struct n_tarn_buf_list {
	struct n_tarn_buf *head;	/* oldest */
	struct n_tarn_buf *tail;	/* newest */
	int count;
	spinlock_t lock;
};

extern struct n_tarn_buf_list free_buf_list;
/* Buffers handed out and not yet released; changed under free_buf_list.lock. */
extern int used_buf_count;
/* Woken whenever a buffer is released: writers of any tty may be waiting
 * for one. */
extern wait_queue_head_t n_tarn_buf_wait;

struct n_tarn_buf_list *n_tarn_buf_list_init(struct n_tarn_buf_list *list);
void n_tarn_buf_put(struct n_tarn_buf_list *list, struct n_tarn_buf *buf);
struct n_tarn_buf *n_tarn_buf_get(struct n_tarn_buf_list *list);
int n_tarn_buf_count(struct n_tarn_buf_list *list);
struct n_tarn_buf *n_tarn_buf_alloc(void);
void n_tarn_buf_free(struct n_tarn_buf *buf);
void n_tarn_buf_list_free(struct n_tarn_buf_list *list);
void n_tarn_buf_pool_init(void);
void n_tarn_buf_pool_free(void);

#endif /* TARN_BUF_H */
