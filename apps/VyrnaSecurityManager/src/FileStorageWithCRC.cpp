#include "FileStorageWithCRC.h"

#include <QFile>

#include "CryptoUtils.h"
#include "Logger.h"

using Logger::printDbg;
using Logger::printErr;
using Logger::printJournal;

const char FileStorageWithCRC::kCrcName[] = ".CRC";

namespace {

QByteArray Local(const QString& text)
{
    return QFile::encodeName(text);
}

}  // namespace

int FileStorageWithCRC::init() const
{
    int result = FileStorage::init();
    if (result != StorageOk)
        return result;

    if (!exists(QLatin1String(kCrcName))) {
        // A new directory: nothing in it can be trusted.
        clean();
        return StorageOk;
    }

    bool intact = false;
    QFile crcFile(_crcPath());
    if (crcFile.open(QIODevice::ReadOnly)) {
        bool parsed = false;
        unsigned int stored = crcFile.readAll().toUInt(&parsed, 16);
        intact = parsed && stored == _getCRC();
    }
    if (intact)
        return StorageOk;

    printErr("%s: storage damaged!\n", Local(m_path).constData());
    clean();
    return StorageDamaged;
}

int FileStorageWithCRC::write(const QString& name, const QByteArray& bytes) const
{
    int result = FileStorage::write(name, bytes);
    if (result != StorageOk)
        return result;
    result = _updateCRC();
    if (result != StorageOk)
        printErr("Error updating %s\n", Local(_crcPath()).constData());
    return result;
}

int FileStorageWithCRC::remove(const QString& name) const
{
    int result = FileStorage::remove(name);
    if (result != StorageOk)
        return result;

    if (getFileList(QStringLiteral("*")).isEmpty()) {
        printDbg("Removing %s...\n", Local(_crcPath()).constData());
        if (!QFile::remove(_crcPath()) || !_syncDirectory()) {
            printErr("Error removing %s\n", Local(_crcPath()).constData());
            return StorageRemoveFailed;
        }
        return StorageOk;
    }
    result = _updateCRC();
    if (result != StorageOk)
        printErr("Error updating %s\n", Local(_crcPath()).constData());
    return result;
}

unsigned int FileStorageWithCRC::_getCRC() const
{
    QByteArray contents;
    for (const QString& name : getFileList(QStringLiteral("*"))) {
        QFile file(_fullName(name));
        if (!file.open(QIODevice::ReadOnly))
            return 0;
        contents.append(file.readAll());
    }
    return CryptoUtils::crc32(reinterpret_cast<const unsigned char*>(contents.constData()),
                              static_cast<unsigned>(contents.size()));
}

int FileStorageWithCRC::_updateCRC() const
{
    printDbg("Updating %s...\n", Local(_crcPath()).constData());
    QFile crcFile(_crcPath());
    if (!crcFile.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        printErr("Error opening %s\n", Local(_crcPath()).constData());
        printJournal("Error writing on partition %s\n", kDataDevice);
        return StorageOpenFailed;
    }
    QByteArray text = QByteArray::number(_getCRC(), 16).toUpper();
    bool written = _writeDurably(crcFile, text);
    crcFile.close();
    if (!written || !_syncDirectory()) {
        printErr("Error writing %s\n", Local(_crcPath()).constData());
        return StorageShortWrite;
    }
    return StorageOk;
}
