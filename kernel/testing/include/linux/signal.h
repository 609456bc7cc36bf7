/* Signal numbers and si_code values (SIGIO, POLL_IN, POLL_OUT). */
#ifndef KTEST_LINUX_SIGNAL_H
#define KTEST_LINUX_SIGNAL_H
#include <signal.h>
#endif
