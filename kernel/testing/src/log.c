/* printk into an in-memory kernel log that tests read back. */
#define _GNU_SOURCE
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <ktest.h>
#include <linux/printk.h>

#include "counter.h"
#include "internal.h"

struct entry {
	int level;
	char *text;
};

static pthread_mutex_t log_lock = PTHREAD_MUTEX_INITIALIZER;
static struct entry *entries;
static size_t used, room;

int printk(const char *fmt, ...)
{
	int level = 4;
	char *text = NULL;
	va_list ap;
	int n;

	if (fmt[0] == KERN_SOH[0] && fmt[1] >= '0' && fmt[1] <= '7') {
		level = fmt[1] - '0';
		fmt += 2;
	} else if (fmt[0] == KERN_SOH[0] && fmt[1] == 'c') {
		fmt += 2;
	}
	va_start(ap, fmt);
	n = vasprintf(&text, fmt, ap);
	va_end(ap);
	if (n < 0)
		return 0;
	if (n > 0 && text[n - 1] == '\n')
		text[n - 1] = '\0';
	if (getenv("KTEST_VERBOSE"))
		fprintf(stderr, "<%d>%s\n", level, text);

	pthread_mutex_lock(&log_lock);
	if (used == room) {
		size_t grown = room ? room * 2 : 64;
		struct entry *more = realloc(entries, grown * sizeof(*more));

		if (!more) {
			pthread_mutex_unlock(&log_lock);
			free(text);
			return 0;
		}
		entries = more;
		room = grown;
	}
	entries[used].level = level;
	entries[used].text = text;
	used++;
	pthread_mutex_unlock(&log_lock);
	return n;
}

size_t ktest_log_count(void)
{
	return ktest_locked(&log_lock, used);
}

int ktest_log_level(size_t index)
{
	int level = -1;

	pthread_mutex_lock(&log_lock);
	if (index < used)
		level = entries[index].level;
	pthread_mutex_unlock(&log_lock);
	return level;
}

int ktest_log_text(size_t index, char *buf, size_t size)
{
	int len = -1;

	pthread_mutex_lock(&log_lock);
	if (index < used) {
		len = (int)strlen(entries[index].text);
		snprintf(buf, size, "%s", entries[index].text);
	}
	pthread_mutex_unlock(&log_lock);
	return len;
}

size_t ktest_log_find(const char *needle, int max_level)
{
	size_t i, n = 0;

	pthread_mutex_lock(&log_lock);
	for (i = 0; i < used; i++)
		if (entries[i].level <= max_level && strstr(entries[i].text, needle))
			n++;
	pthread_mutex_unlock(&log_lock);
	return n;
}

void ktest_log_dump(void)
{
	size_t i;

	pthread_mutex_lock(&log_lock);
	for (i = 0; i < used; i++)
		fprintf(stderr, "<%d>%s\n", entries[i].level, entries[i].text);
	pthread_mutex_unlock(&log_lock);
}

void ktest_log_reset(void)
{
	size_t i;

	pthread_mutex_lock(&log_lock);
	for (i = 0; i < used; i++)
		free(entries[i].text);
	free(entries);
	entries = NULL;
	used = room = 0;
	pthread_mutex_unlock(&log_lock);
}
