/* Named fault points and the reset of every double. */
#include <pthread.h>
#include <string.h>

#include <ktest.h>

#include "internal.h"

#define MAX_POINTS 64
#define NAME_LEN 48

struct point {
	char name[NAME_LEN];
	int skip;	/* passing calls left before failures start */
	int count;	/* failures left; -1 = unlimited; 0 = disarmed */
	long calls;
};

static pthread_mutex_t fault_lock = PTHREAD_MUTEX_INITIALIZER;
static struct point points[MAX_POINTS];
static int npoints;

static struct point *find_point(const char *name, int create)
{
	int i;

	for (i = 0; i < npoints; i++)
		if (strcmp(points[i].name, name) == 0)
			return &points[i];
	if (!create || npoints == MAX_POINTS)
		return NULL;
	memset(&points[npoints], 0, sizeof(points[npoints]));
	strncpy(points[npoints].name, name, NAME_LEN - 1);
	return &points[npoints++];
}

void ktest_fault_set(const char *name, int skip, int count)
{
	struct point *p;

	pthread_mutex_lock(&fault_lock);
	p = find_point(name, 1);
	if (p) {
		p->skip = skip;
		p->count = count;
	}
	pthread_mutex_unlock(&fault_lock);
}

void ktest_fault_clear(const char *name)
{
	ktest_fault_set(name, 0, 0);
}

int ktest_fault_hit(const char *name)
{
	struct point *p;
	int fail = 0;

	pthread_mutex_lock(&fault_lock);
	p = find_point(name, 1);
	if (p) {
		p->calls++;
		if (p->skip > 0) {
			p->skip--;
		} else if (p->count != 0) {
			fail = 1;
			if (p->count > 0)
				p->count--;
		}
	}
	pthread_mutex_unlock(&fault_lock);
	return fail;
}

long ktest_fault_calls(const char *name)
{
	struct point *p;
	long calls = 0;

	pthread_mutex_lock(&fault_lock);
	p = find_point(name, 0);
	if (p)
		calls = p->calls;
	pthread_mutex_unlock(&fault_lock);
	return calls;
}

void ktest_faults_reset(void)
{
	pthread_mutex_lock(&fault_lock);
	npoints = 0;
	pthread_mutex_unlock(&fault_lock);
}

void ktest_reset(void)
{
	ktest_faults_reset();
	ktest_log_reset();
	ktest_memory_reset();
	ktest_uaccess_reset();
	ktest_dma_reset();
	ktest_device_reset();
	ktest_files_reset();
	ktest_tty_reset();
	ktest_sched_reset();
}
