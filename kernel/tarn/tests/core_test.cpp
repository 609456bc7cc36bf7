// Load and unload, the station ioctls, reading, poll, write wake-up, breaks
// and hangup: what both disciplines share.
#include <functional>
#include <thread>

#include "tarn_fixture.h"

namespace tarn_test {
namespace {

constexpr unsigned int kStationCmds[] = {TARN_REGISTER, TARN_SUSPEND, TARN_RESUME, TARN_FLUSH};

const char* CmdName(unsigned int cmd)
{
    switch (cmd) {
    case TARN_REGISTER: return "REGISTER";
    case TARN_SUSPEND: return "SUSPEND";
    case TARN_RESUME: return "RESUME";
    default: return "FLUSH";
    }
}

using Core = Tarn;

TEST_F(Core, LoadRegistersBothDisciplinesAndFillsThePool)
{
    EXPECT_EQ(1u, ktest_log_find("Quenmar TARN Driver, Version 01.2.01", 3));
    for (int disc : {kGeneric, kMoc}) {
        struct tty_ldisc_ops* ops = ktest_ldisc_ops(disc);
        ASSERT_NE(nullptr, ops) << disc;
        EXPECT_STREQ(disc == kGeneric ? "generic" : "moc", ops->name);
        EXPECT_EQ(TTY_LDISC_MAGIC, ops->magic);
        EXPECT_EQ(disc, ops->num);
    }
    EXPECT_NE(ktest_ldisc_ops(kGeneric)->receive_buf, ktest_ldisc_ops(kMoc)->receive_buf);
    EXPECT_EQ(10, free_buf_list.count);
    EXPECT_EQ(0, used_buf_count);
}

TEST_F(Core, FailedLoadLeavesNothingRegistered)
{
    ktest_module_exit();
    struct Case {
        int passing;  // registrations that succeed
        const char* message;
    };
    const Case cases[] = {
        {0, "TARN: error -16 registering Generic line discipline."},
        {1, "TARN: error -16 registering MOC line discipline."},
    };
    for (const Case& c : cases) {
        ktest_reset();
        ktest_fault_set("tty_register_ldisc", c.passing, 1);
        EXPECT_EQ(-EBUSY, ktest_module_init());
        EXPECT_EQ(1u, ktest_log_find(c.message, 3)) << c.message;
        EXPECT_EQ(nullptr, ktest_ldisc_ops(kGeneric));
        EXPECT_EQ(nullptr, ktest_ldisc_ops(kMoc));
        EXPECT_EQ(0, ktest_alloc_outstanding()) << "pool not drained";
    }
    ktest_reset();
    ASSERT_EQ(0, ktest_module_init());
}

TEST_F(Core, DebugParameterSwitchesTracesAtRunTime)
{
    ktest_module_exit();
    ktest_reset();
    ktest_param_set_int("debug", 3);
    ASSERT_EQ(0, ktest_module_init());
    EXPECT_EQ(1u, ktest_log_find("tarn_init() debug=3", 7));
    Use(kGeneric);
    EXPECT_EQ(1u, ktest_log_find("tarn_open: tty=ttymxc2", 7));
    EXPECT_EQ(-EINVAL, Station(TARN_SUSPEND, 9));
    EXPECT_EQ(1u, ktest_log_find("tarn_ioctl: tty=ttymxc2,cmd=37124", 7));
    EXPECT_EQ(1u, ktest_log_find("tarn_ioctl: SUSPEND, id=9", 7));

    ktest_param_set_int("debug", 0);
    size_t before = ktest_log_count();
    EXPECT_EQ(0, Station(TARN_REGISTER, 9));
    Feed(H("00"), std::string("\1", 1));
    EXPECT_EQ(before, ktest_log_count());
    EXPECT_EQ(0u, ktest_log_find("tarn_ioctl: REGISTER", 7));
    EXPECT_EQ(0u, ktest_log_find("tarn_receive_error", 7));
}

TEST_F(Core, StationCommandsRejectBadIdsWithTheirMessages)
{
    Use(kGeneric);
    for (unsigned int cmd : kStationCmds) {
        for (int id : {0, 33, 255}) {
            EXPECT_EQ(-EINVAL, Station(cmd, static_cast<uint8_t>(id))) << CmdName(cmd) << id;
            std::string text = std::string("tarn_ioctl: ") + CmdName(cmd) + ", invalid id " + std::to_string(id);
            EXPECT_EQ(1u, Errors(text)) << text;
        }
        if (cmd != TARN_REGISTER) {
            EXPECT_EQ(-EINVAL, Station(cmd, 12));
            EXPECT_EQ(1u, Errors(std::string("tarn_ioctl: ") + CmdName(cmd) + ", id 12 not registered"));
        }
        EXPECT_EQ(-EFAULT, Ioctl(cmd, 0)) << "unreadable id byte";
    }
    EXPECT_EQ(0, Station(TARN_REGISTER, 32));
    EXPECT_EQ(-EBUSY, Station(TARN_REGISTER, 32));
    EXPECT_EQ(1u, Errors("tarn_ioctl: REGISTER, id 32 already registered"));
    EXPECT_EQ(-EINVAL, Station(TARN_RESUME, 0)) << "id 0 is not id 32";
    for (unsigned int cmd : {TARN_SUSPEND, TARN_RESUME, TARN_FLUSH})
        EXPECT_EQ(0, Station(cmd, 32)) << CmdName(cmd);
}

TEST_F(Core, AllocationFailuresLeaveTheTtyUsable)
{
    ktest_fault_set("kmalloc", 0, 1);
    EXPECT_EQ(-ENOMEM, ktest_tty_set_ldisc(tty, kGeneric));
    Use(kGeneric);
    ktest_fault_set("kmalloc", 0, 1);
    EXPECT_EQ(-ENOMEM, Station(TARN_REGISTER, 4));
    EXPECT_EQ(0, Station(TARN_REGISTER, 4));
}

TEST_F(Core, QueueCountsAreMessagesAndStations)
{
    Use(kGeneric);
    Resume(1);
    Resume(2);
    Resume(3);
    EXPECT_EQ(4, Write(H("01 41 42 43")));
    EXPECT_EQ(1, Write(H("03")));
    Feed(Cat(H("04 61 02"), Cat(Repeat(0x41, 40), H("03 03"))));  // 40 x 0x41, ETX, BCC 0x03
    Feed("04 42");
    EXPECT_EQ(2, OutQ());
    EXPECT_EQ(2, InQ()) << "a 42-byte and a 2-byte message";
    Feed("04 41 06");
    EXPECT_EQ(1, OutQ());
    EXPECT_EQ(3, InQ());
    Messages();
}

TEST_F(Core, OtherCommandsGoToTheTtyHelper)
{
    Use(kMoc);
    ktest_n_tty_helper_result(-ENOIOCTLCMD);
    EXPECT_EQ(-ENOTTY, Ioctl(TCFLSH, 0));
    EXPECT_EQ(static_cast<unsigned int>(TCFLSH), ktest_n_tty_helper_last_cmd());
    ktest_n_tty_helper_result(7);
    EXPECT_EQ(7, Ioctl(TIOCMGET, 0));
    EXPECT_EQ(2, ktest_n_tty_helper_calls());
}

TEST_F(Core, ReadReturnsOneWholeMessageOrLosesIt)
{
    Use(kGeneric);
    Resume(5);
    Resume(6);
    Feed("04 65 02 48 49 03 02 04 46");
    uint8_t buf[8];
    EXPECT_EQ(-EOVERFLOW, ktest_tty_read(tty, nbfile, buf, 3)) << "4-byte message, 3-byte buffer";
    EXPECT_EQ(2, ktest_tty_read(tty, nbfile, buf, 2)) << "the next message is intact";
    EXPECT_EQ("01 06", Hex(Bytes(buf, buf + 2)));
    EXPECT_EQ(-EAGAIN, ktest_tty_read(tty, nbfile, buf, sizeof(buf)));

    Feed("04 45");
    ktest_fault_set("copy_to_user", 0, 1);
    EXPECT_EQ(-EFAULT, ktest_tty_read(tty, nbfile, buf, sizeof(buf)));
    EXPECT_EQ(0, InQ()) << "a message that could not be copied is gone";

    Feed("04 45");
    ktest_tty_other_closed(tty, 1);
    EXPECT_EQ(-EIO, ktest_tty_read(tty, nbfile, buf, sizeof(buf)));
    EXPECT_EQ(1u, Errors("tarn_read: TTY_OTHER_CLOSED"));
    ktest_tty_other_closed(tty, 0);
    EXPECT_EQ(std::vector<std::string>{"01 05"}, Messages());
}

// A reader asleep in read() wakes for a message, a signal or a hangup; one
// that a hangup overtakes between taking the state and joining the queue
// must see it before it sleeps, since the wake-up has already gone by.
TEST_F(Core, BlockedReaderWakesForMessageSignalAndHangup)
{
    Use(kGeneric);
    Resume(5);
    struct Case {
        const char* name;
        bool overtaken;  // the discipline hangs up just before the reader waits
        std::function<void(Sleeper&)> act;
        ssize_t result;
    };
    const Case cases[] = {
        {"message", false, [this](Sleeper&) { Feed("04 45"); }, 2},
        {"signal", false, [](Sleeper& r) { ktest_task_signal(r.task()); }, -EINTR},
        {"hangup before the reader waits", true, nullptr, -EIO},
        {"hangup", false, [this](Sleeper&) { ktest_tty_hangup(tty); }, -EIO},
    };
    for (const Case& c : cases) {
        if (c.overtaken) {
            ktest_wait_queue_hook(
                &tty->read_wait, [](void* t) { ktest_ldisc_ops(kGeneric)->hangup(static_cast<tty_struct*>(t)); },
                tty);
        }
        uint8_t buf[16] = {};
        Sleeper reader([&] { return ktest_tty_read(tty, file, buf, sizeof(buf)); });
        if (c.act) {
            ASSERT_TRUE(reader.Asleep()) << c.name;
            c.act(reader);
        }
        EXPECT_EQ(c.result, reader.Result()) << c.name;
        EXPECT_FALSE(reader.Stuck()) << c.name << ": the wake-up was lost";
        if (c.overtaken) {
            EXPECT_EQ(0, reader.Sleeps()) << "slept on a state already closed";
            Use(kGeneric);
            Resume(5);
        }
    }
}

extern "C" ssize_t tarn_read_cookie(struct tty_struct*, struct file*, unsigned char*, size_t, void**,
                                    unsigned long);

// The 6.1 tty layer's read loop: a 64-byte kernel buffer, called again while
// the discipline leaves a cookie, -EOVERFLOW discarding what was copied.
ssize_t ReadThroughCookies(struct tty_struct* tty, struct file* file, uint8_t* user, size_t count,
                           size_t fault_at = SIZE_MAX)
{
    void* cookie = nullptr;
    unsigned long offset = 0;
    ssize_t retval = 0;
    uint8_t kernel_buf[64];
    do {
        size_t size = count > sizeof(kernel_buf) ? sizeof(kernel_buf) : count;
        ssize_t got = tarn_read_cookie(tty, file, kernel_buf, size, &cookie, offset);
        if (!got)
            break;
        if (got < 0) {
            if (retval)
                break;
            retval = got;
            if (retval == -EOVERFLOW)
                offset = 0;
            break;
        }
        size_t copied = offset + got > fault_at ? fault_at - offset : got;
        memcpy(user + offset, kernel_buf, copied);
        offset += copied;
        count -= copied;
        if (copied != static_cast<size_t>(got)) {
            count = 0;
            retval = -EFAULT;
        }
    } while (cookie);
    return offset ? offset : retval;
}

TEST_F(Core, CookieReadsDeliverWholeMessagesThroughSmallChunks)
{
    Use(kGeneric);
    Resume(5);
    struct Case {
        size_t text;   // text bytes: message length is text + 2
        size_t count;  // the caller's buffer
        ssize_t expected;
    };
    const Case cases[] = {
        {0, 512, 2},      {61, 63, 63},  {62, 64, 64},   {63, 512, 65},  {126, 128, 128},
        {253, 255, 255},  {253, 512, 255}, {253, 254, -EOVERFLOW}, {62, 63, -EOVERFLOW},
        {10, 0, -EOVERFLOW},
    };
    for (const Case& c : cases) {
        Bytes text = Repeat(0x61, c.text);
        Feed(Cat(Cat(H("04 65 02"), text), H("03")));
        Feed(Bytes{Xor(Cat(text, H("03")))});
        Feed("04 45");  // a second message that must stay intact
        ASSERT_EQ(2, InQ());
        std::vector<uint8_t> user(512);
        EXPECT_EQ(c.expected, ReadThroughCookies(tty, nbfile, user.data(), c.count)) << c.text << "/" << c.count;
        if (c.expected > 0) {
            EXPECT_EQ(Hex(Cat(H("02 05"), text)), Hex(Bytes(user.begin(), user.begin() + c.expected)));
        }
        EXPECT_EQ(std::vector<std::string>{"01 05"}, Messages()) << c.text << "/" << c.count;
        EXPECT_EQ(0, used_buf_count) << "a message left in a cookie";
        Sent();
    }
    // A user buffer that faults midway: what was copied is returned and
    // the message still in the cookie is released.
    Feed(Cat(Cat(H("04 65 02"), Repeat(0x61, 200)), H("03 03")));
    std::vector<uint8_t> user(512);
    EXPECT_EQ(10, ReadThroughCookies(tty, nbfile, user.data(), 512, 10));
    EXPECT_EQ(0, used_buf_count);
}

TEST_F(Core, PollMaskAndQueues)
{
    Use(kGeneric);
    Resume(5);
    struct ktest_poll_table pt;
    ktest_poll_table_init(&pt);
    EXPECT_EQ(0x104u, ktest_tty_poll(tty, file, &pt.pt));
    ASSERT_EQ(2, pt.count);
    EXPECT_EQ(&tty->read_wait, pt.queues[0]);
    EXPECT_EQ(&tty->write_wait, pt.queues[1]);

    Feed("04 45");
    EXPECT_EQ(0x145u, ktest_tty_poll(tty, file, nullptr));
    ktest_tty_other_closed(tty, 1);
    EXPECT_EQ(0x155u, ktest_tty_poll(tty, file, nullptr));
    ktest_tty_other_closed(tty, 0);
    mutex_lock(&tty->atomic_write_lock);
    EXPECT_EQ(0x41u, ktest_tty_poll(tty, file, nullptr)) << "a writer holds the tty";
    mutex_unlock(&tty->atomic_write_lock);
    Messages();

    // Without state: mask 0 and no queue registered.
    struct tty_ldisc_ops* ops = ktest_ldisc_ops(kGeneric);
    ktest_tty_hangup(tty);
    ktest_poll_table_init(&pt);
    EXPECT_EQ(0u, ops->poll(tty, file, &pt.pt));
    EXPECT_EQ(0, pt.count);
}

TEST_F(Core, WriteWakeupSignalsSubscribersOnceWhenAsked)
{
    Use(kMoc);
    struct tty_ldisc_ops* ops = ktest_ldisc_ops(kMoc);
    ops->write_wakeup(tty);  // no subscribers: nothing to do
    struct fasync_struct fa = {};
    tty->fasync = &fa;
    ops->write_wakeup(tty);
    EXPECT_EQ(0, fa.ktest_count) << "TTY_DO_WRITE_WAKEUP not set";
    set_bit(TTY_DO_WRITE_WAKEUP, &tty->flags);
    ops->write_wakeup(tty);
    ops->write_wakeup(tty);
    EXPECT_EQ(1, fa.ktest_count);
    EXPECT_EQ(SIGIO, fa.ktest_sig);
    EXPECT_EQ(POLL_OUT, fa.ktest_band);
    EXPECT_FALSE(test_bit(TTY_DO_WRITE_WAKEUP, &tty->flags));
    tty->fasync = nullptr;
}

TEST_F(Core, LineErrorsAreDroppedAndABreakIsReportedOnce)
{
    Use(kGeneric);
    Resume(5);
    struct Case {
        const char* bytes;
        std::string flags;
        const char* sent;
        std::vector<std::string> messages;
    };
    const Case cases[] = {
        {"04 45 45", std::string("\0\2\0", 3), "04", {"01 05"}},
        {"04 45 45", std::string("\0\3\0", 3), "04", {"01 05"}},
        {"04 45 45", std::string("\0\4\0", 3), "04", {"01 05"}},
        {"04 45", std::string("\0\x09", 2), "", {}},
        {"00 00 00 04 45", std::string("\1\1\1\0\0", 5), "04", {"0B", "0C", "01 05"}},
        {"00 00 04 45", std::string("\1\2\0\0", 4), "04", {"0B", "0C", "01 05"}},
    };
    for (const Case& c : cases) {
        Feed(H(c.bytes), c.flags);
        EXPECT_EQ(c.sent, Sent()) << c.bytes;
        EXPECT_EQ(c.messages, Messages()) << c.bytes;
    }
    EXPECT_EQ(1u, Errors("generic_receive_buf: unknown rx flags=09"));
}

TEST_F(Core, BreakWithoutBuffersIsStillRemembered)
{
    Use(kGeneric);
    std::vector<struct n_tarn_buf*> held;
    while (struct n_tarn_buf* b = n_tarn_buf_alloc())
        held.push_back(b);
    Feed(H("00 00"), std::string("\1\1", 2));
    Feed("41");  // no buffer for BREAK_END: the flag stays set
    n_tarn_buf_free(held.back());
    held.pop_back();
    Feed("41");
    EXPECT_EQ(std::vector<std::string>{"0C"}, Messages());
    for (struct n_tarn_buf* b : held)
        n_tarn_buf_free(b);
}

TEST_F(Core, AfterHangupEveryEntryFindsNoState)
{
    ktest_param_set_int("debug", 1);
    Use(kGeneric);
    Resume(5);
    EXPECT_EQ(2, Write(H("05 41")));
    Feed("04 45 04");
    EXPECT_EQ("02 41 03 42", Sent());
    struct tty_ldisc_ops* ops = ktest_ldisc_ops(kGeneric);
    ktest_tty_hangup(tty);
    EXPECT_EQ(1u, ktest_log_find("tarn_free", 7)) << "freed once";
    EXPECT_EQ(2u, ktest_log_find("tarn_close: tty=ttymxc2", 7)) << "hangup, then the tty layer's close";
    EXPECT_EQ(0, used_buf_count);

    uint8_t id = 5, buf[8];
    EXPECT_EQ(-EBADF, ops->ioctl(tty, file, TARN_FLUSH, reinterpret_cast<unsigned long>(&id)));
    EXPECT_EQ(-EIO, ops->read(tty, file, buf, sizeof(buf)));
    EXPECT_EQ(1u, Errors("bad tty"));
    EXPECT_EQ(-EIO, ops->write(tty, file, H("05 41").data(), 2));
    EXPECT_EQ(1u, Errors("generic_write: bad tty"));
    ops->receive_buf(tty, H("04 45").data(), nullptr, 2);
    EXPECT_EQ(1u, Errors("generic_receive_buf: bad tty"));
    EXPECT_EQ("", Sent());

    EXPECT_EQ(0, ktest_tty_reopen(tty));
    struct file* fresh = ktest_file_open(tty, O_RDWR);
    EXPECT_EQ(-EINVAL, ktest_tty_ioctl(tty, fresh, TARN_RESUME, reinterpret_cast<unsigned long>(&id)))
        << "stations went with the hangup";
    ktest_file_close(fresh);
}

// A hangup while the receive worker is inside a call: the bytes after the
// hangup are neither answered nor queued, each with its discipline's message.
TEST_F(Core, HangupDuringAReceiveCallStopsTheRestOfIt)
{
    for (int disc : {kGeneric, kMoc}) {
        Use(disc);
        Resume(5);
        // Once the first poll is answered, the discipline hangs up on another
        // thread; the receive call goes on when the state has been detached.
        struct Hangup {
            struct tty_struct* tty;
            int disc;
            std::thread thread;
        } h{tty, disc, {}};
        ktest_tty_output_hook(
            tty,
            [](void* arg) {
                auto* h = static_cast<Hangup*>(arg);
                h->thread = std::thread([h] { ktest_ldisc_ops(h->disc)->hangup(h->tty); });
                while (__atomic_load_n(&h->tty->disc_data, __ATOMIC_SEQ_CST))
                    std::this_thread::yield();
            },
            &h);
        Feed("04 45 04 45");
        h.thread.join();
        EXPECT_EQ("04", Sent()) << disc;
        std::string message = std::string(disc == kGeneric ? "generic" : "moc") + "_receive_char: bad tty";
        EXPECT_EQ(2u, Errors(message)) << message;
    }
}

TEST_F(Core, UnloadWhileInUseReportsAndGoesOn)
{
    Use(kMoc);
    ktest_module_exit();
    EXPECT_EQ(1u, Errors("failed to unregister MOC line discipline."));
    EXPECT_EQ(0u, Errors("failed to unregister Generic line discipline."));
    // The tty layer closes the discipline later.
    ktest_file_close(file);
    ktest_file_close(nbfile);
    ktest_tty_free(tty);
    EXPECT_EQ(0, ktest_alloc_outstanding());
    tty = ktest_tty_alloc("ttymxc2");
    file = ktest_file_open(tty, O_RDWR);
    nbfile = ktest_file_open(tty, O_RDWR | O_NONBLOCK);
    ASSERT_EQ(0, ktest_module_init());
}

}  // namespace
}  // namespace tarn_test
