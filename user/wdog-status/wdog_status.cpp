// wdog-status: prints the watchdog reset status register of the i.MX6,
// which tells how the last reset came about. The bits are left to the
// caller.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>

#include "tool_output.h"

namespace {

constexpr off_t WatchdogPage = 0x020BC000;  // watchdog 1 register block
constexpr size_t PageSize = 4096;
constexpr size_t ResetStatusOffset = 4;

// Mapping a regular file past its end succeeds, but the access then faults;
// such a page is as unusable as one that cannot be mapped.
bool PageBeyondEnd(int fd)
{
    struct stat info;
    return fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
           info.st_size < off_t(WatchdogPage + ResetStatusOffset + 1);
}

int Run()
{
    const int fd = open("/dev/mem", O_RDONLY);
    if (fd < 0)
        return 1;

    void* page = MAP_FAILED;
    if (!PageBeyondEnd(fd))
        page = mmap(nullptr, PageSize, PROT_READ, MAP_SHARED, fd, WatchdogPage);
    if (page == MAP_FAILED) {
        printf("Error mapping address\n");
        close(fd);
        return 1;
    }

    // One byte access: the low eight bits of the register.
    const uint8_t status = *(static_cast<volatile const uint8_t*>(page) + ResetStatusOffset);
    printf("The value of \"Watchdog Reset Status\" register is %02X\n", status);
    munmap(page, PageSize);
    close(fd);
    return 0;
}

}  // namespace

// The tool knows one failure status, whatever failed: 1.
int main()
{
    return finishOutput("wdog-status", Run(), 1);
}
