// Arbitrary command words and buffers through the vcrypto ioctl, on the
// kernel doubles and the CAAM stand-in, with kernel failures injected. The
// input is a list of calls on one open device file, each:
//   byte 0  bits 0-2 command number, bit 3 wrong type byte, bit 4 use the
//           last generated key record, bits 5-7 kernel call to fail
//   byte 1-2 the 14-bit size field (little-endian)
//   byte 3  bits 0-3 calls of that kind that pass before it fails, bit 7
//           pass no buffer
//   then the buffer's bytes, as many as the command reads (zeros after the
//   input's end)
// Checked after each call: a result of 0 or an errno; after the file is
// closed: memory, pages, DMA mappings and files all given back.
#include <fcntl.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" {
#include <ktest.h>
#include <ktest_devices.h>
#include "caam_sim_host.h"
#include "vcrypto_ioctl.h"
}

namespace {

const char* const kFaultPoints[8] = {nullptr,         "kmalloc",       "copy_from_user",
                                     "copy_to_user",  "get_free_pages", "dma_map_single",
                                     "dma_map_sg",    "hwrng_read"};

long g_memory, g_pages;
std::vector<uint8_t> g_record;  // the last key record generated

void Check(bool condition)
{
    if (!condition)
        abort();
}

size_t BufferLength(unsigned nr, unsigned size)
{
    switch (nr) {
    case VCRYPTO_NR_DECRYPT:
    case VCRYPTO_NR_ENCRYPT: return size_t(size) * VCRYPTO_BLOCK_LEN;
    case VCRYPTO_NR_KEYGEN: return VCRYPTO_KEY_RECORD_LEN;
    case VCRYPTO_NR_RANDOM: return size;
    default: return 0;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    ktest_reset();
    caam_sim_host_config config;
    caam_sim_host_defaults(&config);
    if (caam_sim_host_start(&config) != 0 || ktest_module_init() != 0)
        abort();
    g_memory = ktest_alloc_outstanding();
    g_pages = ktest_pages_outstanding();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    g_record.clear();
    int error = 0;
    struct file* file = ktest_misc_open("vcrypto", O_RDWR, &error);
    Check(file != nullptr);
    size_t at = 0;
    while (size - at >= 4) {
        const uint8_t flags = data[at], more = data[at + 3];
        const unsigned nr = flags & 7;
        const unsigned field = (data[at + 1] | (data[at + 2] << 8)) & VCRYPTO_SIZE_MASK;
        at += 4;
        unsigned cmd = VCRYPTO_CMD(nr, field);
        if (flags & 8)
            cmd ^= 0x0100;  // another type byte
        if (nr == VCRYPTO_NR_KEYGEN)
            cmd |= 0x40000000u;  // the write direction, as clients issue it

        // Exactly the bytes the command may touch, so that a stray access
        // shows as an overflow.
        std::vector<uint8_t> buffer(std::max<size_t>(BufferLength(nr, field), 1));
        const size_t given = std::min(buffer.size(), size - at);
        memcpy(buffer.data(), data + at, given);
        at += given;
        if ((flags & 16) && !g_record.empty() && buffer.size() >= VCRYPTO_HEADER_LEN)
            memcpy(buffer.data() + VCRYPTO_IV_LEN, g_record.data(), g_record.size());

        const char* point = kFaultPoints[flags >> 5];
        if (point != nullptr)
            ktest_fault_set(point, more & 15, 1);
        const unsigned long arg = (more & 128) ? 0 : reinterpret_cast<unsigned long>(buffer.data());
        const long result = ktest_file_ioctl(file, cmd, arg);
        if (point != nullptr)
            ktest_fault_clear(point);
        Check(result <= 0 && result >= -4095);
        if (result == 0 && nr == VCRYPTO_NR_KEYGEN && arg != 0)
            g_record = buffer;
    }
    Check(ktest_file_release(file) == 0);
    Check(ktest_alloc_outstanding() == g_memory && ktest_pages_outstanding() == g_pages);
    Check(ktest_dma_outstanding() == 0 && ktest_dma_misuse() == 0 && ktest_files_open() == 0);
    // What this input logged goes with it, so the log does not grow from
    // input to input.
    ktest_log_reset();
    return 0;
}
