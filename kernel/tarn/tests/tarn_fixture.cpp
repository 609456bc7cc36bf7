#include "tarn_fixture.h"

#include <chrono>
#include <cstdio>
#include <sstream>

namespace tarn_test {

Bytes H(const std::string& hex)
{
    Bytes out;
    std::istringstream in(hex);
    std::string word;
    while (in >> word)
        out.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
    return out;
}

std::string Hex(const Bytes& bytes)
{
    std::string out;
    char cell[4];
    for (uint8_t b : bytes) {
        std::snprintf(cell, sizeof(cell), "%02X", b);
        if (!out.empty())
            out += ' ';
        out += cell;
    }
    return out;
}

Bytes Repeat(uint8_t byte, size_t n) { return Bytes(n, byte); }

Bytes Cat(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

uint8_t Xor(const Bytes& bytes)
{
    uint8_t x = 0;
    for (uint8_t b : bytes)
        x ^= b;
    return x;
}

Sleeper::Sleeper(std::function<ssize_t()> call)
    : thread_([this, call] {
          task_ = ktest_current();
          result_ = call();
          sleeps_ = ktest_task_sleeps(ktest_current());
          done_ = true;
      })
{
    while (!task_)
        std::this_thread::yield();
}

Sleeper::~Sleeper()
{
    if (thread_.joinable())
        Result();
}

ssize_t Sleeper::Result()
{
    if (!thread_.joinable())
        return result_;
    for (int ms = 0; !done_ && ms < 5000; ++ms)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!done_) {
        stuck_ = true;
        ktest_task_signal(task_);
    }
    thread_.join();
    return result_;
}

void Tarn::SetUp()
{
    ktest_reset();
    ASSERT_EQ(0, ktest_module_init());
    tty = ktest_tty_alloc("ttymxc2");
    file = ktest_file_open(tty, O_RDWR);
    nbfile = ktest_file_open(tty, O_RDWR | O_NONBLOCK);
}

void Tarn::TearDown()
{
    ktest_file_close(file);
    ktest_file_close(nbfile);
    ktest_tty_free(tty);
    EXPECT_EQ(0, used_buf_count) << "buffers not returned to the pool";
    ktest_module_exit();
    EXPECT_EQ(0, ktest_alloc_outstanding()) << "kernel memory leaked";
    ktest_param_set_int("debug", 0);
    if (HasFailure())
        ktest_log_dump();
}

void Tarn::Use(int disc) { ASSERT_EQ(0, ktest_tty_set_ldisc(tty, disc)); }

int Tarn::Station(unsigned int cmd, uint8_t id)
{
    return ktest_tty_ioctl(tty, file, cmd, reinterpret_cast<unsigned long>(&id));
}

void Tarn::Resume(uint8_t id)
{
    ASSERT_EQ(0, Station(TARN_REGISTER, id));
    ASSERT_EQ(0, Station(TARN_RESUME, id));
}

void Tarn::Feed(const Bytes& bytes, const std::string& flags)
{
    ASSERT_TRUE(flags.empty() || flags.size() == bytes.size());
    ktest_tty_receive(tty, bytes.data(), flags.empty() ? nullptr : flags.data(),
                      static_cast<int>(bytes.size()));
}

std::string Tarn::Sent()
{
    Bytes out(ktest_tty_output_len(tty));
    out.resize(ktest_tty_take_output(tty, out.data(), out.size()));
    return Hex(out);
}

std::vector<std::string> Tarn::Messages()
{
    std::vector<std::string> all;
    uint8_t buf[512];
    ssize_t n;
    while ((n = ktest_tty_read(tty, nbfile, buf, sizeof(buf))) > 0)
        all.push_back(Hex(Bytes(buf, buf + n)));
    EXPECT_EQ(-EAGAIN, n);
    return all;
}

ssize_t Tarn::Write(const Bytes& bytes, bool blocking)
{
    return ktest_tty_write(tty, blocking ? file : nbfile, bytes.data(), bytes.size());
}

int Tarn::Ioctl(unsigned int cmd, unsigned long arg) { return ktest_tty_ioctl(tty, file, cmd, arg); }

int Tarn::OutQ()
{
    int n = -1;
    EXPECT_EQ(0, Ioctl(TIOCOUTQ, reinterpret_cast<unsigned long>(&n)));
    return n;
}

int Tarn::InQ()
{
    int n = -1;
    EXPECT_EQ(0, Ioctl(FIONREAD, reinterpret_cast<unsigned long>(&n)));
    return n;
}

}  // namespace tarn_test
