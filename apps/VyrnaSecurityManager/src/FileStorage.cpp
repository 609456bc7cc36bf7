#include "FileStorage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegExp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Logger.h"

using Logger::printErr;
using Logger::printJournal;

namespace {

bool SyncPath(const QString& path)
{
    int fd = open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool synced = fsync(fd) == 0;
    close(fd);
    return synced;
}

// The regular files of a directory, hidden ones included, sorted by name
// character by character (not by locale). False when the directory cannot
// be read to its end: a partial listing must never pass for the whole.
bool ListRegularFiles(const QString& path, QStringList& names)
{
    names.clear();
    DIR* dir = opendir(QFile::encodeName(path).constData());
    if (dir == nullptr)
        return false;
    bool complete = true;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir);
        if (entry == nullptr) {
            complete = errno == 0;
            break;
        }
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        bool regular = entry->d_type == DT_REG;
        if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
            struct stat status;
            if (fstatat(dirfd(dir), entry->d_name, &status, 0) == 0)
                regular = S_ISREG(status.st_mode);
            else if (errno != ENOENT) {
                complete = false;
                break;
            }
        }
        if (regular)
            names.append(QFile::decodeName(entry->d_name));
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return complete;
}

QString TemporaryName(const QString& name)
{
    return QLatin1Char('.') + name + QLatin1String(".tmp");
}

bool IsTemporary(const QString& name)
{
    return name.startsWith(QLatin1Char('.')) && name.endsWith(QLatin1String(".tmp"));
}

}  // namespace

QByteArray FileStorage::_local(const QString& text)
{
    return QFile::encodeName(text);
}

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
        printErr("Error creating path %s\n", _local(m_path).constData());
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
    QStringList names;
    if (_listAll(names) != StorageOk)
        return;
    bool removed = false;
    for (const QString& name : names) {
        if (IsTemporary(name))
            removed = QFile::remove(_fullName(name)) || removed;
    }
    if (removed)
        _syncDirectory();
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
    // The old content stays in place until the new one is complete on the
    // medium; the rename then swaps them in one step. A name that cannot
    // take the new file counts as a file that cannot be opened for writing.
    const QString temporary = _fullName(TemporaryName(name));
    QFile file(temporary);
    bool opened = file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    bool written = opened && _writeDurably(file, bytes);
    file.close();
    if (written && rename(_local(temporary).constData(), _local(_fullName(name)).constData()) != 0)
        opened = false;
    if (!opened) {
        printErr("Error opening file %s\n", _local(name).constData());
        printJournal("Error writing on partition %s\n", kDataDevice);
    } else if (!written || !_syncDirectory()) {
        printErr("Error writing file %s\n", _local(name).constData());
    } else {
        return StorageOk;
    }
    QFile::remove(temporary);
    return opened ? StorageShortWrite : StorageOpenFailed;
}

int FileStorage::_readAll(const QString& name, QByteArray& bytes) const
{
    QFile file(_fullName(name));
    if (!file.open(QIODevice::ReadOnly)) {
        printErr("Error opening file %s\n", _local(name).constData());
        return StorageOpenFailed;
    }
    bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        printErr("Error reading file %s\n", _local(name).constData());
        return StorageOpenFailed;
    }
    return StorageOk;
}

int FileStorage::read(const QString& name, QByteArray& bytes) const
{
    int result = _readAll(name, bytes);
    if (result != StorageOk)
        return result;
    if (bytes.isEmpty()) {
        printErr("Error reading file %s\n", _local(name).constData());
        return StorageEmptyRead;
    }
    return StorageOk;
}

int FileStorage::remove(const QString& name) const
{
    if (!QFile::remove(_fullName(name)) || !_syncDirectory()) {
        printErr("Error removing file %s\n", _local(name).constData());
        return StorageRemoveFailed;
    }
    return StorageOk;
}

bool FileStorage::exists(const QString& name) const
{
    return lookup(name) == Present;
}

FileStorage::Presence FileStorage::lookup(const QString& name) const
{
    struct stat status;
    if (stat(_local(_fullName(name)).constData(), &status) == 0)
        return Present;
    return errno == ENOENT ? Absent : Unknown;
}

int FileStorage::list(const QString& pattern, QStringList& names) const
{
    QStringList all;
    int result = _listAll(all);
    names.clear();
    const QRegExp wildcard(pattern, Qt::CaseInsensitive, QRegExp::Wildcard);
    const QRegExp visible(QStringLiteral("^[^\\.].*$"), Qt::CaseSensitive);
    for (const QString& name : all) {
        if (wildcard.exactMatch(name) && visible.exactMatch(name))
            names.append(name);
    }
    return result;
}

QStringList FileStorage::getFileList(const QString& pattern) const
{
    QStringList names;
    return list(pattern, names) == StorageOk ? names : QStringList();
}

int FileStorage::_listAll(QStringList& names) const
{
    if (ListRegularFiles(m_path, names))
        return StorageOk;
    printErr("Error reading directory %s\n", _local(m_path).constData());
    return StorageOpenFailed;
}

void FileStorage::clean() const
{
    QStringList names;
    _listAll(names);
    for (const QString& name : names)
        QFile::remove(_fullName(name));
    _syncDirectory();
}
