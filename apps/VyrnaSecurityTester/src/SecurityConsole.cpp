#include "SecurityConsole.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegExp>
#include <QtEndian>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "zeldbus.h"

namespace {

const char kService[] = "com.zel.vyrna.SecurityManager";
const char kInterface[] = "com.zel.vyrna";
constexpr int kMaxData = 65536;       // data of this size or more is refused
constexpr int kLongAnswer = 128;      // longer answers are shown abridged
constexpr int kResponseHeader = 4;

QString Hex(unsigned char byte)
{
    return QString::asprintf("%02X", byte);
}

QString HexDump(const unsigned char* bytes, int length)
{
    if (length > kLongAnswer) {
        return QString::asprintf("%02X %02X %02X %02X ... %02X", bytes[0], bytes[1], bytes[2],
                                 bytes[3], bytes[length - 1]);
    }
    QStringList parts;
    for (int i = 0; i < length; ++i)
        parts.append(Hex(bytes[i]));
    return parts.join(QLatin1Char(' '));
}

// Secrets pass through these arrays; their memory is freed unwiped otherwise.
void Wipe(QByteArray& bytes)
{
    if (!bytes.isEmpty())
        explicit_bzero(const_cast<char*>(bytes.constData()), static_cast<size_t>(bytes.size()));
    bytes.clear();
}

// Opens a file for the retrieved data, readable and writable by its owner
// only: a new one is made 0600, a regular one already there becomes 0600
// before its content is replaced.
bool OpenPrivate(QFile& file)
{
    const int fd = open(QFile::encodeName(file.fileName()).constData(),
                        O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    struct stat status;
    if (fstat(fd, &status) != 0
        || (S_ISREG(status.st_mode) && (fchmod(fd, 0600) != 0 || ftruncate(fd, 0) != 0))
        || !file.open(fd, QIODevice::WriteOnly, QFileDevice::AutoCloseHandle)) {
        close(fd);
        return false;
    }
    return true;
}

void AppendWord(QByteArray& bytes, quint32 value)
{
    uchar word[4];
    qToLittleEndian(value, word);
    bytes.append(reinterpret_cast<const char*>(word), 4);
}

}  // namespace

SecurityConsole::SecurityConsole(FILE* input, FILE* output)
    : m_in(input, QIODevice::ReadOnly), m_out(output, QIODevice::WriteOnly)
{
    // What the operator types is sent byte for byte.
    m_in.setCodec("ISO-8859-1");
}

bool SecurityConsole::readLine(QString& line)
{
    line = m_in.readLine();
    return !line.isNull();
}

void SecurityConsole::say(const QString& text)
{
    m_out << text;
    m_out.flush();
}

void SecurityConsole::reject(const QString& shown)
{
    say(QStringLiteral("Bad input %1. Retry.\n").arg(shown));
}

int SecurityConsole::run()
{
    bool quit = false;
    while (!quit) {
        // The end of the input ends the console as "q" would.
        if (!cycle(quit))
            break;
    }
    zeldbus_disconnect();
    return m_lastStatus == 0 ? 0 : 255;
}

bool SecurityConsole::cycle(bool& quit)
{
    say(QStringLiteral("Enter the service #:\n"));
    say(QString::asprintf("    %c: StoreData\n", '1'));
    say(QString::asprintf("    %c: RetrieveData\n", '2'));
    say(QString::asprintf("    %c: ClearData\n", '3'));
    say(QString::asprintf("Or %c for exit\n", 'q'));
    QString line;
    if (!readLine(line))
        return false;
    if (line.size() != 1 || !QStringLiteral("123q").contains(line.at(0))) {
        reject(line);
        return true;
    }
    const char choice = line.at(0).toLatin1();
    if (choice == 'q') {
        quit = true;
        return true;
    }
    m_lastChoice = choice;
    if (choice == '1')
        return storeData();
    return tokenRequest(choice == '2' ? "RetrieveData" : "ClearData");
}

bool SecurityConsole::readToken(quint32& token, bool& valid)
{
    say(QStringLiteral("Enter the token id:\n"));
    QString line;
    if (!readLine(line))
        return false;
    bool parsed = false;
    token = line.size() <= 8 ? line.toUInt(&parsed, 16) : 0;
    valid = parsed;
    if (!valid)
        reject(line);
    return true;
}

bool SecurityConsole::tokenRequest(const char* member)
{
    quint32 token = 0;
    bool valid = false;
    if (!readToken(token, valid))
        return false;
    if (!valid)
        return true;
    QByteArray request;
    AppendWord(request, token);
    call(member, request);
    return true;
}

bool SecurityConsole::readStoreData(QByteArray& data, bool& valid)
{
    valid = false;
    say(QStringLiteral("Read from [f]ile or standard [i]nput? "));
    QString answer;
    for (;;) {
        if (!readLine(answer))
            return false;
        if (answer == QLatin1String("f") || answer == QLatin1String("i"))
            break;
        say(QStringLiteral("Enter 'f' for file of 'i' for standard input: "));
    }

    if (answer == QLatin1String("i")) {
        say(QStringLiteral("Enter the data:\n"));
        QString line;
        if (!readLine(line))
            return false;
        data = line.toLatin1();
    } else {
        say(QStringLiteral("Enter the file path:\n"));
        QString path;
        if (!readLine(path))
            return false;
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            say(QStringLiteral("Error opening file %1\n").arg(path));
            return true;
        }
        data = file.readAll();
    }
    if (data.size() >= kMaxData) {
        reject(QStringLiteral("(too long: %1K). 64K MAX").arg(data.size() / 1024));
        return true;
    }
    valid = true;
    return true;
}

