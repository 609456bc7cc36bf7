/* The line master on the host, for stations on a UART of the VM: the
 * control channel between them (linemaster_remote.c). */
#ifndef TARN_VM_LINEMASTER_REMOTE_H
#define TARN_VM_LINEMASTER_REMOTE_H

#include <stddef.h>
#include <stdint.h>

#include "linemaster.h"

/* From now on pty_open opens the UART at line instead of a pty, with the
 * line master reached through the raw UART at control. 0 or -errno. */
int line_use_uart(const char *line, const char *control);
/* pty_open's UART part: 1 when no UART is in use, else 0 or -errno. */
int line_uart_open(struct pty *p);

/* The line master's functions, carried out on the host. */
int lm_remote_send(const struct pty *p, const uint8_t *b, size_t n);
size_t lm_remote_collect(const struct pty *p, uint8_t *buf, size_t size, int ms);
int64_t lm_remote_exchange(const struct pty *p, const uint8_t *b, size_t n, size_t answer,
			   int ms);

/* Host side: answers the requests arriving on control with the line
 * master's functions on line, until control closes (0) or fails (-1). */
int lm_serve(int control, const struct pty *line);

#endif
