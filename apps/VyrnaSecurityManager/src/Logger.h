// Output of the service: progress on standard output, failures on standard
// error (both flushed at once, so lines reach the journal of a supervised
// service in order), and the few failures that an operator must see later in
// the systemd journal.
#pragma once

#define VYRNA_PRINTF(f, a) __attribute__((format(printf, f, a)))

namespace Logger {

void printLog(const char* format, ...) VYRNA_PRINTF(1, 2);
void printErr(const char* format, ...) VYRNA_PRINTF(1, 2);
// Debug lines: the arguments are accepted and nothing is emitted.
void printDbg(const char* format, ...) VYRNA_PRINTF(1, 2);
// One journal entry, identifier "q512_status", priority error. Texts of 1024
// bytes or more are not sent; an internal-error line goes to standard error.
void printJournal(const char* format, ...) VYRNA_PRINTF(1, 2);

}  // namespace Logger
