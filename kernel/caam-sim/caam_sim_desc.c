// SPDX-License-Identifier: GPL-2.0
/*
 * CAAM stand-in, descriptor execution: the commands of a class 1 AES-CBC
 * job (key, context load and store, FIFO load and store with or without an
 * S/G table, operation), read through their bus addresses as the device
 * reads them.
 */
#include "caam_sim_core.h"

struct csim_exec {
	struct device *dev;
	u8 key[32];
	u32 keylen;
	u8 ctx[CSIM_BLOCK];
	bool have_key, have_ctx, have_in, have_op;
	u32 in_ptr, in_len;
	bool in_sg;
	u32 op;
};

/* Copies len bytes between buf and the memory at a bus address (a buffer,
 * or an S/G table of buffers). The table entry that completes the data must
 * carry the final mark. */
static int csim_move(struct csim_exec *ex, u32 ptr, u32 len, bool sg, u8 *buf, bool to_mem)
{
	struct sec4_sg_entry ent = { 0 };
	u32 done = 0, n, i;
	void *mem, *e;

	if (!sg) {
		mem = csim_bus_to_virt(ex->dev, ptr, len, to_mem);
		if (!mem)
			return CSIM_ERR_ADDR;
		if (to_mem)
			memcpy(mem, buf, len);
		else
			memcpy(buf, mem, len);
		return 0;
	}
	for (i = 0; done < len; i++) {
		if (i == CSIM_SG_MAX)
			return CSIM_ERR_SG;
		e = csim_bus_to_virt(ex->dev, ptr + i * sizeof(ent), sizeof(ent), false);
		if (!e)
			return CSIM_ERR_ADDR;
		memcpy(&ent, e, sizeof(ent));
		if (ent.rsvd_hi || (ent.len & SEC4_SG_LEN_EXT))
			return CSIM_ERR_SG;
		n = min_t(u32, ent.len & SEC4_SG_LEN_MASK, len - done);
		mem = csim_bus_to_virt(ex->dev, ent.ptr + (ent.offset & SEC4_SG_OFFSET_MASK), n,
				       to_mem);
		if (!mem)
			return CSIM_ERR_ADDR;
		if (to_mem)
			memcpy(mem, buf + done, n);
		else
			memcpy(buf + done, mem, n);
		done += n;
		if (ent.len & SEC4_SG_LEN_FIN)
			break;
	}
	if (done < len || !(ent.len & SEC4_SG_LEN_FIN))
		return CSIM_ERR_SG;
	return 0;
}

static int csim_cmd_key(struct csim_exec *ex, u32 w, u32 ptr)
{
	u32 len = w & KEY_LENGTH_MASK;
	u8 *mem;

	if ((w & CLASS_MASK) != CLASS_1 || (w & (KEY_IMM | KEY_SGF | KEY_EKT)))
		return CSIM_ERR_CMD;
	if (len != 16 && len != 32)
		return CSIM_ERR_KEY;
	mem = csim_bus_to_virt(ex->dev, ptr, len, false);
	if (!mem)
		return CSIM_ERR_ADDR;
	if (w & KEY_ENC) {
		/* A black key: uncover it inside the device. */
		if (csim_aes(csim->boot_key, sizeof(csim->boot_key), NULL, mem, ex->key, len,
			     false))
			return CSIM_ERR_NOMEM;
	} else {
		memcpy(ex->key, mem, len);
	}
	ex->keylen = len;
	ex->have_key = true;
	return 0;
}

static int csim_cmd_context(struct csim_exec *ex, u32 w, u32 ptr, bool store)
{
	u8 *mem;

	if ((w & CLASS_MASK) != CLASS_1 || (w & LDST_IMM) ||
	    (w & LDST_SRCDST_MASK) != LDST_SRCDST_BYTE_CONTEXT ||
	    (w & LDST_OFFSET_MASK) || (w & LDST_LEN_MASK) != CSIM_BLOCK)
		return CSIM_ERR_CMD;
	if (store && !ex->have_ctx)
		return CSIM_ERR_SEQ;
	mem = csim_bus_to_virt(ex->dev, ptr, CSIM_BLOCK, store);
	if (!mem)
		return CSIM_ERR_ADDR;
	if (store) {
		memcpy(mem, ex->ctx, CSIM_BLOCK);
	} else {
		memcpy(ex->ctx, mem, CSIM_BLOCK);
		ex->have_ctx = true;
	}
	return 0;
}

static int csim_cmd_fifo_load(struct csim_exec *ex, u32 w, u32 ptr)
{
	if ((w & CLASS_MASK) != FIFOLD_CLASS_CLASS1 || (w & (FIFOLD_IMM | FIFOLDST_EXT)) ||
	    (w & FIFOLD_TYPE_MASK) != (FIFOLD_TYPE_MSG | FIFOLD_TYPE_LAST1))
		return CSIM_ERR_CMD;
	ex->in_ptr = ptr;
	ex->in_len = w & FIFOLDST_LEN_MASK;
	ex->in_sg = w & FIFOLDST_SGF;
	ex->have_in = true;
	return 0;
}

