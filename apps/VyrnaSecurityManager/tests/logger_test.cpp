// The logger against a real systemd-journald (the suite runs in the board
// sandbox with its journal), read back with journalctl.
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <string>
#include <vector>

#include "Logger.h"
#include "board_fixture.h"

using namespace vyrna_test;

namespace {

// Every entry of the service's identifier, once journald has stored all
// that it received.
std::vector<QJsonObject> JournalEntries()
{
    QProcess::execute(QStringLiteral("journalctl"), {QStringLiteral("--sync")});
    QProcess journal;
    journal.start(QStringLiteral("journalctl"),
                  {QStringLiteral("-o"), QStringLiteral("json"), QStringLiteral("--no-pager"),
                   QStringLiteral("SYSLOG_IDENTIFIER=q512_status")});
    journal.waitForFinished(30000);
    std::vector<QJsonObject> entries;
    for (const QByteArray& line : journal.readAllStandardOutput().split('\n')) {
        if (!line.isEmpty())
            entries.push_back(QJsonDocument::fromJson(line).object());
    }
    return entries;
}

const QJsonObject* FindMessage(const std::vector<QJsonObject>& entries, const QString& message)
{
    for (const QJsonObject& entry : entries) {
        if (entry.value(QStringLiteral("MESSAGE")).toString() == message)
            return &entry;
    }
    return nullptr;
}

struct JournalCase {
    const char* name;
    std::string text;      // what printJournal formats
    std::string expected;  // the MESSAGE field
};

TEST(LoggerJournal, EntriesCarryTheFieldsAndTheTrimmedText)
{
    const std::string long1023 = "L1023-" + std::string(1023 - 6, 'x');
    const std::vector<JournalCase> cases = {
        {"plain", "Cannot decrypt selected data [0x0000001A]\n", "Cannot decrypt selected data [0x0000001A]"},
        {"blanks", " \t\n  leading blanks, no newline", "leading blanks, no newline"},
        {"one newline", "two newlines\n\n", "two newlines\n"},
        {"inner newline kept", "first\nsecond\n", "first\nsecond"},
        {"only white space", " \n\t \n", ""},
        {"1023 characters", long1023, long1023},
    };
    StderrCapture err;
    for (const JournalCase& c : cases)
        Logger::printJournal("%s", c.text.c_str());
    EXPECT_EQ(err.text(), "");

    const std::vector<QJsonObject> entries = JournalEntries();
    for (const JournalCase& c : cases) {
        SCOPED_TRACE(c.name);
        const QJsonObject* entry =
            FindMessage(entries, QStringLiteral("<in-error> : <%1>").arg(QString::fromStdString(c.expected)));
        ASSERT_NE(entry, nullptr);
        EXPECT_EQ(entry->value(QStringLiteral("SYSLOG_IDENTIFIER")).toString(), QStringLiteral("q512_status"));
        EXPECT_EQ(entry->value(QStringLiteral("PRIORITY")).toString(), QStringLiteral("3"));
        EXPECT_TRUE(entry->value(QStringLiteral("CODE_FILE")).toString().endsWith(QStringLiteral("Logger.cpp")));
        EXPECT_EQ(entry->value(QStringLiteral("CODE_FUNC")).toString(), QStringLiteral("printJournal"));
        EXPECT_GT(entry->value(QStringLiteral("CODE_LINE")).toString().toInt(), 0);
    }
}

TEST(LoggerJournal, TextsOf1024BytesOrMoreAreNotSent)
{
    for (size_t length : {1024u, 5000u}) {
        StderrCapture err;
        Logger::printJournal("%s", ("TOOLONG-" + std::string(length - 8, 'y')).c_str());
        const std::string line = err.text();
        EXPECT_EQ(line.rfind("Internal error (printJournal, ", 0), 0u) << line;
        EXPECT_TRUE(!line.empty() && line.back() == '\n') << line;
    }
    for (const QJsonObject& entry : JournalEntries())
        EXPECT_FALSE(entry.value(QStringLiteral("MESSAGE")).toString().contains(QStringLiteral("TOOLONG-")));
}

TEST(LoggerStreams, LinesGoToTheirStreamAndNothingForDebug)
{
    StderrCapture err;
    Logger::printErr("Bad access mode 0%o\n", 01000u);
    Logger::printDbg("Updating %s...\n", "/x/.CRC");
    EXPECT_EQ(err.text(), "Bad access mode 01000\n");
}

}  // namespace
