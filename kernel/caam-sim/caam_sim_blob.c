// SPDX-License-Identifier: GPL-2.0
/*
 * CAAM stand-in, blobs: a slot's key exported as a blob of key length + 48
 * bytes and imported back. The blob key is random, wrapped under a key
 * derived from the device master key and the first 8 bytes of the key
 * modifier; the key is CTR-encrypted and carries a CBC-MAC.
 */
#include "caam_sim_core.h"

/* The key that wraps blob keys: the master key applied to the key modifier
 * (8 bytes) and a label. */
static int csim_blob_kek(const u8 *keymod, u8 *kek)
{
	u8 in[32];
	int ret;

	memcpy(in, keymod, CSIM_KEYMOD_LEN);
	memcpy(in + 8, "blobkek0", 8);
	memcpy(in + 16, keymod, CSIM_KEYMOD_LEN);
	memcpy(in + 24, "blobkek1", 8);
	ret = csim_aes(csim->master_key, sizeof(csim->master_key), NULL, in, kek, 32, true);
	memzero_explicit(in, sizeof(in));
	return ret;
}

/* CTR keystream block `n` under the blob key; block 0 masks the MAC. */
static int csim_ctr_block(const u8 *bk, u32 n, u8 *out)
{
	u8 ctr[CSIM_BLOCK] = { 'b', 'l', 'o', 'b', 'c', 't', 'r' };

	ctr[12] = n >> 24;
	ctr[13] = n >> 16;
	ctr[14] = n >> 8;
	ctr[15] = n;
	return csim_aes(bk, 32, NULL, ctr, out, CSIM_BLOCK, true);
}

/* Masked CBC-MAC of the key length and the plain key. */
static int csim_blob_mac(const u8 *bk, const u8 *key, u16 keylen, u8 *mac)
{
	u8 buf[CSIM_BLOCK + CSIM_SLOT_SIZE] = { 'b', 'l', 'o', 'b', 'm', 'a', 'c' };
	u8 iv[CSIM_BLOCK] = { 0 }, mask[CSIM_BLOCK];
	u32 len = CSIM_BLOCK + AES_BLOCK_PAD(keylen), i;
	int ret;

	buf[14] = keylen >> 8;
	buf[15] = keylen;
	memcpy(buf + CSIM_BLOCK, key, keylen);
	ret = csim_aes(bk, 32, iv, buf, buf, len, true) ?: csim_ctr_block(bk, 0, mask);
	for (i = 0; i < CSIM_BLOCK; i++)
		mac[i] = buf[len - CSIM_BLOCK + i] ^ mask[i];
	memzero_explicit(buf, sizeof(buf));
	return ret;
}

static int csim_ctr_crypt(const u8 *bk, const u8 *in, u8 *out, u16 len)
{
	u8 ks[CSIM_BLOCK];
	u32 i;

	for (i = 0; i < len; i++) {
		if (i % CSIM_BLOCK == 0 && csim_ctr_block(bk, 1 + i / CSIM_BLOCK, ks))
			return -EIO;
		out[i] = in[i] ^ ks[i % CSIM_BLOCK];
	}
	memzero_explicit(ks, sizeof(ks));
	return 0;
}

/* blob = wrapped blob key (32) | key under the blob key (keylen) | MAC (16) */
static int csim_blob_encap(const u8 *key, u16 keylen, const u8 *keymod, u8 *blob)
{
	u8 kek[32], bk[32];
	int ret;

	csim_random(bk, sizeof(bk));
	ret = csim_blob_kek(keymod, kek) ?:
	      csim_aes(kek, sizeof(kek), NULL, bk, blob, sizeof(bk), true) ?:
	      csim_ctr_crypt(bk, key, blob + 32, keylen) ?:
	      csim_blob_mac(bk, key, keylen, blob + 32 + keylen);
	memzero_explicit(kek, sizeof(kek));
	memzero_explicit(bk, sizeof(bk));
	return ret ? -EIO : 0;
}

