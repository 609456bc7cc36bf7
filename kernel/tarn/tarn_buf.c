// SPDX-License-Identifier: GPL-2.0
/*
 * Buffer pool: at most N_TARN_BUF_MAX buffers exist, up to N_TARN_BUF_IDLE
 * idle ones wait in free_buf_list so that the steady flow of small messages
 * stays off the heap.
 *
 * used_buf_count changes only under the free list's lock, and an allocation
 * reserves its slot there before it goes to the heap, so the bound holds
 * however many receive workers and processes allocate at once.
 */
#include <linux/sched.h>
#include <linux/slab.h>
#include <linux/spinlock.h>
#include <linux/wait.h>

#include "tarn_buf.h"

struct n_tarn_buf_list free_buf_list = {
	.lock = __SPIN_LOCK_UNLOCKED(free_buf_list.lock),
};
int used_buf_count;
DECLARE_WAIT_QUEUE_HEAD(n_tarn_buf_wait);

struct n_tarn_buf_list *n_tarn_buf_list_init(struct n_tarn_buf_list *list)
{
	list->head = NULL;
	list->tail = NULL;
	list->count = 0;
	spin_lock_init(&list->lock);
	return list;
}

static void __n_tarn_buf_put(struct n_tarn_buf_list *list, struct n_tarn_buf *buf)
{
	buf->next = NULL;
	if (list->tail)
		list->tail->next = buf;
	else
		list->head = buf;
	list->tail = buf;
	list->count++;
}

static struct n_tarn_buf *__n_tarn_buf_get(struct n_tarn_buf_list *list)
{
	struct n_tarn_buf *buf = list->head;

	if (buf) {
		list->head = buf->next;
		buf->next = NULL;
		list->count--;
	}
	if (!list->head)
		list->tail = NULL;
	return buf;
}

void n_tarn_buf_put(struct n_tarn_buf_list *list, struct n_tarn_buf *buf)
{
	unsigned long flags;

	spin_lock_irqsave(&list->lock, flags);
	__n_tarn_buf_put(list, buf);
	spin_unlock_irqrestore(&list->lock, flags);
}

struct n_tarn_buf *n_tarn_buf_get(struct n_tarn_buf_list *list)
{
	struct n_tarn_buf *buf;
	unsigned long flags;

	spin_lock_irqsave(&list->lock, flags);
	buf = __n_tarn_buf_get(list);
	spin_unlock_irqrestore(&list->lock, flags);
	return buf;
}

int n_tarn_buf_count(struct n_tarn_buf_list *list)
{
	unsigned long flags;
	int count;

	spin_lock_irqsave(&list->lock, flags);
	count = list->count;
	spin_unlock_irqrestore(&list->lock, flags);
	return count;
}

struct n_tarn_buf *n_tarn_buf_alloc(void)
{
	struct n_tarn_buf *buf;
	unsigned long flags;

	spin_lock_irqsave(&free_buf_list.lock, flags);
	buf = __n_tarn_buf_get(&free_buf_list);
	if (!buf && used_buf_count >= N_TARN_BUF_MAX) {
		spin_unlock_irqrestore(&free_buf_list.lock, flags);
		return NULL;
	}
	used_buf_count++;
	spin_unlock_irqrestore(&free_buf_list.lock, flags);

	if (!buf) {
		buf = kmalloc(sizeof(*buf), GFP_KERNEL);
		if (!buf) {
			spin_lock_irqsave(&free_buf_list.lock, flags);
			used_buf_count--;
			spin_unlock_irqrestore(&free_buf_list.lock, flags);
			return NULL;
		}
	}
	buf->len = 0;
	buf->next = NULL;
	return buf;
}

void n_tarn_buf_free(struct n_tarn_buf *buf)
{
	unsigned long flags;

	if (!buf)
		return;
	spin_lock_irqsave(&free_buf_list.lock, flags);
	used_buf_count--;
	if (free_buf_list.count < N_TARN_BUF_IDLE) {
		__n_tarn_buf_put(&free_buf_list, buf);
		buf = NULL;
	}
	spin_unlock_irqrestore(&free_buf_list.lock, flags);
	kfree(buf);
	wake_up_interruptible(&n_tarn_buf_wait);
}

void n_tarn_buf_list_free(struct n_tarn_buf_list *list)
{
	struct n_tarn_buf *buf;

	while ((buf = n_tarn_buf_get(list)))
		n_tarn_buf_free(buf);
}

void n_tarn_buf_pool_init(void)
{
	struct n_tarn_buf *buf;
	int i;

	n_tarn_buf_list_init(&free_buf_list);
	for (i = 0; i < N_TARN_BUF_IDLE; i++) {
		buf = kmalloc(sizeof(*buf), GFP_KERNEL);
		if (buf)
			n_tarn_buf_put(&free_buf_list, buf);
	}
}

void n_tarn_buf_pool_free(void)
{
	struct n_tarn_buf *buf;

	while ((buf = n_tarn_buf_get(&free_buf_list)))
		kfree(buf);
}
