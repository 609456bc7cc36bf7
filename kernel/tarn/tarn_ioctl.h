/* SPDX-License-Identifier: GPL-2.0 */
/*
 * What user space sees of the tarn line disciplines: discipline numbers,
 * ioctl command words, reader message types and the write format. Plain C,
 * usable from the kernel and from user space.
 *
 * A station process writes the station id byte followed by the text; each
 * read() returns one message whose first byte is its type.
 */
#ifndef TARN_IOCTL_H
#define TARN_IOCTL_H

#include <linux/ioctl.h>

#define TARN_LDISC_GENERIC	2	/* the kernel's N_MOUSE slot */
#define TARN_LDISC_MOC		8	/* the kernel's N_MASC slot */

/* The argument of each command is the address of one byte: the station id. */
#define TARN_IOC_TYPE		0x91
#define TARN_REGISTER		_IO(TARN_IOC_TYPE, 1)	/* 0x9101 */
#define TARN_SUSPEND		_IO(TARN_IOC_TYPE, 4)	/* 0x9104 */
#define TARN_RESUME		_IO(TARN_IOC_TYPE, 5)	/* 0x9105 */
#define TARN_FLUSH		_IO(TARN_IOC_TYPE, 7)	/* 0x9107 */

#define TARN_ID_MIN		1
#define TARN_ID_MAX		32

/* Reader messages */
#define TARN_MSG_POLL		0x01	/* id */
#define TARN_MSG_SELECT		0x02	/* id, text */
#define TARN_MSG_BROADCAST	0x03	/* text */
#define TARN_MSG_TX_ENQ		0x04	/* id, block byte of the frame concerned */
#define TARN_MSG_BREAK		0x0B
#define TARN_MSG_BREAK_END	0x0C
#define TARN_MSG_MAX		255	/* bytes in one message */

/* write(): the id byte (bits 0-5 the id, bit 7 send once), then the text. */
#define TARN_WRITE_MAX		255
#define TARN_ID_MASK		0x3F
#define TARN_SEND_ONCE		0x80

#endif /* TARN_IOCTL_H */
