#include "FileStorage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegExp>
#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

#include "Logger.h"

using Logger::printErr;
using Logger::printJournal;

const char FileStorage::kDataMount[] = "/mnt/DATA";
const char FileStorage::kDataDevice[] = "/dev/mmcblk1p4";

namespace {

QByteArray Local(const QString& text)
{
    return QFile::encodeName(text);
}

bool SyncPath(const QString& path)
{
    int fd = open(Local(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool synced = fsync(fd) == 0;
    close(fd);
    return synced;
}

// Names compared character by character, not by locale.
QStringList Sorted(QStringList names)
{
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

FileStorage::FileStorage(const QString& dir) : m_path(QLatin1String(kDataMount) + dir)
{
}

int FileStorage::init() const
{
    int result = _mkpath();
    if (result != StorageOk)
        return result;
    _cleanup();
    return StorageOk;
}

int FileStorage::_mkpath() const
{
    if (!QDir(QLatin1String(kDataMount)).exists()) {
        printErr("MMC partition %s not mounted\n", kDataDevice);
        return StorageDataNotMounted;
    }
    return _mkpathUnder(QLatin1String(kDataMount));
}

int FileStorage::_mkpathUnder(const QString& mountPoint) const
{
    if (QDir(m_path).exists())
        return StorageOk;
    if (!QDir().mkpath(m_path)) {
        printErr("Error creating path %s\n", Local(m_path).constData());
        return StorageNoDirectory;
    }
    // Make each new directory entry durable, up to the mount point.
    for (QString dir = m_path; dir.startsWith(mountPoint) && dir != mountPoint;) {
        dir = QFileInfo(dir).path();
        SyncPath(dir);
    }
    return StorageOk;
}

void FileStorage::_cleanup() const
{
}

bool FileStorage::_writeDurably(QFile& file, const QByteArray& bytes)
{
    return file.write(bytes) == bytes.size() && file.flush() && fsync(file.handle()) == 0;
}

bool FileStorage::_syncDirectory() const
{
    return SyncPath(m_path);
}

int FileStorage::write(const QString& name, const QByteArray& bytes) const
{
    QFile file(_fullName(name));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        printErr("Error opening file %s\n", Local(name).constData());
        printJournal("Error writing on partition %s\n", kDataDevice);
        return StorageOpenFailed;
    }
    bool written = _writeDurably(file, bytes);
    file.close();
    if (!written || !_syncDirectory()) {
        printErr("Error writing file %s\n", Local(name).constData());
        return StorageShortWrite;
    }
    return StorageOk;
}

int FileStorage::read(const QString& name, QByteArray& bytes) const
{
    QFile file(_fullName(name));
    if (!file.open(QIODevice::ReadOnly)) {
        printErr("Error opening file %s\n", Local(name).constData());
        return StorageOpenFailed;
    }
    bytes = file.readAll();
    if (bytes.isEmpty()) {
        printErr("Error reading file %s\n", Local(name).constData());
        return StorageEmptyRead;
    }
    return StorageOk;
}

int FileStorage::remove(const QString& name) const
{
    if (!QFile::remove(_fullName(name)) || !_syncDirectory()) {
        printErr("Error removing file %s\n", Local(name).constData());
        return StorageRemoveFailed;
    }
    return StorageOk;
}

bool FileStorage::exists(const QString& name) const
{
    return QFile::exists(_fullName(name));
}

QStringList FileStorage::getFileList(const QString& pattern) const
{
    QStringList names = Sorted(QDir(m_path).entryList(QStringList(pattern), QDir::Files));
    const QRegExp visible(QStringLiteral("^[^\\.].*$"), Qt::CaseSensitive);
    QStringList result;
    for (const QString& name : names) {
        if (visible.exactMatch(name))
            result.append(name);
    }
    return result;
}

QStringList FileStorage::_allFiles() const
{
    return Sorted(QDir(m_path).entryList(QStringList(QStringLiteral("*")),
                                         QDir::Files | QDir::Hidden));
}

void FileStorage::clean() const
{
    for (const QString& name : _allFiles())
        QFile::remove(_fullName(name));
    _syncDirectory();
}
