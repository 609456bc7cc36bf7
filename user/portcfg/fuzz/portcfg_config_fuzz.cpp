// Arbitrary switch.dat and vlan.dat content through portcfg's loaders: the
// input is written to a scratch file that both loaders read. There is no
// switch here, so register files do not open and the VLAN table always
// reads as ready; the pauses the loaders make between register writes are
// skipped so that the fuzzer spends its time on the parsing.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "portcfg.h"
#include "fuzz_support.h"

extern "C" int usleep(useconds_t)
{
    return 0;
}

namespace {

const zeltest::ScratchFile g_config("portcfg-fuzz");

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    zeltest::DiscardStandardOutput();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    g_config.write(data, size);
    loadSwitchConfig(g_config.path());
    loadVLanConfig(g_config.path());
    fflush(stdout);
    return 0;
}
