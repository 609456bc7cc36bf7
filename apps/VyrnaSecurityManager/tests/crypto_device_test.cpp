// CryptoUtils against the crypto device (the host bridge to the driver and
// its CAAM stand-in, run by the sandbox's --vcrypto feature). The plain key
// never leaves the device, so AES-256-CBC is checked against the device
// itself used as a one-block cipher: with a zero IV each ciphertext block
// must be the encryption of its plaintext block XOR the previous one.
#include <vector>

#include "CryptoUtils.h"
#include "board_fixture.h"

using namespace vyrna_test;

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Pattern(size_t length, unsigned seed)
{
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<unsigned char>((i * 131 + seed) ^ (i >> 7));
    return bytes;
}

class CryptoDevice : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(CryptoUtils::aes256GenAndEnc(key.data()), 0); }

    Bytes Encrypt(const Bytes& plain)
    {
        Bytes out(plain.size());
        EXPECT_EQ(CryptoUtils::aes256Encrypt(key.data(), plain.data(), plain.size(), out.data()), 0);
        return out;
    }
    Bytes Block(const unsigned char* bytes) { return Encrypt(Bytes(bytes, bytes + 16)); }

    Bytes key = Bytes(128);
};

TEST_F(CryptoDevice, KeyRecordsAreNewEachTime)
{
    Bytes other(128);
    ASSERT_EQ(CryptoUtils::aes256GenAndEnc(other.data()), 0);
    EXPECT_NE(other, key);
    EXPECT_EQ(Bytes(key.begin() + 80, key.end()), Bytes(48, 0));
}

TEST_F(CryptoDevice, CipherIsCbcWithZeroIvOverTheWholeInput)
{
    for (size_t length : {16u, 4048u, 4064u, 16352u, 48000u}) {
        SCOPED_TRACE(length);
        const Bytes plain = Pattern(length, static_cast<unsigned>(length));
        const Bytes cipher = Encrypt(plain);
        ASSERT_EQ(cipher.size(), length);
        Bytes previous(16, 0);
        // Every block near the start, the portion seams and the end.
        for (size_t block = 0; block < length / 16; ++block) {
            const size_t offset = block * 16;
            const bool sampled = block < 4 || offset % 16336 < 32 || offset + 64 >= length;
            if (sampled) {
                Bytes chained(16);
                for (size_t i = 0; i < 16; ++i)
                    chained[i] = plain[offset + i] ^ (block == 0 ? 0 : cipher[offset - 16 + i]);
                EXPECT_EQ(Block(chained.data()), Bytes(cipher.begin() + offset, cipher.begin() + offset + 16))
                    << "block " << block;
            }
        }
        Bytes back(length);
        ASSERT_EQ(CryptoUtils::aes256Decrypt(key.data(), cipher.data(), length, back.data()), 0);
        EXPECT_EQ(back, plain);
    }
}

TEST_F(CryptoDevice, LargestInputIsAccepted)
{
    const Bytes plain = Pattern(CryptoUtils::kMaxDataLength, 7);
    const Bytes cipher = Encrypt(plain);
    Bytes back(plain.size());
    ASSERT_EQ(CryptoUtils::aes256Decrypt(key.data(), cipher.data(), plain.size(), back.data()), 0);
    EXPECT_EQ(back, plain);
}

TEST_F(CryptoDevice, RecordTheDeviceCannotImportFailsAndLeavesTheOutput)
{
    Bytes foreign = key;
    foreign[10] ^= 0x40;
    Bytes out(32, 0xAA);
    StderrCapture err;
    EXPECT_EQ(CryptoUtils::aes256Encrypt(foreign.data(), Pattern(32, 1).data(), 32, out.data()), 1);
    EXPECT_EQ(CryptoUtils::aes256Decrypt(foreign.data(), Pattern(32, 1).data(), 32, out.data()), 1);
    EXPECT_EQ(err.text(), "Error ioctl /dev/vcrypto\nError ioctl /dev/vcrypto\n");
    EXPECT_EQ(out, Bytes(32, 0xAA));
}

TEST_F(CryptoDevice, RandomBytesUpToTheLimit)
{
    for (unsigned count : {1u, 16u, 4097u, 16383u}) {
        Bytes first(count + 8, 0), second(count + 8, 0);
        ASSERT_EQ(CryptoUtils::rnd(count, first.data()), 0);
        ASSERT_EQ(CryptoUtils::rnd(count, second.data()), 0);
        if (count >= 16) {
            EXPECT_NE(first, second) << count;
        }
        // Nothing written past the count.
        EXPECT_EQ(Bytes(first.end() - 8, first.end()), Bytes(8, 0)) << count;
    }
}

}  // namespace
