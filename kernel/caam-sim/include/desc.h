/* SPDX-License-Identifier: GPL-2.0 */
/* CAAM descriptor command words and the hardware S/G table entry. */
#ifndef CAAM_DESC_H
#define CAAM_DESC_H

#include <linux/types.h>

#define CMD_SHIFT		27
#define CMD_MASK		0xf8000000
#define CMD_KEY			(0x00 << CMD_SHIFT)
#define CMD_LOAD		(0x02 << CMD_SHIFT)
#define CMD_FIFO_LOAD		(0x04 << CMD_SHIFT)
#define CMD_STORE		(0x0a << CMD_SHIFT)
#define CMD_FIFO_STORE		(0x0c << CMD_SHIFT)
#define CMD_OPERATION		(0x10u << CMD_SHIFT)
#define CMD_DESC_HDR		(0x16u << CMD_SHIFT)

#define CLASS_MASK		0x06000000
#define CLASS_1			0x02000000

#define HDR_ONE			0x00800000
#define HDR_DESCLEN_MASK	0x7f	/* job descriptor length in words */
#define HDR_JD_LENGTH_MASK	0x7f

#define KEY_SGF			0x01000000
#define KEY_IMM			0x00800000
#define KEY_ENC			0x00400000
#define KEY_NWB			0x00200000
#define KEY_EKT			0x00100000
#define KEY_LENGTH_MASK		0x3ff

#define LDST_CLASS_1_CCB	CLASS_1
#define LDST_IMM		0x00800000
#define LDST_SRCDST_SHIFT	16
#define LDST_SRCDST_MASK	(0x7f << LDST_SRCDST_SHIFT)
#define LDST_SRCDST_BYTE_CONTEXT (0x20 << LDST_SRCDST_SHIFT)
#define LDST_OFFSET_SHIFT	8
#define LDST_OFFSET_MASK	(0xff << LDST_OFFSET_SHIFT)
#define LDST_LEN_MASK		0xff

#define FIFOLDST_SGF		0x01000000
#define FIFOLD_IMM		0x00800000
#define FIFOLDST_EXT		0x00400000
#define FIFOLD_CLASS_CLASS1	CLASS_1
#define FIFOLD_TYPE_SHIFT	16
#define FIFOLD_TYPE_MASK	(0x3f << FIFOLD_TYPE_SHIFT)
#define FIFOLD_TYPE_MSG		(0x10 << FIFOLD_TYPE_SHIFT)
#define FIFOLD_TYPE_LAST1	(0x02 << FIFOLD_TYPE_SHIFT)
#define FIFOST_TYPE_MESSAGE_DATA (0x30 << FIFOLD_TYPE_SHIFT)
#define FIFOLDST_LEN_MASK	0xffff

#define OP_TYPE_MASK		0x07000000
#define OP_TYPE_CLASS1_ALG	0x02000000
#define OP_ALG_ALGSEL_SHIFT	16
#define OP_ALG_ALGSEL_MASK	(0xff << OP_ALG_ALGSEL_SHIFT)
#define OP_ALG_ALGSEL_AES	(0x10 << OP_ALG_ALGSEL_SHIFT)
#define OP_ALG_AAI_SHIFT	4
#define OP_ALG_AAI_MASK		(0x1ff << OP_ALG_AAI_SHIFT)
#define OP_ALG_AAI_CBC		(0x10 << OP_ALG_AAI_SHIFT)
#define OP_ALG_AS_MASK		0x0c
#define OP_ALG_AS_UPDATE	0x00
#define OP_ALG_AS_INIT		0x04
#define OP_ALG_AS_FINALIZE	0x08
#define OP_ALG_AS_INITFINAL	0x0c
#define OP_ALG_ENCRYPT		1
#define OP_ALG_DECRYPT		0

/* One entry of a hardware S/G table: 16 bytes, the 32-bit bus address in
 * the second word, the length with the final-entry mark in the third. */
struct sec4_sg_entry {
	u32 rsvd_hi;
	u32 ptr;
	u32 len;
	u8 reserved;
	u8 buf_pool_id;
	u16 offset;
};
#define SEC4_SG_LEN_EXT		0x80000000
#define SEC4_SG_LEN_FIN		0x40000000
#define SEC4_SG_LEN_MASK	0x3fffffff
#define SEC4_SG_OFFSET_MASK	0x00001fff

#endif
