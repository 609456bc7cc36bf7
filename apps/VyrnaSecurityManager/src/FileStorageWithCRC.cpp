#include "FileStorageWithCRC.h"

#include <unistd.h>

#include "CryptoUtils.h"
#include "Logger.h"

using Logger::printDbg;
using Logger::printErr;
using Logger::printJournal;

const char FileStorageWithCRC::kCrcName[] = ".CRC";

namespace {

const QString kAll = QStringLiteral("*");

}  // namespace

int FileStorageWithCRC::init() const
{
    // A file that cannot be read now is a failure of this start, not damage:
    // the next start tries again and finds the contents as they were.
    QStringList files;
    int result = _open(files);
    if (result != StorageOk)
        return result;
    const QStringList content = _matching(files, kAll);
    if (!files.contains(QLatin1String(kCrcName)) && content.isEmpty()) {
        // A new directory: whatever hidden files it holds cannot be trusted.
        clean();
        return StorageOk;
    }
    bool matches = false;
    if (files.contains(QLatin1String(kCrcName))) {
        result = _vouches(content, matches);
        if (result != StorageOk)
            return result;
        if (matches)
            return StorageOk;
    }
    printErr("%s: storage damaged!\n", _local(m_path).constData());
    clean();
    return StorageDamaged;
}

int FileStorageWithCRC::_vouches(const QStringList& content, bool& matches) const
{
    QByteArray text;
    unsigned int actual = 0;
    bool anyEmpty = false;
    int result = _readAll(QLatin1String(kCrcName), text);
    if (result == StorageOk)
        result = _computeCRC(content, actual, &anyEmpty);
    bool parsed = false;
    matches = result == StorageOk && text.toUInt(&parsed, 16) == actual && parsed && !anyEmpty;
    return result;
}

bool FileStorageWithCRC::intact() const
{
    QStringList all;
    if (_listAll(all) != StorageOk)
        return false;
    for (const QString& name : all) {
        if (name.startsWith(QLatin1Char('.')) && name != QLatin1String(kCrcName))
            return false;
    }
    const QStringList content = _matching(all, kAll);
    if (!all.contains(QLatin1String(kCrcName)))
        return content.isEmpty();
    bool matches = false;
    return _vouches(content, matches) == StorageOk && matches;
}

int FileStorageWithCRC::_seal() const
{
    QStringList content;
    int result = list(kAll, content);
    if (result == StorageOk && content.isEmpty()) {
        printDbg("Removing %s...\n", _local(_crcPath()).constData());
        const bool removed =
            _unlink(QLatin1String(kCrcName)) || lookup(QLatin1String(kCrcName)) == Absent;
        if (!removed || !_syncDirectory()) {
            printErr("Error removing %s\n", _local(_crcPath()).constData());
            return StorageRemoveFailed;
        }
        return StorageOk;
    }
    if (result == StorageOk)
        result = _updateCRC(content);
    if (result != StorageOk)
        printErr("Error updating %s\n", _local(_crcPath()).constData());
    return result;
}

int FileStorageWithCRC::_computeCRC(const QStringList& content, unsigned int& crc,
                                    bool* anyEmpty) const
{
    QByteArray contents;
    for (const QString& name : content) {
        QByteArray bytes;
        const int result = _readAll(name, bytes);
        if (result != StorageOk)
            return result;
        if (bytes.isEmpty() && anyEmpty != nullptr)
            *anyEmpty = true;
        contents.append(bytes);
    }
    crc = CryptoUtils::crc32(reinterpret_cast<const unsigned char*>(contents.constData()),
                             static_cast<unsigned>(contents.size()));
    return StorageOk;
}

unsigned int FileStorageWithCRC::_getCRC() const
{
    QStringList content;
    unsigned int crc = 0;
    if (list(kAll, content) != StorageOk || _computeCRC(content, crc) != StorageOk)
        return 0;
    return crc;
}

int FileStorageWithCRC::_updateCRC(const QStringList& content) const
{
    printDbg("Updating %s...\n", _local(_crcPath()).constData());
    // Computed first: a content file that cannot be read must not leave a
    // ".CRC" that vouches for what was not read.
    unsigned int crc = 0;
    int result = _computeCRC(content, crc);
    if (result != StorageOk)
        return result;
    const int crcFile = _create(QLatin1String(kCrcName));
    if (crcFile < 0) {
        printErr("Error opening %s\n", _local(_crcPath()).constData());
        printJournal("Error writing on partition %s\n", kDataPartition.device);
        return StorageOpenFailed;
    }
    const bool written = _writeDurably(crcFile, QByteArray::number(crc, 16).toUpper());
    close(crcFile);
    if (!written || !_syncDirectory()) {
        printErr("Error writing %s\n", _local(_crcPath()).constData());
        return StorageShortWrite;
    }
    return StorageOk;
}
