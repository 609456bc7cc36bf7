// Host tests of the vcrypto module: the unchanged module source on the
// kernel doubles and the CAAM stand-in, checked against OpenSSL.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <thread>
#include <string>
#include <vector>

extern "C" {
#include <ktest.h>
#include <ktest_devices.h>
#include "caam_sim.h"
#include "caam_sim_host.h"
#include "vcrypto_ioctl.h"
}

using Bytes = std::vector<uint8_t>;

// The module's key modifier. Pinned here on purpose: records made under
// one value cannot be opened under another.
extern const uint8_t kKeyModifier[16];

Bytes RandomBytes(size_t n);
// AES-256-CBC by OpenSSL, no padding.
Bytes OpensslCbc(const Bytes& key, const Bytes& iv, const Bytes& data, bool encrypt);
// The plain key inside a record (through the stand-in's test hook).
Bytes RevealKey(const Bytes& record);

unsigned CipherCmd(bool encrypt, size_t data_len);

class VcryptoTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Starts the stand-in with cfg_ (tests adjust it first) and loads the
    // module.
    void Start();
    struct file* Open(int* err = nullptr);
    void Close(struct file* file);
    long Ioctl(struct file* file, unsigned cmd, void* buf);

    Bytes KeyGen(struct file* file);
    // Runs a cipher command over data; the result is the whole request
    // buffer after the call. ret receives the ioctl result.
    Bytes Cipher(struct file* file, bool encrypt, const Bytes& record, const Bytes& iv,
                 const Bytes& data, long* ret = nullptr);

    // Kernel log lines containing text (any level up to error).
    size_t Logged(const char* text) { return ktest_log_find(text, 3); }
    // Later log checks look only at lines logged from here on.
    void MarkLog() { log_mark_ = ktest_log_count(); }
    // True when a line "<function>, <line>: <text>" was logged.
    bool LoggedBy(const std::string& function, const std::string& text);
    // Every slot of key-store unit 1 can be taken: none was left allocated.
    bool KeyStoreEmpty();
    std::string Log();

    caam_sim_host_config cfg_{};
    std::vector<struct file*> open_;
    bool started_ = false;
    size_t log_mark_ = 0;
};