static int csim_blob_decap(const u8 *blob, u16 keylen, const u8 *keymod, u8 *key)
{
	u8 kek[32], bk[32], mac[CSIM_BLOCK], diff = 0;
	int ret, i;

	ret = csim_blob_kek(keymod, kek) ?:
	      csim_aes(kek, sizeof(kek), NULL, blob, bk, sizeof(bk), false) ?:
	      csim_ctr_crypt(bk, blob + 32, key, keylen) ?:
	      csim_blob_mac(bk, key, keylen, mac);
	for (i = 0; i < CSIM_BLOCK; i++)
		diff |= mac[i] ^ blob[32 + keylen + i];
	if (ret || diff) {
		memzero_explicit(key, keylen);
		ret = -EIO;
	}
	memzero_explicit(kek, sizeof(kek));
	memzero_explicit(bk, sizeof(bk));
	return ret;
}

/* One export or import: the slot's key on its way to or from a blob. */
struct csim_blob_job {
	u8 key[CSIM_SLOT_SIZE];
	u16 keylen;
	u8 keycolor;
	u8 *keymod;
	u8 *blob;
};

/* The slot's key, uncovered when it is black, wrapped into a blob. */
static int csim_export_op(u8 *data, struct csim_blob_job *job)
{
	int ret;

	memcpy(job->key, data, job->keylen);
	ret = job->keycolor == BLACK_KEY ? csim_cover(job->key, job->keylen, false) : 0;
	return ret ?: csim_blob_encap(job->key, job->keylen, job->keymod, job->blob);
}

/* The blob's key, covered when it is to be black, into the slot. */
static int csim_import_op(u8 *data, struct csim_blob_job *job)
{
	int ret = csim_blob_decap(job->blob, job->keylen, job->keymod, job->key);

	if (!ret && job->keycolor == BLACK_KEY)
		ret = csim_cover(job->key, job->keylen, true);
	if (!ret)
		memcpy(data, job->key, job->keylen);
	return ret;
}

/*
 * Export and import: both refuse another cover, a key length a slot cannot
 * hold, and a failure that a test asked for at point; then op runs on the
 * allocated slot under the key store lock (-EINVAL without one), and the
 * key in plain form is wiped afterwards.
 */
static int csim_blob_slot(struct device *dev, u32 unit, u32 slot, u8 keycolor, u8 keyauth,
			  u8 *blob, u16 keylen, u8 *keymod,
			  int (*op)(u8 *data, struct csim_blob_job *job), const char *point)
{
	struct csim_blob_job job = {
		.keylen = keylen, .keycolor = keycolor, .keymod = keymod, .blob = blob,
	};
	u8 *data;
	int ret = -EINVAL;

	if (keyauth != KEY_COVER_ECB || keylen > CSIM_SLOT_SIZE || !keylen)
		return -EINVAL;
	if (csim_fault(point))
		return -EIO;
	mutex_lock(&csim->sm_lock);
	data = csim_slot(dev, unit, slot);
	if (data)
		ret = op(data, &job);
	mutex_unlock(&csim->sm_lock);
	memzero_explicit(job.key, sizeof(job.key));
	return ret;
}

int sm_keystore_slot_export(struct device *dev, u32 unit, u32 slot, u8 keycolor, u8 keyauth,
			    u8 *outbuf, u16 keylen, u8 *keymod)
{
	return csim_blob_slot(dev, unit, slot, keycolor, keyauth, outbuf, keylen, keymod,
			      csim_export_op, "sm_keystore_slot_export");
}
EXPORT_SYMBOL(sm_keystore_slot_export);

int sm_keystore_slot_import(struct device *dev, u32 unit, u32 slot, u8 keycolor, u8 keyauth,
			    u8 *inbuf, u16 keylen, u8 *keymod)
{
	return csim_blob_slot(dev, unit, slot, keycolor, keyauth, inbuf, keylen, keymod,
			      csim_import_op, "sm_keystore_slot_import");
}
EXPORT_SYMBOL(sm_keystore_slot_import);

int caam_sim_reveal_key(const u8 *blob, u16 keylen, const u8 *keymod, u8 *key)
{
	if (!csim || !keylen || keylen > CSIM_SLOT_SIZE)
		return -EINVAL;
	return csim_blob_decap(blob, keylen, keymod, key);
}
