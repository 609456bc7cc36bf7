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
    int result = FileStorage::init();
    if (result != StorageOk)
        return result;

    // A file that cannot be read now is a failure of this start, not damage:
    // the next start tries again and finds the contents as they were.
    QStringList content;
    result = list(kAll, content);
    if (result != StorageOk)
        return result;
    const Presence crcFile = lookup(QLatin1String(kCrcName));
    if (crcFile == Unknown) {
        printErr("Error opening %s\n", _local(_crcPath()).constData());
        return StorageOpenFailed;
    }
    if (crcFile == Absent && content.isEmpty()) {
        // A new directory: whatever hidden files it holds cannot be trusted.
        clean();
        return StorageOk;
    }
    if (crcFile == Present) {
        QByteArray text;
        unsigned int actual = 0;
        result = _readAll(QLatin1String(kCrcName), text);
        if (result == StorageOk)
            result = _computeCRC(actual);
        if (result != StorageOk)
            return result;
        bool parsed = false;
        const unsigned int stored = text.toUInt(&parsed, 16);
        if (parsed && stored == actual)
            return StorageOk;
    }
    printErr("%s: storage damaged!\n", _local(m_path).constData());
    clean();
    return StorageDamaged;
}

bool FileStorageWithCRC::intact() const
{
    QStringList all, content;
    if (_listAll(all) != StorageOk || list(kAll, content) != StorageOk)
        return false;
    for (const QString& name : all) {
        if (name.startsWith(QLatin1Char('.')) && name != QLatin1String(kCrcName))
            return false;
    }
    if (!all.contains(QLatin1String(kCrcName)))
        return content.isEmpty();
    QByteArray text;
    unsigned int actual = 0;
    if (_readAll(QLatin1String(kCrcName), text) != StorageOk || _computeCRC(actual) != StorageOk)
        return false;
    bool parsed = false;
    return text.toUInt(&parsed, 16) == actual && parsed;
}

int FileStorageWithCRC::_writeContent(const QString& name, const QByteArray& bytes) const
{
    return FileStorage::write(name, bytes);
}

int FileStorageWithCRC::write(const QString& name, const QByteArray& bytes) const
{
    int result = _writeContent(name, bytes);
    if (result != StorageOk)
        return result;
    result = _updateCRC();
    if (result != StorageOk)
        printErr("Error updating %s\n", _local(_crcPath()).constData());
    return result;
}

int FileStorageWithCRC::remove(const QString& name) const
{
    int result = FileStorage::remove(name);
    if (result != StorageOk)
        return result;
    return _refreshCRC();
}

int FileStorageWithCRC::_refreshCRC() const
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
        result = _updateCRC();
    if (result != StorageOk)
        printErr("Error updating %s\n", _local(_crcPath()).constData());
    return result;
}

int FileStorageWithCRC::_computeCRC(unsigned int& crc) const
{
    QStringList names;
    int result = list(kAll, names);
    QByteArray contents;
    for (int i = 0; result == StorageOk && i < names.size(); ++i) {
        QByteArray bytes;
        result = _readAll(names.at(i), bytes);
        contents.append(bytes);
    }
    if (result != StorageOk)
        return result;
    crc = CryptoUtils::crc32(reinterpret_cast<const unsigned char*>(contents.constData()),
                             static_cast<unsigned>(contents.size()));
    return StorageOk;
}

unsigned int FileStorageWithCRC::_getCRC() const
{
    unsigned int crc = 0;
    return _computeCRC(crc) == StorageOk ? crc : 0;
}

int FileStorageWithCRC::_updateCRC() const
{
    printDbg("Updating %s...\n", _local(_crcPath()).constData());
    // Computed first: a content file that cannot be read must not leave a
    // ".CRC" that vouches for what was not read.
    unsigned int crc = 0;
    int result = _computeCRC(crc);
    if (result != StorageOk)
        return result;
    const int crcFile = _create(QLatin1String(kCrcName));
    if (crcFile < 0) {
        printErr("Error opening %s\n", _local(_crcPath()).constData());
        printJournal("Error writing on partition %s\n", kDataDevice);
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
