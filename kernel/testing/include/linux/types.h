/* Kernel types on top of the user-space API header of the same name. */
#ifndef KTEST_LINUX_TYPES_H
#define KTEST_LINUX_TYPES_H
#include_next <linux/types.h>
#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>
#include <linux/compiler.h>

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef uint64_t u64;
typedef int8_t s8;
typedef int16_t s16;
typedef int32_t s32;
typedef int64_t s64;
typedef unsigned int gfp_t;
typedef unsigned short umode_t;
/* The board is 32-bit: bus addresses fit one descriptor word. */
typedef u32 dma_addr_t;
typedef u32 phys_addr_t;
#endif
