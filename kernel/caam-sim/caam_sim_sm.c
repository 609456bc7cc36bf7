// SPDX-License-Identifier: GPL-2.0
/*
 * CAAM stand-in, secure-memory key store: units of key slots that a client
 * establishes, allocates, loads, reads and covers (black keys, under the
 * per-boot key).
 */
#include "caam_sim_core.h"

static struct csim_unit *csim_unit_get(struct device *dev, u32 unit)
{
	if (!csim || dev != csim->priv.smdev || unit >= csim->units)
		return NULL;
	return &csim->unit[unit];
}

u8 *csim_slot(struct device *dev, u32 unit, u32 slot)
{
	struct csim_unit *u = csim_unit_get(dev, unit);

	if (!u || !u->established || slot >= CSIM_SLOTS || !u->used[slot])
		return NULL;
	return u->data[slot];
}

u32 sm_detect_keystore_units(struct device *dev)
{
	return csim && dev == csim->priv.smdev ? csim->units : 0;
}
EXPORT_SYMBOL(sm_detect_keystore_units);

int sm_establish_keystore(struct device *dev, u32 unit)
{
	struct csim_unit *u = csim_unit_get(dev, unit);

	if (!u)
		return -EINVAL;
	if (csim_fault("sm_establish_keystore"))
		return -ENOSPC;
	mutex_lock(&csim->sm_lock);
	u->established++;
	mutex_unlock(&csim->sm_lock);
	return 0;
}
EXPORT_SYMBOL(sm_establish_keystore);

void sm_release_keystore(struct device *dev, u32 unit)
{
	struct csim_unit *u = csim_unit_get(dev, unit);

	if (!u)
		return;
	mutex_lock(&csim->sm_lock);
	/* The last release wipes every slot of the unit. */
	if (u->established > 0 && --u->established == 0) {
		memzero_explicit(u->data, sizeof(u->data));
		memset(u->used, 0, sizeof(u->used));
	}
	mutex_unlock(&csim->sm_lock);
}
EXPORT_SYMBOL(sm_release_keystore);

int sm_keystore_slot_alloc(struct device *dev, u32 unit, u32 size, u32 *slot)
{
	struct csim_unit *u = csim_unit_get(dev, unit);
	int ret = -ENOSPC;
	u32 i;

	if (!u)
		return -EINVAL;
	if (size > CSIM_SLOT_SIZE)
		return -EKEYREJECTED;
	if (csim_fault("sm_keystore_slot_alloc"))
		return -ENOSPC;
	mutex_lock(&csim->sm_lock);
	if (!u->established) {
		ret = -EINVAL;
		goto out;
	}
	for (i = 0; i < CSIM_SLOTS; i++) {
		if (!u->used[i]) {
			u->used[i] = 1;
			*slot = i;
			ret = 0;
			break;
		}
	}
out:
	mutex_unlock(&csim->sm_lock);
	return ret;
}
EXPORT_SYMBOL(sm_keystore_slot_alloc);

int sm_keystore_slot_dealloc(struct device *dev, u32 unit, u32 slot)
{
	u8 *data;
	int ret = -EINVAL;

	mutex_lock(&csim->sm_lock);
	data = csim_slot(dev, unit, slot);
	if (data) {
		memzero_explicit(data, CSIM_SLOT_SIZE);
		csim->unit[unit].used[slot] = 0;
		ret = 0;
	}
	mutex_unlock(&csim->sm_lock);
	return ret;
}
EXPORT_SYMBOL(sm_keystore_slot_dealloc);

/* Copies key bytes into an allocated slot (from) or out of it (to). */
static int csim_slot_copy(struct device *dev, u32 unit, u32 slot, const u8 *from, u8 *to,
			  u32 len)
{
	u8 *data;
	int ret = -EINVAL;

	mutex_lock(&csim->sm_lock);
	data = csim_slot(dev, unit, slot);
	if (data) {
		memcpy(from ? data : to, from ? from : data, len);
		ret = 0;
	}
	mutex_unlock(&csim->sm_lock);
	return ret;
}

int sm_keystore_slot_load(struct device *dev, u32 unit, u32 slot, const u8 *key_data,
			  u32 key_length)
{
	if (key_length > CSIM_SLOT_SIZE || csim_fault("sm_keystore_slot_load"))
		return -EFBIG;
	return csim_slot_copy(dev, unit, slot, key_data, NULL, key_length);
}
EXPORT_SYMBOL(sm_keystore_slot_load);

int sm_keystore_slot_read(struct device *dev, u32 unit, u32 slot, u32 key_length,
			  u8 *key_data)
{
	if (key_length > CSIM_SLOT_SIZE || csim_fault("sm_keystore_slot_read"))
		return -EKEYREJECTED;
	return csim_slot_copy(dev, unit, slot, NULL, key_data, key_length);
}
EXPORT_SYMBOL(sm_keystore_slot_read);

int csim_cover(u8 *data, u16 len, bool cover)
{
	if (!len || len % CSIM_BLOCK)
		return -EINVAL;
	return csim_aes(csim->boot_key, sizeof(csim->boot_key), NULL, data, data, len, cover)
		? -EIO : 0;
}

int sm_keystore_cover_key(struct device *dev, u32 unit, u32 slot, u16 key_length, u8 keyauth)
{
	u8 *data;
	int ret = -EINVAL;

	if (keyauth != KEY_COVER_ECB || key_length > CSIM_SLOT_SIZE)
		return -EINVAL;
	if (csim_fault("sm_keystore_cover_key"))
		return -EIO;
	mutex_lock(&csim->sm_lock);
	data = csim_slot(dev, unit, slot);
	if (data)
		ret = csim_cover(data, key_length, true);
	mutex_unlock(&csim->sm_lock);
	return ret;
}
EXPORT_SYMBOL(sm_keystore_cover_key);
