// The service's only path to cryptography: AES-256-CBC with keys that exist
// in plain form only inside the crypto device, key generation, random bytes
// (all through "/dev/vcrypto", one open, command and close per operation),
// and the CRC-32 used for item and directory integrity.
#pragma once

#include "SecretBytes.h"

// Owner of one growable byte buffer for a device request. Requests carry
// plaintext, so the buffer wipes itself, also what it leaves when it grows;
// reserve the whole request first so that it never has to.
class CryptoData {
public:
    explicit CryptoData(int size) : m_data(size) {}

    void reserve(int capacity) { m_data.reserve(capacity); }
    void putData(const void* bytes, int count) { m_data.append(bytes, count); }
    unsigned char* get() { return m_data.data(); }
    int getLength() const { return m_data.size(); }

private:
    SecretBytes m_data;
};

enum VcryptoOp {
    VcryptoDecrypt = 0,
    VcryptoEncrypt = 1,
    VcryptoKeyGen = 2,
    VcryptoRandom = 3
};

class CryptoUtils {
public:
    static constexpr unsigned kKeyRecordLength = 128;
    static constexpr unsigned kMaxDataLength = 261984;  // 16383 blocks less the request header
    static constexpr unsigned kMaxRandom = 16383;

    // 0 on success, 1 on any failure (reported on standard error); the
    // output is left unchanged on failure. length must be a multiple of 16.
    static int aes256Encrypt(const unsigned char* key, const unsigned char* input, unsigned length,
                             unsigned char* output);
    static int aes256Decrypt(const unsigned char* key, const unsigned char* input, unsigned length,
                             unsigned char* output);
    // A new wrapped key record of 128 bytes.
    static int aes256GenAndEnc(unsigned char* output);
    static int rnd(unsigned count, unsigned char* output);
    // IEEE 802.3 CRC-32, the value zlib's crc32 gives.
    static unsigned int crc32(const unsigned char* data, unsigned length);

private:
    static int aes256(VcryptoOp op, const unsigned char* key, const unsigned char* input,
                      unsigned length, unsigned char* output);
};
