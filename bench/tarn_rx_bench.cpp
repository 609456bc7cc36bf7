// Receive-path cost of the tarn disciplines in the host build: nanoseconds
// per received byte over a long mixed stream of polls (answered with EOT or
// a pending frame), selections, broadcasts, answers and noise, fed in the
// chunks a serial receive worker would hand over. A reader drains the
// messages between chunks (chunks stay small enough that the pool never runs
// dry, which would make the path cheaper); only the receive calls are timed.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <vector>

#include <fcntl.h>

#include <ktest.h>
#include <ktest_tty.h>

#include "tarn_ioctl.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes MixedStream(size_t size, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes out;
    while (out.size() < size) {
        const uint8_t id = 1 + rng() % 8;
        switch (rng() % 8) {
        case 0:
        case 1:
        case 2:  // poll, and an ACK in case a frame went out
            out.insert(out.end(), {0x04, static_cast<uint8_t>(0x40 | id), 0x06});
            break;
        case 3:
        case 4: {  // selection with 8 to 64 text bytes, block byte above 0x3F
            Bytes frame = {0x04, static_cast<uint8_t>(0x60 | id), 0x02};
            uint8_t bcc = 0;
            const int n = 8 + rng() % 57;
            for (int i = 0; i < n; ++i) {
                uint8_t b = static_cast<uint8_t>(0x40 + rng() % 0xC0);
                frame.push_back(b);
                bcc ^= b;
            }
            frame.push_back(0x03);
            frame.push_back(static_cast<uint8_t>(bcc ^ 0x03));
            out.insert(out.end(), frame.begin(), frame.end());
            break;
        }
        case 5:  // broadcast
            out.insert(out.end(), {0x04, 0x01, 0x02, 0x41, 0x42, 0x43, 0x03, 0x43});
            break;
        default:  // line noise while hunting
            out.insert(out.end(), {0x41, 0x7E, 0x20});
            break;
        }
    }
    return out;
}

double RunOne(int disc, const Bytes& stream, size_t chunk)
{
    struct tty_struct* tty = ktest_tty_alloc("ttybench");
    if (ktest_tty_set_ldisc(tty, disc) != 0)
        return -1;
    struct file* f = ktest_file_open(tty, O_RDWR | O_NONBLOCK);
    for (uint8_t id = 1; id <= 8; ++id) {
        ktest_tty_ioctl(tty, f, TARN_REGISTER, reinterpret_cast<unsigned long>(&id));
        ktest_tty_ioctl(tty, f, TARN_RESUME, reinterpret_cast<unsigned long>(&id));
    }
    std::chrono::nanoseconds spent{0};
    uint8_t buf[512];
    uint8_t frame[] = {0x00, 0x31, 0x41, 0x42, 0x43};
    for (size_t at = 0; at < stream.size(); at += chunk) {
        const int n = static_cast<int>(std::min(chunk, stream.size() - at));
        auto t0 = std::chrono::steady_clock::now();
        ktest_tty_receive(tty, stream.data() + at, nullptr, n);
        spent += std::chrono::steady_clock::now() - t0;
        while (ktest_tty_read(tty, f, buf, sizeof(buf)) > 0) {
        }
        frame[0] = static_cast<uint8_t>(1 + at % 8);
        ktest_tty_write(tty, f, frame, sizeof(frame));  // -EAGAIN while one is pending
        ktest_tty_take_output(tty, buf, sizeof(buf));
        while (ktest_tty_output_len(tty))
            ktest_tty_take_output(tty, buf, sizeof(buf));
    }
    ktest_file_close(f);
    ktest_tty_free(tty);
    return static_cast<double>(spent.count()) / static_cast<double>(stream.size());
}

}  // namespace

int main()
{
    ktest_reset();
    if (ktest_module_init() != 0) {
        std::fprintf(stderr, "module init failed\n");
        return 1;
    }
    const Bytes stream = MixedStream(16u << 20, 42);
    std::printf("tarn receive path, host build, %zu-byte mixed stream, 8 stations\n", stream.size());
    for (int disc : {TARN_LDISC_GENERIC, TARN_LDISC_MOC}) {
        for (size_t chunk : {16u, 256u, 1024u}) {
            double best = 1e9;
            for (int run = 0; run < 3; ++run) {
                double ns = RunOne(disc, stream, chunk);
                if (ns >= 0 && ns < best)
                    best = ns;
            }
            std::printf("  %-7s chunks of %4zu bytes: %6.2f ns/byte (best of 3)\n",
                        disc == TARN_LDISC_GENERIC ? "generic" : "moc", chunk, best);
        }
    }
    ktest_module_exit();
    return 0;
}
