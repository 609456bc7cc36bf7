/*
 * The line master on the host for stations on a UART of the i.MX6 VM
 * (board/vm/run --uart1 LINE --uart3 CONTROL): listens on the two unix
 * sockets that QEMU connects the UARTs to (and says "listening" once it
 * does, so QEMU may start), then carries out the requests
 * of the VM's test program on the line (linemaster_remote.c) until the VM
 * closes the control channel.
 *
 *   tarn_uart_master LINE-SOCKET CONTROL-SOCKET
 */
#define _GNU_SOURCE
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "linemaster.h"
#include "linemaster_remote.h"

static int listen_at(const char *path)
{
	struct sockaddr_un addr = { .sun_family = AF_UNIX };
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);

	if (fd < 0 || strlen(path) >= sizeof(addr.sun_path))
		return -1;
	strcpy(addr.sun_path, path);
	unlink(path);
	if (bind(fd, (struct sockaddr *)&addr, sizeof(addr)) || listen(fd, 1)) {
		close(fd);
		return -1;
	}
	return fd;
}

int main(int argc, char **argv)
{
	struct pty line = { .slave = -1 };
	int line_listen, control_listen, control, status;

	if (argc != 3) {
		fprintf(stderr, "usage: tarn_uart_master LINE-SOCKET CONTROL-SOCKET\n");
		return 2;
	}
	signal(SIGPIPE, SIG_IGN);
	line_listen = listen_at(argv[1]);
	control_listen = listen_at(argv[2]);
	if (line_listen < 0 || control_listen < 0) {
		fprintf(stderr, "tarn_uart_master: cannot listen: %s\n", strerror(errno));
		return 1;
	}
	printf("listening\n");
	fflush(stdout);
	line.master = accept(line_listen, NULL, NULL);
	control = accept(control_listen, NULL, NULL);
	if (line.master < 0 || control < 0) {
		fprintf(stderr, "tarn_uart_master: accept: %s\n", strerror(errno));
		return 1;
	}
	status = lm_serve(control, &line) ? 1 : 0;
	close(control);
	close(line.master);
	unlink(argv[1]);
	unlink(argv[2]);
	return status;
}
