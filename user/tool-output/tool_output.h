// The end of a board tool's run: its results are written only once standard
// output has taken them, so a full disk or a closed pipe must not pass for
// success.
#pragma once

// Exit status of a run whose output could not be written (sysexits'
// EX_IOERR), for the tools whose own statuses leave it free.
constexpr int EXIT_OUTPUT_FAILED = 74;

// Flushes standard output. When any write to it failed, names the error on
// standard error and returns failedStatus in place of a success status; a
// failure status stands as it is.
int finishOutput(const char* program, int status, int failedStatus = EXIT_OUTPUT_FAILED);
