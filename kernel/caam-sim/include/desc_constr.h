/* SPDX-License-Identifier: GPL-2.0 */
/*
 * Building CAAM job descriptors: init_job_desc() writes the header, each
 * append_*() adds one command (with its pointer, if it takes one) after the
 * last word and counts it into the header's length, so no caller keeps the
 * word count by hand. The same names and arguments as the platform kernel's
 * CAAM driver offers its clients, for the commands they use here.
 *
 * Pointers take one word: the board's CAAM addresses a 32-bit bus, and the
 * stand-in executes that format on every machine it runs on.
 */
#ifndef CAAM_DESC_CONSTR_H
#define CAAM_DESC_CONSTR_H

#include <linux/types.h>

#include "desc.h"

#define CAAM_CMD_SZ	sizeof(u32)
#define CAAM_PTR_SZ	sizeof(u32)

static inline int desc_len(u32 *desc)
{
	return *desc & HDR_DESCLEN_MASK;
}

static inline int desc_bytes(void *desc)
{
	return desc_len(desc) * CAAM_CMD_SZ;
}

static inline u32 *desc_end(u32 *desc)
{
	return desc + desc_len(desc);
}

/* A job descriptor of one word, its header. */
static inline void init_job_desc(u32 *desc, u32 options)
{
	*desc = (CMD_DESC_HDR | HDR_ONE | options) + 1;
}

static inline void append_cmd(u32 *desc, u32 command)
{
	*desc_end(desc) = command;
	(*desc)++;
}

static inline void append_ptr(u32 *desc, dma_addr_t ptr)
{
	*desc_end(desc) = (u32)ptr;
	(*desc) += CAAM_PTR_SZ / CAAM_CMD_SZ;
}

static inline void append_cmd_ptr(u32 *desc, dma_addr_t ptr, int len, u32 command)
{
	append_cmd(desc, command | len);
	append_ptr(desc, ptr);
}

static inline void append_key(u32 *desc, dma_addr_t ptr, unsigned int len, u32 options)
{
	append_cmd_ptr(desc, ptr, len, CMD_KEY | options);
}

static inline void append_load(u32 *desc, dma_addr_t ptr, unsigned int len, u32 options)
{
	append_cmd_ptr(desc, ptr, len, CMD_LOAD | options);
}

static inline void append_fifo_load(u32 *desc, dma_addr_t ptr, unsigned int len, u32 options)
{
	append_cmd_ptr(desc, ptr, len, CMD_FIFO_LOAD | options);
}

static inline void append_fifo_store(u32 *desc, dma_addr_t ptr, unsigned int len, u32 options)
{
	append_cmd_ptr(desc, ptr, len, CMD_FIFO_STORE | options);
}

/* The stores used here all write to memory, so all take a pointer. */
static inline void append_store(u32 *desc, dma_addr_t ptr, unsigned int len, u32 options)
{
	append_cmd_ptr(desc, ptr, len, CMD_STORE | options);
}

static inline void append_operation(u32 *desc, u32 options)
{
	append_cmd(desc, CMD_OPERATION | options);
}

#endif
