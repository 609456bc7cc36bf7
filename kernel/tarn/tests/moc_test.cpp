// The moc discipline: narrower escaping, the block byte rule, and the
// master's NAK and ENQ answers to a station's frame.
#include "tarn_fixture.h"

namespace tarn_test {
namespace {

class Moc : public Tarn {
protected:
    void SetUp() override
    {
        Tarn::SetUp();
        Use(kMoc);
        Resume(5);
        ASSERT_EQ(0, Station(TARN_REGISTER, 7));  // registered, still suspended
        Resume(32);
    }

    // Station 5 sends a frame with this text and the master acknowledges it.
    void SendAndAck(const std::string& text)
    {
        ASSERT_GT(Write(Cat(H("05"), H(text))), 0);
        Feed("04 45 06");
        Sent();
        Messages();
    }

    // A frame selected to station 5 with its correct block check.
    void Select(const std::string& text)
    {
        Bytes t = H(text);
        Feed(Cat(Cat(H("04 65 02"), t), Bytes{0x03, static_cast<uint8_t>(Xor(t) ^ 0x03)}));
    }
};

struct RxCase {
    const char* name;
    const char* line;
    const char* sent;
    std::vector<std::string> messages;
};

// Nothing sent yet by any station: last_seq is 0.
const RxCase kReceive[] = {
    {"poll", "04 45", "04", {"01 05"}},
    {"a second EOT ends the address phase", "04 04 45", "", {}},
    {"block byte 0x00 matches a fresh station", "04 65 02 00 48 03 4B", "06", {"02 05 00 48"}},
    {"block byte above 0x3F is always accepted", "04 65 02 41 42 03 00", "06", {"02 05 41 42"}},
    {"sequence block byte not yet sent", "04 65 02 31 48 03 7A", "05", {}},
    {"unescaped EOT is text", "04 65 02 41 04 42 03 04", "06", {"02 05 41 04 42"}},
    {"escapes are not in the check", "04 65 02 41 10 03 10 10 03 51", "06", {"02 05 41 03 10"}},
    {"escaped control bytes other than ETX, EOT, DLE", "04 65 02 41 10 01 03 43", "06", {"02 05 41 01"}},
    {"wrong block check", "04 65 02 41 03 00", "15", {}},
    {"wrong block check, suspended station", "04 67 02 41 03 00", "", {}},
    {"select to a suspended station", "04 67 02 41 03 42", "", {}},
    {"broadcast, no block rule", "04 01 02 31 03 32", "", {"03 31"}},
    {"broadcast with a wrong block check", "04 01 02 31 03 00", "", {}},
    {"ETX right after STX is the block byte", "04 01 02 03 03 00", "", {"03 03"}},
    {"DLE right after STX is the block byte", "04 65 02 10 41 03 52", "05", {}},
    {"EOT right after STX is the block byte", "04 01 02 04 03 07", "", {"03 04"}},
    {"id 32", "04 40 04 60 02 41 03 42", "04 06", {"01 20", "02 20 41"}},
    {"hunting skips the byte after DLE", "10 04 45", "", {}},
};

TEST_F(Moc, ReceiveTransitions)
{
    for (const RxCase& c : kReceive) {
        Feed(c.line);
        EXPECT_EQ(c.sent, Sent()) << c.name;
        EXPECT_EQ(c.messages, Messages()) << c.name;
        Feed("06 04 45");  // back to hunting whatever the case left behind
        Sent();
        Messages();
    }
}

TEST_F(Moc, WritesParkFramesWithMocEscaping)
{
    struct Case {
        const char* write;
        const char* frame;
    };
    const Case cases[] = {
        {"05 41 01", "02 41 01 03 43"},
        {"05 03", "02 10 03 03 00"},
        {"05 04 10 01 1F", "02 10 04 10 10 01 1F 03 09"},
        {"05", "02 03 03"},
    };
    for (const Case& c : cases) {
        ASSERT_GT(Write(H(c.write)), 0) << c.write;
        Feed("04 45");
        EXPECT_EQ(c.frame, Sent()) << c.write;
        Feed("06");
    }
    Messages();
}

// A selected frame's block byte up to 0x3F must equal the last such byte the
// station sent; other block bytes are always accepted.
TEST_F(Moc, BlockByteRule)
{
    struct Step {
        const char* sent_text;  // a frame station 5 sends first, or null
        const char* selected;   // text of the selected frame, block byte first
        const char* answer;
    };
    const Step steps[] = {
        {nullptr, "00 48", "06"},
        {"31 41", "31 48", "06"},
        {nullptr, "32 48", "05"},
        {nullptr, "41 48", "06"},
        {nullptr, "00 48", "05"},  // 0x00 is no longer the station's sequence
        {"45 41", "31 48", "06"},  // a block byte above 0x3F leaves the sequence
        {"03 41", "10 41", "06"},  // escaped first byte: the DLE is remembered
        {nullptr, "03 41", "05"},
        {nullptr, "3F 48", "05"},  // 0x3F is the last sequence value
        {"3F 41", "3F 48", "06"},
        {nullptr, "40 48", "06"},  // 0x40 is the first that is always accepted
    };
    for (const Step& s : steps) {
        if (s.sent_text)
            SendAndAck(s.sent_text);
        Select(s.selected);
        EXPECT_EQ(s.answer, Sent()) << s.selected;
        std::vector<std::string> expected;
        if (std::string(s.answer) == "06")
            expected.push_back("02 05 " + Hex(H(s.selected)));
        EXPECT_EQ(expected, Messages()) << s.selected;
    }
}

TEST_F(Moc, SuspendedStationDropsAMatchingFrame)
{
    SendAndAck("31");
    ASSERT_EQ(0, Station(TARN_SUSPEND, 5));
    Select("31 48");
    EXPECT_EQ("", Sent());
    EXPECT_EQ(std::vector<std::string>{}, Messages());
}

// The master's answer to the frame station 5 has just sent (02 41 03 42).
TEST_F(Moc, AnswersToATransmittedFrame)
{
    struct Case {
        const char* id_byte;
        const char* answer;
        const char* sent;  // after the answer
        bool released;
        std::vector<std::string> messages;  // after the poll notification
    };
    const Case cases[] = {
        {"05", "06", "", true, {}},
        {"05", "15", "02 41 03 42", false, {}},
        {"05", "15 15 15", "02 41 03 42 02 41 03 42 02 41 03 42", false, {}},
        {"05", "15 06", "02 41 03 42", true, {}},
        {"05", "05", "", true, {"04 05 41"}},
        {"05", "41", "", false, {}},
        {"05", "04", "", false, {}},
        {"85", "06", "", true, {}},
        {"85", "15", "", true, {}},
        {"85", "05", "", true, {"04 05 41"}},
        {"85", "41", "", true, {}},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(2, Write(H(std::string(c.id_byte) + " 41")));
        Feed("04 45");
        EXPECT_EQ("02 41 03 42", Sent());
        EXPECT_EQ(std::vector<std::string>{"01 05"}, Messages());
        Feed(c.answer);
        const std::string what = std::string(c.id_byte) + " / " + c.answer;
        EXPECT_EQ(c.sent, Sent()) << what;
        EXPECT_EQ(c.messages, Messages()) << what;
        EXPECT_EQ(c.released ? 0 : 1, OutQ()) << what;
        if (c.released) {
            EXPECT_EQ(2, Write(H("05 42"))) << "the next write proceeds: " << what;
        }
        Station(TARN_FLUSH, 5);
        Feed("06 04 04");  // back to hunting from any state
    }
}

TEST_F(Moc, EnqReleasesTheFrameEvenWithoutABufferForTheMessage)
{
    ASSERT_EQ(2, Write(H("05 41")));
    Feed("04 45");
    std::vector<struct n_tarn_buf*> held;
    while (struct n_tarn_buf* b = n_tarn_buf_alloc())
        held.push_back(b);
    Feed("05");
    EXPECT_EQ(0, OutQ());
    for (struct n_tarn_buf* b : held)
        n_tarn_buf_free(b);
    EXPECT_EQ(std::vector<std::string>{"01 05"}, Messages());
}

}  // namespace
}  // namespace tarn_test
