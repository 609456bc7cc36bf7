// Concurrency: the receive worker answering polls and selections while
// station processes write, flush, suspend, resume and read, and the tty
// hangs up and reopens. Run under ThreadSanitizer (data races) and
// AddressSanitizer (use after free, double free); the pool must account
// for every buffer at the end.
#include <array>
#include <chrono>
#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "tarn_fixture.h"

namespace tarn_test {
namespace {

constexpr int kStations = 6;

class Race : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override
    {
        ktest_reset();
        ASSERT_EQ(0, ktest_module_init());
        tty = ktest_tty_alloc("ttymxc3");
        ASSERT_EQ(0, ktest_tty_set_ldisc(tty, GetParam()));
        RegisterAll();
    }

    void TearDown() override
    {
        ktest_tty_free(tty);
        EXPECT_EQ(0, used_buf_count) << "buffers lost";
        EXPECT_LE(free_buf_list.count, 10);
        ktest_module_exit();
        EXPECT_EQ(0, ktest_alloc_outstanding());
        EXPECT_EQ(0u, ktest_log_find("WARNING", 4));
    }

    void RegisterAll()
    {
        struct file* f = ktest_file_open(tty, O_RDWR);
        for (uint8_t id = 1; id <= kStations; ++id) {
            ktest_tty_ioctl(tty, f, TARN_REGISTER, reinterpret_cast<unsigned long>(&id));
            ktest_tty_ioctl(tty, f, TARN_RESUME, reinterpret_cast<unsigned long>(&id));
        }
        ktest_file_close(f);
    }

    // One chunk of what a busy master sends: polls, selections (good and
    // bad), broadcasts, answers to the stations' frames, the odd break.
    static Bytes MasterChunk(std::mt19937& rng, std::string& flags)
    {
        Bytes out;
        flags.clear();
        const uint8_t id = 1 + rng() % (kStations + 1);  // one id never registered
        switch (rng() % 6) {
        case 0:
        case 1:
            out = {0x04, static_cast<uint8_t>(0x40 | id)};
            out.push_back(static_cast<uint8_t>(std::array<int, 5>{0x06, 0x15, 0x05, 0x04, 0x41}[rng() % 5]));
            break;
        case 2:
        case 3:
            out = SelectFrame(rng, id);
            break;
        case 4:
            out = {0x04, 0x01, 0x02, 0x41, 0x42, 0x03, 0x00};
            break;
        default:
            out = {0x00, 0x00, 0x41};
            flags = std::string("\1\1\0", 3);
            break;
        }
        return out;
    }

    // A selected frame that both disciplines accept (block byte above 0x3F,
    // only text bytes that neither escapes), or one with a wrong check.
    static Bytes SelectFrame(std::mt19937& rng, uint8_t id)
    {
        Bytes text(1 + rng() % 40);
        for (uint8_t& b : text)
            b = static_cast<uint8_t>(0x40 + rng() % 0xC0);
        Bytes out = {0x04, static_cast<uint8_t>(0x60 | id), 0x02};
        out.insert(out.end(), text.begin(), text.end());
        out.push_back(0x03);
        out.push_back(static_cast<uint8_t>(Xor(text) ^ 0x03 ^ (rng() % 4 == 0 ? 0x55 : 0)));
        return out;
    }

    int InQueue(struct file* f)
    {
        int n = -1;
        ktest_tty_ioctl(tty, f, FIONREAD, reinterpret_cast<unsigned long>(&n));
        return n;
    }

