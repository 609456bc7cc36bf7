// SPDX-License-Identifier: GPL-2.0
/* The CAAM stand-in's host build: OpenSSL for AES, the kernel doubles for
 * devices, DMA and faults, and a worker thread as the rings' completion
 * context. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <openssl/rand.h>

#include <ktest.h>
#include <ktest_devices.h>
#include <linux/dma-mapping.h>
#include <linux/of_platform.h>

#include "caam_sim.h"
#include "desc.h"
#include "caam_sim_host.h"
#include "caam_sim_plat.h"

static struct {
	struct platform_device ctrl, sm, jr[CAAM_SIM_MAX_RINGS];
	struct device_node *node;
	pthread_t worker;
	pthread_mutex_t lock;
	pthread_cond_t wake;
	struct caam_sim_job *head, *tail;
	bool stopping, running;
	struct caam_sim_trace trace[64];
	size_t ntrace;
	unsigned long jobs;
} host = { .lock = PTHREAD_MUTEX_INITIALIZER, .wake = PTHREAD_COND_INITIALIZER };

int csim_aes(const u8 *key, unsigned int keylen, const u8 *iv, const u8 *in, u8 *out,
	     unsigned int len, bool encrypt)
{
	const EVP_CIPHER *cipher;
	EVP_CIPHER_CTX *c;
	int n = 0, ok;

	if (keylen == 16)
		cipher = iv ? EVP_aes_128_cbc() : EVP_aes_128_ecb();
	else if (keylen == 32)
		cipher = iv ? EVP_aes_256_cbc() : EVP_aes_256_ecb();
	else
		return -EINVAL;
	if (len % 16)
		return -EINVAL;
	c = EVP_CIPHER_CTX_new();
	if (!c)
		return -ENOMEM;
	ok = EVP_CipherInit_ex(c, cipher, NULL, key, iv, encrypt) &&
	     EVP_CIPHER_CTX_set_padding(c, 0) &&
	     EVP_CipherUpdate(c, out, &n, in, (int)len) && n == (int)len;
	EVP_CIPHER_CTX_free(c);
	return ok ? 0 : -EIO;
}

void csim_random(u8 *buf, unsigned int len)
{
	if (RAND_bytes(buf, (int)len) != 1)
		abort();	/* no randomness: nothing safe to do */
}

void *csim_alloc(size_t size)
{
	return calloc(1, size ? size : 1);
}

void csim_free(void *ptr)
{
	free(ptr);
}

void *csim_bus_to_virt(struct device *dev, u32 addr, size_t len, bool device_writes)
{
	(void)dev;
	return ktest_dma_resolve(addr, len, device_writes);
}

bool csim_fault(const char *point)
{
	return ktest_fault_hit(point);
}

/* Records a queued descriptor (and its S/G table) for tests; caller holds
 * host.lock. */
static void trace_job(const struct caam_sim_job *job)
{
	struct caam_sim_trace *t;
	const struct sec4_sg_entry *e;
	u32 i;

	if (host.ntrace == ARRAY_SIZE(host.trace))
		return;
	t = &host.trace[host.ntrace++];
	memset(t, 0, sizeof(*t));
	t->nwords = min_t(u32, job->desc_bytes / sizeof(u32), CAAM_SIM_TRACE_WORDS);
	memcpy(t->words, job->desc, t->nwords * sizeof(u32));
	if (t->nwords < 7 || (t->words[5] & CMD_MASK) != CMD_FIFO_LOAD ||
	    !(t->words[5] & FIFOLDST_SGF))
		return;
	for (i = 0; i < CAAM_SIM_TRACE_ENTRIES; i++) {
		e = ktest_dma_resolve(t->words[6] + i * sizeof(*e), sizeof(*e), 0);
		if (!e)
			break;
		t->entry_len[t->nentries++] = e->len;
		if (e->len & SEC4_SG_LEN_FIN)
			break;
	}
}

size_t caam_sim_host_trace(struct caam_sim_trace *out, size_t max)
{
	size_t n;

	pthread_mutex_lock(&host.lock);
	n = host.ntrace;
	memcpy(out, host.trace, min(n, max) * sizeof(*out));
	pthread_mutex_unlock(&host.lock);
	return n;
}

unsigned long caam_sim_host_jobs(void)
{
	unsigned long n;

	pthread_mutex_lock(&host.lock);
	n = host.jobs;
	pthread_mutex_unlock(&host.lock);
	return n;
}

void caam_sim_host_trace_reset(void)
{
	pthread_mutex_lock(&host.lock);
	host.ntrace = 0;
	pthread_mutex_unlock(&host.lock);
}

int csim_queue(struct caam_sim_job *job)
{
	pthread_mutex_lock(&host.lock);
	trace_job(job);
	if (!host.running) {
		pthread_mutex_unlock(&host.lock);
		return -ENODEV;
	}
	job->next = NULL;
	if (host.tail)
		host.tail->next = job;
	else
		host.head = job;
	host.tail = job;
	pthread_cond_signal(&host.wake);
	pthread_mutex_unlock(&host.lock);
	return 0;
}