static int csim_cmd_operation(struct csim_exec *ex, u32 w)
{
	if ((w & OP_TYPE_MASK) != OP_TYPE_CLASS1_ALG ||
	    (w & OP_ALG_ALGSEL_MASK) != OP_ALG_ALGSEL_AES ||
	    (w & OP_ALG_AAI_MASK) != OP_ALG_AAI_CBC || (w & 0x2))
		return CSIM_ERR_CMD;
	ex->op = w;
	ex->have_op = true;
	return 0;
}

/* FIFO STORE: runs the loaded operation over the input and stores the
 * output; the context then holds the CBC chaining value. */
static int csim_cmd_fifo_store(struct csim_exec *ex, u32 w, u32 ptr)
{
	bool enc = ex->op & OP_ALG_ENCRYPT;
	u32 len = w & FIFOLDST_LEN_MASK;
	u8 next_iv[CSIM_BLOCK];
	u8 *buf;
	int err;

	if ((w & CLASS_MASK) || (w & (FIFOLD_IMM | FIFOLDST_EXT)) ||
	    (w & FIFOLD_TYPE_MASK) != FIFOST_TYPE_MESSAGE_DATA)
		return CSIM_ERR_CMD;
	if (!ex->have_key || !ex->have_ctx || !ex->have_in || !ex->have_op)
		return CSIM_ERR_SEQ;
	if (!len || len % CSIM_BLOCK || len != ex->in_len)
		return CSIM_ERR_SIZE;
	buf = csim_alloc(len);
	if (!buf)
		return CSIM_ERR_NOMEM;
	err = csim_move(ex, ex->in_ptr, len, ex->in_sg, buf, false);
	if (err)
		goto out;
	if (!enc)
		memcpy(next_iv, buf + len - CSIM_BLOCK, CSIM_BLOCK);
	if (csim_aes(ex->key, ex->keylen, ex->ctx, buf, buf, len, enc)) {
		err = CSIM_ERR_NOMEM;
		goto out;
	}
	if (enc)
		memcpy(next_iv, buf + len - CSIM_BLOCK, CSIM_BLOCK);
	memcpy(ex->ctx, next_iv, CSIM_BLOCK);
	err = csim_move(ex, ptr, len, w & FIFOLDST_SGF, buf, true);
out:
	memzero_explicit(buf, len);
	csim_free(buf);
	return err;
}

int csim_execute(struct caam_sim_job *job)
{
	struct csim_exec ex = { .dev = job->jrdev };
	u32 desc[CSIM_DESC_MAX];
	u32 *mem, len, i, w;
	int err = 0;

	mem = csim_bus_to_virt(job->jrdev, job->desc_dma, sizeof(u32), false);
	if (!mem)
		return CSIM_ERR_ADDR;
	w = mem[0];
	len = w & HDR_JD_LENGTH_MASK;
	/* The device's descriptor buffer holds 64 words; the header's length
	 * field can say up to 127. */
	if ((w & CMD_MASK) != CMD_DESC_HDR || !(w & HDR_ONE) || !len || len > CSIM_DESC_MAX)
		return CSIM_ERR_DESC;
	mem = csim_bus_to_virt(job->jrdev, job->desc_dma, len * sizeof(u32), false);
	if (!mem)
		return CSIM_ERR_ADDR;
	memcpy(desc, mem, len * sizeof(u32));

	for (i = 1; i < len && !err; i++) {
		w = desc[i];
		/* Every command here but OPERATION takes a pointer word. */
		if ((w & CMD_MASK) != CMD_OPERATION && i + 1 >= len)
			return CSIM_ERR_DESC;
		switch (w & CMD_MASK) {
		case CMD_KEY:
			err = csim_cmd_key(&ex, w, desc[++i]);
			break;
		case CMD_LOAD:
			err = csim_cmd_context(&ex, w, desc[++i], false);
			break;
		case CMD_STORE:
			err = csim_cmd_context(&ex, w, desc[++i], true);
			break;
		case CMD_FIFO_LOAD:
			err = csim_cmd_fifo_load(&ex, w, desc[++i]);
			break;
		case CMD_FIFO_STORE:
			err = csim_cmd_fifo_store(&ex, w, desc[++i]);
			break;
		case CMD_OPERATION:
			err = csim_cmd_operation(&ex, w);
			break;
		default:
			err = CSIM_ERR_CMD;
		}
	}
	memzero_explicit(ex.key, sizeof(ex.key));
	return err;
}
