#include "crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <vector>

namespace {

// zlib is the independent reference.
uint32_t ZlibCrc(const std::vector<uint8_t>& bytes)
{
    return uint32_t(crc32(crc32(0L, Z_NULL, 0), bytes.data(), uInt(bytes.size())));
}

TEST(Crc32, AgreesWithZlib)
{
    std::mt19937 random(20240601);
    std::vector<std::vector<uint8_t>> inputs = {
        {},
        {'1', '2', '3', '4', '5', '6', '7', '8', '9'},
        std::vector<uint8_t>(256, 0xFF),
        std::vector<uint8_t>(141, 0x00),
    };
    for (size_t size : {1u, 60u, 123u, 255u, 4096u}) {
        std::vector<uint8_t> bytes(size);
        for (uint8_t& byte : bytes)
            byte = uint8_t(random());
        inputs.push_back(bytes);
    }
    for (const auto& input : inputs)
        EXPECT_EQ(crc32Bitwise(input.data(), input.size()), ZlibCrc(input))
            << input.size() << " bytes";
    EXPECT_EQ(crc32Bitwise(inputs[1].data(), 9), 0xCBF43926u) << "the published check value";
}

}  // namespace
