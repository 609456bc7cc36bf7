/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Command words and buffer layouts of /dev/vcrypto, shared by the driver and
 * its user-space client. Plain C, usable from the kernel and from C++.
 *
 * A command word is laid out like an ioctl number: bits 0-7 the command
 * number, 8-15 the type 0x4F, 16-29 a size whose unit depends on the command,
 * 30-31 a direction that the driver does not examine. The argument is always
 * a pointer to one buffer.
 */
#ifndef VCRYPTO_IOCTL_H
#define VCRYPTO_IOCTL_H

#define VCRYPTO_TYPE		0x4F
#define VCRYPTO_NR_DECRYPT	0	/* size: 16-byte blocks of the whole buffer */
#define VCRYPTO_NR_ENCRYPT	1	/* size: 16-byte blocks of the whole buffer */
#define VCRYPTO_NR_KEYGEN	2	/* size: 128, the key record */
#define VCRYPTO_NR_RANDOM	3	/* size: bytes, 1 to 16383 */

#define VCRYPTO_NR(cmd)		((cmd) & 0xFFu)
#define VCRYPTO_TYPE_OF(cmd)	(((cmd) >> 8) & 0xFFu)
#define VCRYPTO_SIZE_SHIFT	16
#define VCRYPTO_SIZE_MASK	0x3FFFu
#define VCRYPTO_SIZE(cmd)	(((cmd) >> VCRYPTO_SIZE_SHIFT) & VCRYPTO_SIZE_MASK)

/* The word a client issues for a command number and size field. */
#define VCRYPTO_CMD(nr, size) \
	((((unsigned int)(size) & VCRYPTO_SIZE_MASK) << VCRYPTO_SIZE_SHIFT) | \
	 (VCRYPTO_TYPE << 8) | (unsigned int)(nr))
/* Key generation carries the write direction as well. */
#define VCRYPTO_CMD_KEYGEN	0x40804F02u

/* Cipher request: IV, key record, then the data; the result is written
 * back from offset 0. */
#define VCRYPTO_IV_LEN		16
#define VCRYPTO_KEY_RECORD_LEN	128
#define VCRYPTO_HEADER_LEN	(VCRYPTO_IV_LEN + VCRYPTO_KEY_RECORD_LEN)
#define VCRYPTO_BLOCK_LEN	16
/* 16383 blocks (the largest size field) less the 144-byte header. */
#define VCRYPTO_MAX_DATA	261984
#define VCRYPTO_MAX_RANDOM	16383

#endif /* VCRYPTO_IOCTL_H */
