// The whole eeprom-crc tool on arbitrary command lines and images. Input:
// one byte with the argument count (low 3 bits) and whether the image file
// is named with -f (bit 3), that many NUL-terminated arguments, then the
// image file's content. The tool only ever sees its own scratch image:
// every 'f' in the arguments becomes 'F', so no argument names a file.
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "crc32.h"
#include "fuzz_support.h"

namespace {

const zeltest::ScratchFile g_image("eeprom-crc-fuzz");

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    zeltest::DiscardStandardOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    const int wanted = data[0] & 7;
    const bool nameImage = (data[0] & 8) != 0;
    std::vector<std::string> args{"eeprom-crc"};
    size_t at = 1;
    while (int(args.size()) <= wanted && at < size) {
        std::string arg;
        while (at < size && data[at] != 0)
            arg += data[at] == 'f' ? 'F' : char(data[at]), ++at;
        ++at;  // the terminator
        args.push_back(arg);
    }
    if (nameImage) {
        args.push_back("-f");
        args.push_back(g_image.path());
    }
    g_image.write(data + std::min(at, size), size - std::min(at, size));

    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    optind = 0;  // glibc: start a fresh scan
    const int status = eepromCrcMain(int(args.size()), argv.data());
    fflush(stdout);
    // Exit statuses are small codes: 0..7 for results, 101..107 for options.
    if (status < 0 || (status > 7 && (status < 101 || status > 107)))
        abort();
    return 0;
}
