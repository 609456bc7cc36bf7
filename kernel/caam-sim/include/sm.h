/* SPDX-License-Identifier: GPL-2.0 */
/*
 * CAAM secure memory as a key store: units of slots that hold keys, covering
 * a key in place (black key), and wrapping a slot's key into a blob that only
 * this device can unwrap.
 */
#ifndef CAAM_SM_H
#define CAAM_SM_H

#include <linux/device.h>
#include <linux/types.h>

#define RED_KEY		0	/* key colour: plain */
#define BLACK_KEY	1	/* key colour: covered */
#define KEY_COVER_ECB	0	/* cover with AES-ECB */
#define KEY_COVER_CCM	1	/* cover with AES-CCM */

/* A blob is its key plus a 32-byte wrapped blob key and a 16-byte MAC. */
#define BLOB_OVERHEAD	(32 + 16)

#define AES_BLOCK_PAD(x) ((x % 16) ? ((x >> 4) + 1) << 4 : x)

u32 sm_detect_keystore_units(struct device *dev);
int sm_establish_keystore(struct device *dev, u32 unit);
void sm_release_keystore(struct device *dev, u32 unit);
int sm_keystore_slot_alloc(struct device *dev, u32 unit, u32 size, u32 *slot);
int sm_keystore_slot_dealloc(struct device *dev, u32 unit, u32 slot);
int sm_keystore_slot_load(struct device *dev, u32 unit, u32 slot,
			  const u8 *key_data, u32 key_length);
int sm_keystore_slot_read(struct device *dev, u32 unit, u32 slot,
			  u32 key_length, u8 *key_data);
int sm_keystore_cover_key(struct device *dev, u32 unit, u32 slot,
			  u16 key_length, u8 keyauth);
int sm_keystore_slot_export(struct device *dev, u32 unit, u32 slot,
			    u8 keycolor, u8 keyauth, u8 *outbuf,
			    u16 keylen, u8 *keymod);
int sm_keystore_slot_import(struct device *dev, u32 unit, u32 slot,
			    u8 keycolor, u8 keyauth, u8 *inbuf,
			    u16 keylen, u8 *keymod);

#endif