bool SecurityConsole::storeData()
{
    quint32 token = 0;
    bool valid = false;
    if (!readToken(token, valid))
        return false;
    if (!valid)
        return true;

    say(QStringLiteral("Enter the rwx permissions (7=rwx):\n"));
    QString line;
    if (!readLine(line))
        return false;
    bool parsed = false;
    const int mode = line.size() <= 3 ? line.toInt(&parsed, 8) : 0;
    if (!parsed) {
        reject(line);
        return true;
    }

    QByteArray data;
    if (!readStoreData(data, valid))
        return false;
    if (!valid)
        return true;

    QByteArray request;
    request.reserve(8 + data.size());
    AppendWord(request, token);
    AppendWord(request, static_cast<quint32>(mode));
    request.append(data);
    Wipe(data);
    call("StoreData", request);
    Wipe(request);
    return true;
}

void SecurityConsole::call(const char* member, const QByteArray& request)
{
    unsigned char* answer = nullptr;
    int length = 0;
    // The library only reads the request.
    auto* bytes = reinterpret_cast<unsigned char*>(const_cast<char*>(request.constData()));
    m_lastStatus = zeldbus_sendMessageSync(kService, kInterface, member, bytes, request.size(),
                                           &answer, &length);
    if (m_lastStatus != 0 || answer == nullptr) {
        say(QStringLiteral("Error: zeldbus_sendMessageSync returned %1\n").arg(m_lastStatus));
        free(answer);
        return;
    }
    showAnswer(answer, length);
    say(QStringLiteral("\n"));
    explicit_bzero(answer, static_cast<size_t>(length));
    free(answer);
}

bool SecurityConsole::showAnswer(const unsigned char* answer, int length)
{
    say(HexDump(answer, length));
    if (m_lastChoice != '2' || length < kResponseHeader || answer[0] != 0)
        return true;
    QByteArray data(reinterpret_cast<const char*>(answer) + kResponseHeader,
                    length - kResponseHeader);
    const bool more = showRetrieved(data, length) && offerToSave(data);
    Wipe(data);
    return more;
}

bool SecurityConsole::showRetrieved(const QByteArray& data, int answerLength)
{
    // The text ends at the first zero byte.
    const QString text = QString::fromLatin1(data.constData());
    const bool printable = QRegExp(QStringLiteral("^[\\s -~]*$"), Qt::CaseSensitive).exactMatch(text);
    if (printable && answerLength > kLongAnswer) {
        say(QStringLiteral("\nOutput is too long. Print anyway[y]? "));
        QString line;
        if (!readLine(line))
            return false;
        if (line == QLatin1String("y"))
            say(text + QLatin1Char('\n'));
        return true;
    }
    say(QStringLiteral(" [%1]\n").arg(printable ? text : QStringLiteral("<binary>")));
    return true;
}

bool SecurityConsole::offerToSave(const QByteArray& data)
{
    say(QStringLiteral("Save to file[y]? "));
    QString line;
    if (!readLine(line))
        return false;
    if (line != QLatin1String("y")) {
        say(QStringLiteral("Data not saved"));
        return true;
    }
    say(QStringLiteral("Enter the file path:\n"));
    QString path;
    if (!readLine(path))
        return false;
    QFile file(path);
    if (!QFileInfo(path).dir().mkpath(QStringLiteral(".")) || !OpenPrivate(file)) {
        say(QStringLiteral("Error opening file %1").arg(path));
        return true;
    }
    say(file.write(data) == data.size() && file.flush() ? QStringLiteral("Data written to file")
                                                        : QStringLiteral("Error writing to file"));
    file.close();
    return true;
}
