// The generic discipline: its receive machine, its framing, and the life of
// a station's pending frame.
#include <functional>

#include "tarn_fixture.h"

namespace tarn_test {
namespace {

class Generic : public Tarn {
protected:
    void SetUp() override
    {
        Tarn::SetUp();
        Use(kGeneric);
        Resume(5);
        ASSERT_EQ(0, Station(TARN_REGISTER, 7));  // registered, still suspended
        Resume(32);
    }
};

struct RxCase {
    const char* name;
    const char* line;
    const char* sent;
    std::vector<std::string> messages;
};

// Station 5 and 32 resumed, 7 suspended, nothing pending.
const RxCase kReceive[] = {
    {"poll", "04 45", "04", {"01 05"}},
    {"second EOT keeps the address phase", "04 04 45", "04", {"01 05"}},
    {"suspended station is polled silently", "04 47", "", {"01 07"}},
    {"id 32 polls at 0x40 and selects at 0x60", "04 40 04 60 02 41 03 42", "04 06", {"01 20", "02 20 41"}},
    {"unregistered id", "04 46", "", {}},
    {"0x21 in the address position", "04 21 45", "", {}},
    {"0x3F in the address position", "04 3F 45", "", {}},
    {"0x85 matches station 5's slot only", "04 85 45", "", {}},
    {"select", "04 65 02 48 49 03 02", "06", {"02 05 48 49"}},
    {"select with empty text", "04 65 02 03 03", "06", {"02 05"}},
    {"select with a wrong block check", "04 65 02 48 49 03 00", "15", {}},
    {"select to a suspended station", "04 67 02 48 03 4B", "", {}},
    {"wrong block check to a suspended station", "04 67 02 48 03 00", "", {}},
    {"broadcast", "04 01 02 41 42 03 00", "", {"03 41 42"}},
    {"broadcast with a wrong block check", "04 01 02 41 03 00", "", {}},
    {"DLE ETX is text", "04 65 02 10 03 41 03 51", "06", {"02 05 03 41"}},
    {"escaped control byte", "04 65 02 10 01 03 12", "06", {"02 05 01"}},
    {"EOT inside the text opens a new address phase", "04 65 02 41 04 45", "04", {"01 05"}},
    {"no STX after the select", "04 65 41 02 41 03 42", "", {}},
    {"hunting skips the byte after DLE", "10 04 45", "", {}},
    {"hunting skips the byte after ETX", "03 04 45", "", {}},
    {"noise before EOT", "41 06 15 04 45", "04", {"01 05"}},
    {"two frames in a row", "04 65 02 41 03 42 04 65 02 42 03 41", "06 06", {"02 05 41", "02 05 42"}},
    {"a poll answered with EOT returns to hunting", "04 45 45 04 45", "04 04", {"01 05", "01 05"}},
};

TEST_F(Generic, ReceiveTransitions)
{
    for (const RxCase& c : kReceive) {
        Feed(c.line);
        EXPECT_EQ(c.sent, Sent()) << c.name;
        EXPECT_EQ(c.messages, Messages()) << c.name;
        Feed("04 04 45 06");  // back to hunting whatever the case left behind
        Sent();
        Messages();
    }
}

TEST_F(Generic, BytesSplitAcrossCallsGiveTheSameResult)
{
    const Bytes line = H("04 65 02 10 03 41 03 51 04 45");
    for (uint8_t b : line)
        Feed(Bytes{b});
    EXPECT_EQ("06 04", Sent());
    EXPECT_EQ((std::vector<std::string>{"02 05 03 41", "01 05"}), Messages());
}

TEST_F(Generic, LongTextIsCutAt253BytesButFullyChecked)
{
    Bytes text;
    for (int i = 0; i < 300; ++i)
        text.push_back(static_cast<uint8_t>(0x20 + i % 0xE0));
    const Bytes frame = Cat(Cat(H("04 65 02"), text), H("03"));
    const uint8_t bcc = Xor(Cat(text, H("03")));
    Feed(Cat(frame, Bytes{bcc}));
    EXPECT_EQ("06", Sent());
    EXPECT_EQ(std::vector<std::string>{Hex(Cat(H("02 05"), Bytes(text.begin(), text.begin() + 253)))},
              Messages());
    Feed(Cat(frame, Bytes{static_cast<uint8_t>(bcc ^ 0x01)}));
    EXPECT_EQ("15", Sent()) << "a byte beyond the kept text is in the check";
}

TEST_F(Generic, WritesParkFramesThatGoOutOnThePoll)
{
    struct Case {
        const char* write;
        const char* frame;
    };
    const Case cases[] = {
        {"05 41 01", "02 41 10 01 03 53"},
        {"05", "02 03 03"},
        {"45 00 1F 20 FF", "02 10 00 10 1F 20 FF 03 C3"},  // bit 6 of the id byte is ignored
    };
    for (const Case& c : cases) {
        Bytes w = H(c.write);
        EXPECT_EQ(static_cast<ssize_t>(w.size()), Write(w)) << c.write;
        EXPECT_EQ("", Sent()) << "a write sends nothing itself";
        EXPECT_EQ(1, OutQ());
        Feed("04 45");
        EXPECT_EQ(c.frame, Sent()) << c.write;
        Feed("06");
        EXPECT_EQ(0, OutQ());
    }
    Messages();
}

TEST_F(Generic, WriteRejectsBadRequests)
{
    struct Case {
        Bytes data;
        ssize_t result;
    };
    const Case cases[] = {
        {{}, -EIO},
        {Repeat(0x05, 256), -EOVERFLOW},
        {H("00 41"), -EINVAL},
        {H("21 41"), -EINVAL},
        {H("3F 41"), -EINVAL},
        {H("06 41"), -EINVAL},  // not registered
        {H("81"), -EINVAL},     // station 1, not registered
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.result, Write(c.data)) << Hex(c.data);
    EXPECT_EQ(255, Write(Repeat(0x05, 255)));
    EXPECT_EQ(0, Station(TARN_FLUSH, 5));
    EXPECT_EQ(0, OutQ());
}

// The master's answer to a station's frame: ACK releases it, anything else
// keeps it for the next poll.
TEST_F(Generic, PendingFrameLife)
{
    struct Case {
        const char* answer;
        bool released;
    };
    const Case cases[] = {{"06", true}, {"15", false}, {"04", false}, {"05", false}, {"41", false}};
    for (const Case& c : cases) {
        ASSERT_EQ(2, Write(H("05 41")));
        Feed("04 45");
        EXPECT_EQ("02 41 03 42", Sent());
        Feed(c.answer);
        EXPECT_EQ(c.released ? 0 : 1, OutQ()) << c.answer;
        EXPECT_EQ(c.released ? 2 : -EAGAIN, Write(H("05 42"))) << c.answer;
        Feed("04 45 06");
        EXPECT_EQ(c.released ? "02 42 03 41" : "02 41 03 42", Sent()) << c.answer;
        Station(TARN_FLUSH, 5);
    }
    Messages();
}

TEST_F(Generic, SendOnceFrameGoesOutExactlyOnce)
{
    ASSERT_EQ(2, Write(H("A0 41")));  // station 32, send once
    Feed("04 40");
    EXPECT_EQ("02 41 03 42", Sent());
    EXPECT_EQ(0, OutQ()) << "released as it is sent";
    Feed("15 04 40");
    EXPECT_EQ("04", Sent()) << "not sent again after NAK";
    Messages();
}

TEST_F(Generic, SuspendedStationStillSendsItsFrame)
{
    ASSERT_EQ(2, Write(H("07 41")));
    Feed("04 47");
    EXPECT_EQ("02 41 03 42", Sent());
    Feed("06 04 47");
    EXPECT_EQ("", Sent());
    EXPECT_EQ(0, OutQ());
    Messages();
}

// The ACK of a frame that was flushed meanwhile must not release the next
// frame written for that station before it has gone out.
TEST_F(Generic, AnswerOnlyConcernsTheFrameThatWasSent)
{
    ASSERT_EQ(2, Write(H("05 41")));
    Feed("04 45");
    Sent();
    ASSERT_EQ(0, Station(TARN_FLUSH, 5));
    ASSERT_EQ(2, Write(H("05 42")));
    Feed("06");
    EXPECT_EQ(1, OutQ());
    Feed("04 45");
    EXPECT_EQ("02 42 03 41", Sent());
    Feed("06");
    Messages();
}

// A blocked writer proceeds as soon as what it waits for comes back: the
// station's slot, or a buffer of the pool, whoever returns it.
TEST_F(Generic, BlockedWriterProceedsWhenTheSlotFrees)
{
    std::vector<struct n_tarn_buf*> held;
    auto park = [this] { EXPECT_EQ(2, Write(H("05 41"))); };
    struct Release {
        const char* name;
        std::function<void()> hold, release;
        const char* sent;  // on the next poll
    };
    const Release releases[] = {
        {"ACK", park, [this] { Feed("04 45 06"); }, "02 41 03 42 02 42 43 03 02"},
        {"TARN_FLUSH", park, [this] { Station(TARN_FLUSH, 5); }, "02 42 43 03 02"},
        {"a buffer back in the pool",
         [&] {
             while (struct n_tarn_buf* b = n_tarn_buf_alloc())
                 held.push_back(b);
         },
         [&] {
             n_tarn_buf_free(held.back());
             held.pop_back();
         },
         "02 42 43 03 02"},
    };
    for (const Release& r : releases) {
        r.hold();
        Sleeper writer([this] { return Write(H("05 42 43"), true); });
        ASSERT_TRUE(writer.Asleep()) << r.name;
        r.release();
        EXPECT_EQ(3, writer.Result()) << r.name;
        for (struct n_tarn_buf* b : held)
            n_tarn_buf_free(b);
        held.clear();
        Feed("04 45");
        EXPECT_EQ(r.sent, Sent()) << r.name;
        Feed("06");
        Messages();
    }
}

TEST_F(Generic, BlockedWriterGivesUpOnSignalAndHangup)
{
    ASSERT_EQ(2, Write(H("05 41")));
    for (bool hangup : {false, true}) {
        Sleeper writer([this] { return Write(H("05 42"), true); });
        ASSERT_TRUE(writer.Asleep());
        if (hangup)
            ktest_tty_hangup(tty);
        else
            ktest_task_signal(writer.task());
        EXPECT_EQ(hangup ? -EIO : -EINTR, writer.Result());
    }
    EXPECT_EQ(1u, Errors("generic_write: bad tty after wait!"));
}

// With all 64 buffers out: frames are refused with NAK, notifications are
// lost, writers wait; one buffer back and everything works again.
TEST_F(Generic, ExhaustedPool)
{
    std::vector<struct n_tarn_buf*> held;
    while (struct n_tarn_buf* b = n_tarn_buf_alloc())
        held.push_back(b);
    ASSERT_EQ(64u, held.size());
    Feed("04 65 02 48 03 4B 04 45 04 01 02 41 03 42 04 67 02 48 03 4B");
    EXPECT_EQ("15 04", Sent());
    EXPECT_EQ(-EAGAIN, Write(H("05 41")));
    EXPECT_EQ(0, InQ());

    n_tarn_buf_free(held.back());
    held.pop_back();
    EXPECT_EQ(2, Write(H("05 41")));
    n_tarn_buf_free(held.back());
    held.pop_back();
    Feed("04 65 02 48 03 4B");
    EXPECT_EQ("06", Sent());
    EXPECT_EQ(std::vector<std::string>{"02 05 48"}, Messages());
    for (struct n_tarn_buf* b : held)
        n_tarn_buf_free(b);
}

}  // namespace
}  // namespace tarn_test
