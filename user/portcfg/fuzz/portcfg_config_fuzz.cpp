// Arbitrary switch.dat and vlan.dat content through portcfg's loaders: the
// input is written to a scratch file that both loaders read. There is no
// switch here, so register files do not open and the VLAN table always
// reads as ready; the pauses the loaders make between register writes are
// skipped so that the fuzzer spends its time on the parsing.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "portcfg.h"

extern "C" int usleep(useconds_t)
{
    return 0;
}

// Register files live under /sys; failing them here spares the file system
// a lookup for every register access.
extern "C" int open(const char* path, int flags, ...)
{
    if (strncmp(path, "/sys/", 5) == 0) {
        errno = ENOENT;
        return -1;
    }
    va_list rest;
    va_start(rest, flags);
    const mode_t mode = va_arg(rest, mode_t);
    va_end(rest);
    return openat(AT_FDCWD, path, flags, mode);
}

namespace {

std::string g_config;

bool WriteConfig(const uint8_t* bytes, size_t size)
{
    FILE* file = fopen(g_config.c_str(), "wb");
    if (file == nullptr)
        return false;
    const bool written = size == 0 || fwrite(bytes, size, 1, file) == 1;
    return fclose(file) == 0 && written;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char path[] = "/dev/shm/portcfg-fuzz-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0)
        abort();
    close(fd);
    g_config = path;
    atexit([] { unlink(g_config.c_str()); });
    if (freopen("/dev/null", "w", stdout) == nullptr)
        abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (!WriteConfig(data, size))
        abort();
    loadSwitchConfig(g_config.c_str());
    loadVLanConfig(g_config.c_str());
    fflush(stdout);
    return 0;
}
