// Drives the tarn disciplines through the tty core double, as the tty layer
// and a line master would: feed bytes from the line, read what the module
// answers on it, read and write as station processes.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>

#include <ktest.h>
#include <ktest_tty.h>

extern "C" {
#include "tarn_buf.h"
}
#include "tarn_ioctl.h"

namespace tarn_test {

using Bytes = std::vector<uint8_t>;

// "02 41 10" -> bytes; "" -> none.
Bytes H(const std::string& hex);
std::string Hex(const Bytes& bytes);
Bytes Repeat(uint8_t byte, size_t n);
Bytes Cat(Bytes a, const Bytes& b);

// XOR of the bytes, the block check of both disciplines.
uint8_t Xor(const Bytes& bytes);

constexpr int kGeneric = TARN_LDISC_GENERIC;
constexpr int kMoc = TARN_LDISC_MOC;

// A blocking call made on a thread of its own, as a station process makes
// it, watched through its task.
class Sleeper {
public:
    explicit Sleeper(std::function<ssize_t()> call);
    ~Sleeper();
    struct task_struct* task() const { return task_; }
    // Waits until the call sleeps; false if it does not within 5 s.
    bool Asleep() { return ktest_task_wait_asleep(task_, 5000) != 0; }
    // The call's result. A call still asleep 5 s after this is asked has
    // lost its wake-up: a signal ends it, so that the test fails rather
    // than hangs, and Stuck() tells.
    ssize_t Result();
    bool Stuck() const { return stuck_; }
    // Times the call went to sleep.
    long Sleeps() const { return sleeps_; }

private:
    std::atomic<struct task_struct*> task_{nullptr};
    std::atomic<bool> done_{false};
    ssize_t result_ = 0;
    long sleeps_ = 0;
    bool stuck_ = false;
    std::thread thread_;
};

class Tarn : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Switches the tty to a discipline (TIOCSETD).
    void Use(int disc);
    // A station ioctl; returns the result.
    int Station(unsigned int cmd, uint8_t id);
    // Registers and resumes the station.
    void Resume(uint8_t id);
    // Bytes from the line; flags one per byte, or none.
    void Feed(const Bytes& bytes, const std::string& flags = "");
    void Feed(const std::string& hex) { Feed(H(hex)); }
    // What the module has written to the line since the last call.
    std::string Sent();
    // Every queued message, in hex, read without blocking.
    std::vector<std::string> Messages();
    // write() as a station process; non-blocking unless told.
    ssize_t Write(const Bytes& bytes, bool blocking = false);
    int Ioctl(unsigned int cmd, unsigned long arg);
    // Stations holding a pending frame, and queued messages.
    int OutQ();
    int InQ();
    // Log entries at error level containing the text.
    size_t Errors(const std::string& text) { return ktest_log_find(text.c_str(), 3); }

    struct tty_struct* tty = nullptr;
    struct file* file = nullptr;    // blocking
    struct file* nbfile = nullptr;  // O_NONBLOCK
};

}  // namespace tarn_test
