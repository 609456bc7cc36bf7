// Helpers of the fuzz drivers that run whole tools.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace zeltest {

// For tools whose printed lines are not what a driver checks.
inline void DiscardStandardOutput()
{
    if (freopen("/dev/null", "w", stdout) == nullptr)
        abort();
}

// One file in /dev/shm for code under test that reads a named file:
// rewritten for every input, removed when the process ends.
class ScratchFile {
public:
    explicit ScratchFile(const char* prefix)
    {
        std::string pattern = std::string("/dev/shm/") + prefix + "-XXXXXX";
        const int fd = mkstemp(pattern.data());
        if (fd < 0)
            abort();
        close(fd);
        m_path = pattern;
    }
    ~ScratchFile() { unlink(m_path.c_str()); }
    ScratchFile(const ScratchFile&) = delete;
    ScratchFile& operator=(const ScratchFile&) = delete;

    const char* path() const { return m_path.c_str(); }

    // Replaces the content; aborts when that fails, since the input would
    // not be what the code under test reads.
    void write(const uint8_t* bytes, size_t size) const
    {
        FILE* file = fopen(m_path.c_str(), "wb");
        const bool written = file != nullptr && (size == 0 || fwrite(bytes, size, 1, file) == 1);
        if (file == nullptr || fclose(file) != 0 || !written)
            abort();
    }

private:
    std::string m_path;
};

}  // namespace zeltest
