#include "tool_output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

int finishOutput(const char* program, int status, int failedStatus)
{
    errno = 0;
    if (fflush(stdout) == 0 && !ferror(stdout))
        return status;
    // An earlier failed write leaves the error flag but maybe no errno.
    const int error = errno;
    fprintf(stderr, "%s: write error%s%s\n", program, error ? ": " : "",
            error ? strerror(error) : "");
    return status == 0 ? failedStatus : status;
}
