/* Scatterlists over plain buffers: page_link holds the buffer's address with
 * the kernel's chain (0x01) and end (0x02) marks in its low bits. */
#ifndef KTEST_LINUX_SCATTERLIST_H
#define KTEST_LINUX_SCATTERLIST_H
#include <linux/types.h>
#include <string.h>
struct scatterlist {
	unsigned long page_link;
	unsigned int offset;
	unsigned int length;
	dma_addr_t dma_address;
	unsigned int dma_length;
};
#define SG_CHAIN 0x01UL
#define SG_END 0x02UL
#define sg_is_chain(sg) ((sg)->page_link & SG_CHAIN)
#define sg_is_last(sg) ((sg)->page_link & SG_END)
#define sg_chain_ptr(sg) ((struct scatterlist *)((sg)->page_link & ~(SG_CHAIN | SG_END)))
#define sg_dma_address(sg) ((sg)->dma_address)
#define sg_dma_len(sg) ((sg)->dma_length)
static inline void sg_mark_end(struct scatterlist *sg)
{
	sg->page_link |= SG_END;
	sg->page_link &= ~SG_CHAIN;
}
static inline void sg_unmark_end(struct scatterlist *sg) { sg->page_link &= ~SG_END; }
static inline void sg_init_table(struct scatterlist *sgl, unsigned int nents)
{
	memset(sgl, 0, sizeof(*sgl) * nents);
	sg_mark_end(&sgl[nents - 1]);
}
static inline void sg_set_buf(struct scatterlist *sg, const void *buf, unsigned int buflen)
{
	sg->page_link = (unsigned long)buf | (sg->page_link & SG_END);
	sg->offset = 0;
	sg->length = buflen;
}
static inline void sg_init_one(struct scatterlist *sg, const void *buf, unsigned int buflen)
{
	sg_init_table(sg, 1);
	sg_set_buf(sg, buf, buflen);
}
static inline void *sg_virt(struct scatterlist *sg)
{
	return (void *)((sg->page_link & ~(SG_CHAIN | SG_END)) + sg->offset);
}
static inline struct scatterlist *sg_next(struct scatterlist *sg)
{
	if (sg_is_last(sg))
		return NULL;
	sg++;
	if (sg_is_chain(sg))
		sg = sg_chain_ptr(sg);
	return sg;
}
#define for_each_sg(sglist, sg, nr, __i) \
	for (__i = 0, sg = (sglist); __i < (nr); __i++, sg = sg_next(sg))
#endif
