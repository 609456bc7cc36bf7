// CryptoUtils where no device is present: its limits are checked before the
// device is opened, every operation reports the missing device, and the
// CRC-32 equals zlib's.
#include <algorithm>

#include "CryptoUtils.h"
#include "board_fixture.h"

using namespace vyrna_test;

namespace {

const unsigned char kKey[128] = {};

struct LimitCase {
    unsigned length;
    const char* message;
};

class CipherLimits : public ::testing::TestWithParam<LimitCase> {};

TEST_P(CipherLimits, RefusedBeforeTheDeviceIsOpened)
{
    // Buffers as large as the device could ever take: reading further is a fault.
    const size_t size = std::min<size_t>(GetParam().length, 262016);
    std::vector<unsigned char> in(size), out(size, 0xAA);
    for (auto op : {CryptoUtils::aes256Encrypt, CryptoUtils::aes256Decrypt}) {
        StderrCapture err;
        EXPECT_EQ(op(kKey, in.data(), GetParam().length, out.data()), 1);
        // No "Error opening": the device was never asked.
        EXPECT_EQ(err.text(), GetParam().message);
    }
    EXPECT_EQ(out, std::vector<unsigned char>(in.size(), 0xAA));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CipherLimits,
    ::testing::Values(LimitCase{17, "Bad data length 17\n"},
                      LimitCase{261985, "Bad data length 261985\n"},
                      LimitCase{262000, "The data is too long (262000B > 255K)\n"},
                      LimitCase{0x7FFFFFF0u, "The data is too long (2147483632B > 255K)\n"}));

TEST(CryptoUtilsLimits, RandomCountLimit)
{
    std::vector<unsigned char> out(16384);
    StderrCapture err;
    EXPECT_EQ(CryptoUtils::rnd(16384, out.data()), 1);
    EXPECT_EQ(err.text(), "The length exceeds the MAX (16384B > 16383B)\n");
}

TEST(CryptoUtilsNoDevice, EveryOperationReportsTheMissingDevice)
{
    std::vector<unsigned char> buffer(261984);
    StderrCapture err;
    EXPECT_EQ(CryptoUtils::aes256Encrypt(kKey, buffer.data(), 261984, buffer.data()), 1);
    EXPECT_EQ(CryptoUtils::aes256Decrypt(kKey, buffer.data(), 16, buffer.data()), 1);
    EXPECT_EQ(CryptoUtils::aes256GenAndEnc(buffer.data()), 1);
    EXPECT_EQ(CryptoUtils::rnd(16383, buffer.data()), 1);
    std::string expected;
    for (int i = 0; i < 4; ++i)
        expected += "Error opening /dev/vcrypto\n";
    EXPECT_EQ(err.text(), expected);
}

TEST(CryptoUtilsCrc, EqualsZlib)
{
    std::vector<QByteArray> inputs = {QByteArray(), QByteArray("123456789"), QByteArray(1, '\0'),
                                      QByteArray(128, '\xFF'), QByteArray(261984, 'k')};
    QByteArray noise(4099, '\0');
    for (int i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<char>((i * 7919) ^ (i >> 3));
    inputs.push_back(noise);
    for (const QByteArray& input : inputs) {
        EXPECT_EQ(CryptoUtils::crc32(reinterpret_cast<const unsigned char*>(input.constData()),
                                     static_cast<unsigned>(input.size())),
                  ZlibCrc(input))
            << input.size() << " bytes";
    }
    EXPECT_EQ(CryptoUtils::crc32(reinterpret_cast<const unsigned char*>("123456789"), 9), 0xCBF43926u);
}

}  // namespace
