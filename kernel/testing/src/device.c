/* Device and node references, and the device tree of registered nodes. */
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include <ktest_devices.h>
#include <linux/of_platform.h>

#include "counter.h"
#include "internal.h"

static pthread_mutex_t dev_lock = PTHREAD_MUTEX_INITIALIZER;
static struct ktest_counter device_refs, node_refs;
static struct device_node *nodes;

struct device *get_device(struct device *dev)
{
	if (dev)
		ktest_counter_add(&device_refs, 1);
	return dev;
}

void put_device(struct device *dev)
{
	if (dev)
		ktest_counter_add(&device_refs, -1);
}

struct device_node *of_node_get(struct device_node *node)
{
	if (node)
		ktest_counter_add(&node_refs, 1);
	return node;
}

void of_node_put(struct device_node *node)
{
	if (node)
		ktest_counter_add(&node_refs, -1);
}

struct device_node *of_find_compatible_node(struct device_node *from, const char *type,
					    const char *compatible)
{
	struct device_node *np;

	(void)type;
	pthread_mutex_lock(&dev_lock);
	for (np = from ? from->next : nodes; np; np = np->next)
		if (strcmp(np->compatible, compatible) == 0)
			break;
	pthread_mutex_unlock(&dev_lock);
	if (np)
		ktest_counter_add(&node_refs, 1);
	/* As in the kernel, the reference on `from` is dropped. */
	of_node_put(from);
	return np;
}

struct platform_device *of_find_device_by_node(struct device_node *np)
{
	struct platform_device *pdev = np ? np->pdev : NULL;

	if (pdev)
		get_device(&pdev->dev);
	return pdev;
}

struct device_node *ktest_of_add(const char *compatible, struct platform_device *pdev)
{
	struct device_node *np = calloc(1, sizeof(*np)), **tail;

	if (!np)
		return NULL;
	np->name = compatible;
	np->compatible = compatible;
	np->pdev = pdev;
	pthread_mutex_lock(&dev_lock);
	for (tail = &nodes; *tail; tail = &(*tail)->next)
		;
	*tail = np;
	pthread_mutex_unlock(&dev_lock);
	return np;
}

void ktest_of_remove(struct device_node *np)
{
	struct device_node **p;

	pthread_mutex_lock(&dev_lock);
	for (p = &nodes; *p; p = &(*p)->next) {
		if (*p == np) {
			*p = np->next;
			free(np);
			break;
		}
	}
	pthread_mutex_unlock(&dev_lock);
}

long ktest_device_refs(void)
{
	return ktest_counter_read(&device_refs);
}

long ktest_of_node_refs(void)
{
	return ktest_counter_read(&node_refs);
}

void ktest_device_reset(void)
{
	pthread_mutex_lock(&dev_lock);
	while (nodes) {
		struct device_node *np = nodes;

		nodes = np->next;
		free(np);
	}
	pthread_mutex_unlock(&dev_lock);
	ktest_counter_set(&device_refs, 0);
	ktest_counter_set(&node_refs, 0);
}