static void *worker_main(void *unused)
{
	struct caam_sim_job *job;

	(void)unused;
	pthread_mutex_lock(&host.lock);
	for (;;) {
		while (!host.head && !host.stopping)
			pthread_cond_wait(&host.wake, &host.lock);
		job = host.head;
		if (!job)
			break;	/* stopping, queue drained */
		host.head = job->next;
		if (!host.head)
			host.tail = NULL;
		host.jobs++;
		pthread_mutex_unlock(&host.lock);
		caam_sim_run(job);
		pthread_mutex_lock(&host.lock);
	}
	pthread_mutex_unlock(&host.lock);
	return NULL;
}

/* Reads the master key, or creates the file with a new random key. */
static int load_master_key(const char *path, u8 *key)
{
	u8 buf[CAAM_SIM_MASTER_KEY_LEN + 1];
	ssize_t n;
	int fd;

	fd = open(path, O_RDONLY | O_CLOEXEC);
	if (fd < 0 && errno == ENOENT) {
		csim_random(key, CAAM_SIM_MASTER_KEY_LEN);
		fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
		if (fd < 0)
			goto fail;
		n = write(fd, key, CAAM_SIM_MASTER_KEY_LEN);
		if (n != CAAM_SIM_MASTER_KEY_LEN || fsync(fd) || close(fd)) {
			unlink(path);
			goto fail;
		}
		return 0;
	}
	if (fd < 0)
		goto fail;
	n = read(fd, buf, sizeof(buf));
	close(fd);
	if (n == CAAM_SIM_MASTER_KEY_LEN) {
		memcpy(key, buf, CAAM_SIM_MASTER_KEY_LEN);
		memset(buf, 0, sizeof(buf));
		return 0;
	}
	fprintf(stderr, "caam-sim: %s: a master key file holds exactly %d bytes\n", path,
		CAAM_SIM_MASTER_KEY_LEN);
	return -EINVAL;
fail:
	fprintf(stderr, "caam-sim: %s: %s\n", path, strerror(errno));
	return -errno;
}

static void init_device(struct platform_device *pdev, const char *name, int id)
{
	memset(pdev, 0, sizeof(*pdev));
	pdev->name = name;
	pdev->id = id;
	pdev->dev.init_name = name;
	pdev->dev.coherent_dma_mask = DMA_BIT_MASK(32);
	pdev->dev.dma_mask = &pdev->dev.coherent_dma_mask;
}

void caam_sim_host_defaults(struct caam_sim_host_config *cfg)
{
	memset(cfg, 0, sizeof(*cfg));
	cfg->compatible = "fsl,sec-v4.0";
	cfg->units = 2;
	cfg->rings = 2;
}

int caam_sim_host_start(const struct caam_sim_host_config *cfg)
{
	static const char *const jr_names[CAAM_SIM_MAX_RINGS] = {
		"caam-jr0", "caam-jr1", "caam-jr2", "caam-jr3",
	};
	struct device *jrdevs[CAAM_SIM_MAX_RINGS];
	struct caam_sim_params params = {
		.units = cfg->units,
		.rings = cfg->rings,
		.no_ctrl_drvdata = cfg->no_ctrl_drvdata,
		.no_sm_drvdata = cfg->no_sm_drvdata,
		.no_jr_drvdata = cfg->no_jr_drvdata,
	};
	int i, ret;

	if (host.running || cfg->rings < 0 || cfg->rings > CAAM_SIM_MAX_RINGS)
		return -EINVAL;
	if (cfg->master_key_file)
		ret = load_master_key(cfg->master_key_file, params.master_key);
	else
		ret = (csim_random(params.master_key, sizeof(params.master_key)), 0);
	if (ret)
		return ret;
	init_device(&host.ctrl, "caam", -1);
	init_device(&host.sm, "caam-sm", -1);
	for (i = 0; i < cfg->rings; i++) {
		init_device(&host.jr[i], jr_names[i], i);
		jrdevs[i] = &host.jr[i].dev;
	}
	ret = caam_sim_attach(&params, &host.ctrl.dev, &host.sm.dev, jrdevs);
	memset(params.master_key, 0, sizeof(params.master_key));
	if (ret)
		return ret;
	host.head = host.tail = NULL;
	host.ntrace = 0;
	host.jobs = 0;
	host.stopping = false;
	host.running = true;
	if (pthread_create(&host.worker, NULL, worker_main, NULL)) {
		host.running = false;
		caam_sim_detach();
		return -EAGAIN;
	}
	host.node = cfg->compatible ?
		ktest_of_add(cfg->compatible, cfg->no_device ? NULL : &host.ctrl) : NULL;
	return 0;
}

void caam_sim_host_stop(void)
{
	if (!host.running)
		return;
	pthread_mutex_lock(&host.lock);
	host.stopping = true;
	pthread_cond_signal(&host.wake);
	pthread_mutex_unlock(&host.lock);
	pthread_join(host.worker, NULL);
	host.running = false;
	if (host.node)
		ktest_of_remove(host.node);
	host.node = NULL;
	caam_sim_detach();
}
