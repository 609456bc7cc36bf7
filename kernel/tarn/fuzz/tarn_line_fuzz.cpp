// One tarn discipline on a tty, driven by arbitrary line traffic and station
// calls through the tty double, as the serial line and the station processes
// would drive it. The input is a list of steps; the low 3 bits of a step's
// first byte say what it is:
//   0  line bytes: count, bytes
//   1  line bytes with receive flags: count, bytes, one flag byte each
//   2  station ioctl: command (register, suspend, resume, flush), id byte
//   3  write() as a station: count, bytes (id byte first)
//   4  read() of one message into a buffer of the given size
//   5  TIOCOUTQ, FIONREAD or an unknown command
//   6  take what the module sent on the line
//   7  toggle the debug traces
// Both files are non-blocking, so nothing waits. Checked after each input:
// every buffer is back in the pool once the discipline is closed, and all
// kernel memory is freed once the module is unloaded.
#include <fcntl.h>
#include <sys/ioctl.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include <ktest.h>
#include <ktest_tty.h>

extern "C" {
#include "tarn_buf.h"
}
#include "tarn_ioctl.h"

namespace {

const unsigned int kStationCommands[4] = {TARN_REGISTER, TARN_SUSPEND, TARN_RESUME, TARN_FLUSH};
const unsigned int kOtherCommands[4] = {TIOCOUTQ, FIONREAD, TCFLSH, 0x5401 /* TCGETS */};

struct Steps {
    const uint8_t* data;
    size_t size;
    size_t at = 0;

    bool more() const { return at < size; }
    uint8_t byte() { return at < size ? data[at++] : 0; }
    std::vector<uint8_t> bytes(size_t n)
    {
        n = std::min(n, size - at);
        std::vector<uint8_t> out(data + at, data + at + n);
        at += n;
        return out;
    }
};

void Step(Steps& in, struct tty_struct* tty, struct file* file)
{
    const uint8_t kind = in.byte();
    switch (kind & 7) {
    case 0: {
        std::vector<uint8_t> line = in.bytes(in.byte());
        ktest_tty_receive(tty, line.data(), nullptr, static_cast<int>(line.size()));
        break;
    }
    case 1: {
        const size_t n = in.byte();
        std::vector<uint8_t> line = in.bytes(n);
        std::vector<char> flags(line.size());
        for (char& flag : flags)
            flag = static_cast<char>(in.byte() % 5);  // TTY_NORMAL .. TTY_OVERRUN
        ktest_tty_receive(tty, line.data(), flags.data(), static_cast<int>(line.size()));
        break;
    }
    case 2: {
        uint8_t id = in.byte();
        ktest_tty_ioctl(tty, file, kStationCommands[(kind >> 3) & 3],
                        reinterpret_cast<unsigned long>(&id));
        break;
    }
    case 3: {
        std::vector<uint8_t> text = in.bytes(in.byte() + ((kind >> 3) & 1) * 256);
        ktest_tty_write(tty, file, text.data(), text.size());
        break;
    }
    case 4: {
        // A buffer of exactly the size asked for, so that overruns show.
        std::vector<uint8_t> buf(in.byte());
        ktest_tty_read(tty, file, buf.data(), buf.size());
        break;
    }
    case 5: {
        int value = -1;
        ktest_tty_ioctl(tty, file, kOtherCommands[(kind >> 3) & 3],
                        reinterpret_cast<unsigned long>(&value));
        break;
    }
    case 6: {
        uint8_t sent[512];
        ktest_tty_take_output(tty, sent, sizeof sent);
        break;
    }
    default:
        ktest_param_set_int("debug", (kind >> 3) & 1);
        break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    ktest_reset();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // A fresh module for every input.
    if (ktest_module_init() != 0)
        abort();
    struct tty_struct* tty = ktest_tty_alloc("ttymxc2");
    struct file* file = ktest_file_open(tty, O_RDWR | O_NONBLOCK);
    if (ktest_tty_set_ldisc(tty, FUZZ_LDISC) != 0)
        abort();
    Steps in{data, size};
    while (in.more())
        Step(in, tty, file);
    ktest_file_close(file);
    ktest_tty_free(tty);
    ktest_param_set_int("debug", 0);
    if (used_buf_count != 0)
        abort();
    ktest_module_exit();
    if (ktest_alloc_outstanding() != 0 || ktest_pages_outstanding() != 0)
        abort();
    // Forgets the log too, so that what this input allocated is freed by it.
    ktest_reset();
    return 0;
}
