// Arbitrary EEPROM content through the readers as zel-eeprom reads it: the
// first byte picks the layout, the reader takes its image from the stream,
// every item and runtime item is printed (plain and with descriptions), and
// whatever follows the image is a list of item names to look up, one a line
// (the first eight).
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "zel_eeprom.h"

namespace {

volatile size_t g_lastLength;

FILE* Sink()
{
    static FILE* sink = fopen("/dev/null", "w");
    return sink;
}

std::unique_ptr<ZEL_EEPROM> ReaderFor(int version)
{
    switch (version) {
    case 2: return std::make_unique<ZEL_EEPROM_V2>();
    case 3: return std::make_unique<ZEL_EEPROM_V3>();
    default: return nullptr;
    }
}

// A few names are enough: each lookup is independent of the others.
void LookUp(const ZEL_EEPROM& reader, const uint8_t* names, size_t size)
{
    const char* next = reinterpret_cast<const char*>(names);
    const char* end = next + size;
    for (int looked = 0; looked < 8 && next <= end; ++looked) {
        const char* line = static_cast<const char*>(memchr(next, '\n', size_t(end - next)));
        if (line == nullptr)
            line = end;
        // Reading the whole text lets AddressSanitizer check the pointer.
        const char* value = reader.value(std::string(next, line));
        if (value != nullptr)
            g_lastLength = strlen(value);
        next = line + 1;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    std::unique_ptr<ZEL_EEPROM> reader = ReaderFor(data[0]);
    if (!reader)
        return 0;
    FILE* in = fmemopen(const_cast<uint8_t*>(data + 1), size - 1, "rb");
    if (in == nullptr)
        return 0;
    const int status = reader->read(data[0], in, Sink());
    const long used = ftell(in);
    fclose(in);
    if (status == 1)
        return 0;
    for (bool verbose : {false, true}) {
        reader->printItems(reader->items(), reader->itemCount(), verbose, Sink(), Sink());
        reader->printItems(RUNTIME_ITEMS, RUNTIME_ITEM_COUNT, verbose, Sink(), Sink());
    }
    const size_t consumed = 1 + static_cast<size_t>(used < 0 ? 0 : used);
    if (consumed < size)
        LookUp(*reader, data + consumed, size - consumed);
    return 0;
}