    struct tty_struct* tty = nullptr;
};

// Hammers exactly the hand-over the unlocked design lost: a flush or a
// close while the receive worker sends and releases the same pending frame.
TEST_P(Race, FlushAndWriteDuringPollAnswers)
{
    std::atomic<bool> stop{false};
    std::thread master([&] {
        const Bytes poll = {0x04, 0x45, 0x06, 0x04, 0x45, 0x15, 0x04, 0x45, 0x05};
        for (int i = 0; i < 20000; ++i)
            ktest_tty_receive(tty, poll.data(), nullptr, static_cast<int>(poll.size()));
        stop = true;
    });
    std::thread station([&] {
        struct file* f = ktest_file_open(tty, O_RDWR | O_NONBLOCK);
        uint8_t id = 5;
        const Bytes frame = {0x05, 0x31, 0x41, 0x42};
        const Bytes once = {0x85, 0x31, 0x41, 0x42};
        for (int i = 0; !stop; ++i) {
            ktest_tty_write(tty, f, (i % 3 ? frame : once).data(), frame.size());
            if (i % 2)
                ktest_tty_ioctl(tty, f, TARN_FLUSH, reinterpret_cast<unsigned long>(&id));
            uint8_t buf[512];
            while (ktest_tty_read(tty, f, buf, sizeof(buf)) > 0) {
            }
        }
        ktest_file_close(f);
    });
    master.join();
    station.join();
}

TEST_P(Race, EverythingAtOnceWithHangups)
{
    std::atomic<bool> stop{false};

    std::atomic<int> progress{0};
    std::thread master([&] {
        std::mt19937 rng(1234);
        std::string flags;
        for (int i = 0; i < 15000; ++i) {
            Bytes chunk = MasterChunk(rng, flags);
            ktest_tty_receive(tty, chunk.data(), flags.empty() ? nullptr : flags.data(),
                              static_cast<int>(chunk.size()));
            progress = i;
        }
        stop = true;
    });

    auto worker = [&](unsigned int f_flags, auto body) {
        return std::thread([&, f_flags, body] {
            std::mt19937 rng(f_flags + 7);
            while (!stop) {
                struct file* f = ktest_file_open(tty, f_flags);
                while (!stop && body(f, rng)) {
                }
                ktest_file_close(f);
                std::this_thread::yield();
            }
        });
    };
    // A body returns false when its file is dead (hangup): a new one is opened.
    std::thread reader = worker(O_RDWR, [&](struct file* f, std::mt19937&) {
        uint8_t buf[512];
        ssize_t n = ktest_tty_read(tty, f, buf, sizeof(buf));
        return n > 0 || n == -EINTR;
    });
    std::thread blocking_writer = worker(O_RDWR, [&](struct file* f, std::mt19937& rng) {
        Bytes w = {static_cast<uint8_t>(1 + rng() % kStations), 0x31, 0x41};
        ssize_t n = ktest_tty_write(tty, f, w.data(), w.size());
        return n > 0 || n == -EINVAL;
    });
    std::thread writer = worker(O_RDWR | O_NONBLOCK, [&](struct file* f, std::mt19937& rng) {
        Bytes w(1 + rng() % 60, 0x20);
        w[0] = static_cast<uint8_t>((1 + rng() % kStations) | (rng() % 2 ? 0x80 : 0));
        ssize_t n = ktest_tty_write(tty, f, w.data(), w.size());
        return n > 0 || n == -EAGAIN || n == -EINVAL;
    });
    std::thread control = worker(O_RDWR | O_NONBLOCK, [&](struct file* f, std::mt19937& rng) {
        static const unsigned int cmds[] = {TARN_FLUSH, TARN_SUSPEND, TARN_RESUME, TARN_REGISTER};
        uint8_t id = static_cast<uint8_t>(1 + rng() % kStations);
        int count = 0;
        int r = ktest_tty_ioctl(tty, f, cmds[rng() % 4], reinterpret_cast<unsigned long>(&id));
        ktest_tty_ioctl(tty, f, TIOCOUTQ, reinterpret_cast<unsigned long>(&count));
        ktest_tty_ioctl(tty, f, FIONREAD, reinterpret_cast<unsigned long>(&count));
        struct ktest_poll_table pt;
        ktest_poll_table_init(&pt);
        ktest_tty_poll(tty, f, &pt.pt);
        return r != -EIO;
    });

    // Now and then the whole pool is taken and given back, so that writers
    // also wait for buffers and are woken by releases from another thread.
    std::thread hog([&] {
        std::vector<struct n_tarn_buf*> held;
        while (!stop) {
            while (struct n_tarn_buf* b = n_tarn_buf_alloc())
                held.push_back(b);
            std::this_thread::yield();
            for (struct n_tarn_buf* b : held)
                n_tarn_buf_free(b);
            held.clear();
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });

    // A hangup every 150 chunks, while the master goes on.
    int hangups = 0;
    for (int next = 150; !stop; next += 150) {
        while (!stop && progress < next)
            std::this_thread::yield();
        ktest_tty_hangup(tty);
        ++hangups;
        EXPECT_EQ(0, ktest_tty_reopen(tty));
        RegisterAll();
    }
    master.join();
    // Wakes the sleepers for good: without a discipline every call fails.
    ktest_tty_hangup(tty);
    for (std::thread* t : {&reader, &blocking_writer, &writer, &control, &hog})
        t->join();
    EXPECT_GT(hangups, 0);

    // After all that the discipline still works on a fresh open.
    ASSERT_EQ(0, ktest_tty_reopen(tty));
    RegisterAll();
    struct file* f = ktest_file_open(tty, O_RDWR | O_NONBLOCK);
    std::vector<uint8_t> old(ktest_tty_output_len(tty));
    ktest_tty_take_output(tty, old.data(), old.size());
    const Bytes select = {0x04, 0x63, 0x02, 0x41, 0x03, 0x42};
    ktest_tty_receive(tty, select.data(), nullptr, static_cast<int>(select.size()));
    uint8_t buf[8], answer[8];
    EXPECT_EQ("06", Hex(Bytes(answer, answer + ktest_tty_take_output(tty, answer, sizeof(answer)))));
    EXPECT_EQ(3, ktest_tty_read(tty, f, buf, sizeof(buf)));
    EXPECT_EQ(0, InQueue(f));
    ktest_file_close(f);
}

INSTANTIATE_TEST_SUITE_P(BothDisciplines, Race, ::testing::Values(kGeneric, kMoc),
                         [](const auto& info) { return info.param == kGeneric ? "generic" : "moc"; });

}  // namespace
}  // namespace tarn_test
