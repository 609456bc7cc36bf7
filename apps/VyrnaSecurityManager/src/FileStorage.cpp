#include "FileStorage.h"

#include <QDir>
#include <QFile>
#include <QRegExp>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "Logger.h"

using Logger::printErr;
using Logger::printJournal;

bool FileStorage::m_refusedForSpace = false;

namespace {

// Every file is reached without following a link and never leaks into a
// program the service starts.
constexpr int kNoFollow = O_NOFOLLOW | O_CLOEXEC;

// Why an entry on the way to a store directory cannot be used, or null.
const char* Unsafe(int parent, const char* name, int opened)
{
    struct stat status;
    if (opened < 0) {
        if (fstatat(parent, name, &status, AT_SYMLINK_NOFOLLOW) != 0)
            return nullptr;  // missing or unreadable: a plain failure
        if (S_ISLNK(status.st_mode))
            return "a symbolic link";
        return S_ISDIR(status.st_mode) ? nullptr : "not a directory";
    }
    if (fstat(opened, &status) == 0 && status.st_uid != geteuid())
        return "owned by another user";
    return nullptr;
}

// Opens the directory `below` the mount point one component at a time:
// never through a link, each one owned by the service's own user and kept
// 0700, so that no other user can swap, read or fill what lies beneath.
// Components that are missing are created when create is set. The open
// directory, or -1.
int OpenBelow(const QByteArray& mount, const QByteArray& below, bool create)
{
    int directory = open(mount.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    QByteArray path = mount;
    for (const QByteArray& component : below.split('/')) {
        if (directory < 0)
            break;
        if (component.isEmpty())
            continue;
        path += '/' + component;
        const bool made = create && mkdirat(directory, component.constData(), 0700) == 0;
        int next = openat(directory, component.constData(), O_RDONLY | O_DIRECTORY | kNoFollow);
        const char* problem = Unsafe(directory, component.constData(), next);
        struct stat status;
        bool usable = next >= 0 && problem == nullptr && fstat(next, &status) == 0
                      && ((status.st_mode & 07777) == 0700 || fchmod(next, 0700) == 0)
                      && (!made || fsync(directory) == 0);  // the new entry is durable
        if (problem != nullptr)
            printErr("Unsafe directory %s: %s\n", path.constData(), problem);
        if (!usable && next >= 0) {
            close(next);
            next = -1;
        }
        close(directory);
        directory = next;
    }
    return directory;
}

// The entries of an open directory, each list sorted by name character by
// character (not by locale): its regular files and, when asked, its strays,
// the entries that are neither regular files nor directories. False when
// the directory cannot be read to its end: a partial listing must never
// pass for the whole.
bool ListEntries(int directory, QStringList& regular, QStringList* strays)
{
    regular.clear();
    if (strays != nullptr)
        strays->clear();
    const int fd = directory < 0 ? -1 : openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = fd < 0 ? nullptr : fdopendir(fd);
    if (dir == nullptr) {
        if (fd >= 0)
            close(fd);
        return false;
    }
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
        unsigned char type = entry->d_type;
        if (type == DT_UNKNOWN) {
            struct stat status;
            if (fstatat(dirfd(dir), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0) {
                if (errno == ENOENT)
                    continue;
                complete = false;
                break;
            }
            type = S_ISREG(status.st_mode) ? DT_REG : S_ISDIR(status.st_mode) ? DT_DIR : DT_LNK;
        }
        if (type == DT_REG)
            regular.append(QFile::decodeName(entry->d_name));
        else if (type != DT_DIR && strays != nullptr)
            strays->append(QFile::decodeName(entry->d_name));
    }
    closedir(dir);
    std::sort(regular.begin(), regular.end());
    if (strays != nullptr)
        std::sort(strays->begin(), strays->end());
    return complete;
}

bool ReadToEnd(int fd, QByteArray& bytes, qint64 expected)
{
    bytes.clear();
    bytes.reserve(static_cast<int>(std::min<qint64>(expected, 1 << 20)) + 1);
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got == 0)
            return true;
        if (got < 0 && errno != EINTR)
            return false;
        if (got > 0)
            bytes.append(buffer, static_cast<int>(got));
    }
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

FileStorage::FileStorage(const QString& dir)
    : m_path(QLatin1String(kDataMount) + dir), m_mount(QLatin1String(kDataMount))
{
}

FileStorage::~FileStorage()
{
    if (m_dirFd >= 0)
        close(m_dirFd);
}

void FileStorage::_adopt(int fd) const
{
    if (m_dirFd >= 0)
        close(m_dirFd);
    m_dirFd = fd;
}

int FileStorage::_directory() const
{
    if (m_dirFd < 0 && !m_mount.isEmpty() && m_path.startsWith(m_mount))
        m_dirFd = OpenBelow(_local(m_mount), _local(m_path.mid(m_mount.size())), false);
    return m_dirFd;
}

int FileStorage::init() const
{
    int result = _mkpath();
    if (result != StorageOk)
        return result;
    _removeStrays();
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
    const int fd = OpenBelow(_local(mountPoint), _local(m_path.mid(mountPoint.size())), true);
    _adopt(fd);
    if (fd < 0) {
        printErr("Error creating path %s\n", _local(m_path).constData());
        return StorageNoDirectory;
    }
    return StorageOk;
}

void FileStorage::_removeStrays() const
{
    // Whatever put them there, following them could read or destroy what
    // they point to, and their names would block the store's own files.
    QStringList regular, strays;
    ListEntries(_directory(), regular, &strays);
    for (const QString& name : strays) {
        printErr("Removing %s: not a regular file\n", _local(_fullName(name)).constData());
        _unlink(name);
    }
    if (!strays.isEmpty())
        _syncDirectory();
}

void FileStorage::_cleanup() const
{
    QStringList names;
    if (_listAll(names) != StorageOk)
        return;
    bool removed = false;
    for (const QString& name : names) {
        if (IsTemporary(name))
            removed = _unlink(name) || removed;
    }
    if (removed)
        _syncDirectory();
}

int FileStorage::_create(const QString& name) const
{
    return openat(_directory(), _local(name).constData(), O_WRONLY | O_CREAT | O_TRUNC | kNoFollow,
                  0600);
}

bool FileStorage::_unlink(const QString& name) const
{
    return unlinkat(_directory(), _local(name).constData(), 0) == 0;
}

bool FileStorage::_writeDurably(int fd, const QByteArray& bytes)
{
    for (qint64 done = 0; done < bytes.size();) {
        const ssize_t wrote =
            ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (wrote > 0)
            done += wrote;
        else if (wrote == 0 || errno != EINTR)
            return false;
    }
    return fsync(fd) == 0;
}

void FileStorage::_noteIfFull(int error)
{
    if (error == ENOSPC || error == EDQUOT)
        noteRefusedForSpace();
}

bool FileStorage::_syncDirectory() const
{
    return fsync(_directory()) == 0;
}

bool FileStorage::space(struct statvfs& figures) const
{
    return fstatvfs(_directory(), &figures) == 0;
}

int FileStorage::write(const QString& name, const QByteArray& bytes) const
{
    // The old content stays in place until the new one is complete on the
    // medium; the rename then swaps them in one step. A name that cannot
    // take the new file counts as a file that cannot be opened for writing.
    const QString temporary = TemporaryName(name);
    const int fd = _create(temporary);
    int error = fd < 0 ? errno : 0;  // only set while the old content is untouched
    bool opened = fd >= 0;
    const bool written = opened && _writeDurably(fd, bytes);
    if (opened && !written)
        error = errno;
    if (fd >= 0)
        close(fd);
    if (written
        && renameat(_directory(), _local(temporary).constData(), _directory(),
                    _local(name).constData()) != 0) {
        error = errno;
        opened = false;
    }
    if (!opened) {
        printErr("Error opening file %s\n", _local(name).constData());
        printJournal("Error writing on partition %s\n", kDataDevice);
    } else if (!written || !_syncDirectory()) {
        printErr("Error writing file %s\n", _local(name).constData());
    } else {
        return StorageOk;
    }
    _unlink(temporary);
    _noteIfFull(error);
    return opened ? StorageShortWrite : StorageOpenFailed;
}

int FileStorage::_readAll(const QString& name, QByteArray& bytes) const
{
    // Only a regular file is read: a device or a pipe that took a store
    // file's name must not block or feed the service.
    const int fd = openat(_directory(), _local(name).constData(),
                          O_RDONLY | O_NONBLOCK | O_NOCTTY | kNoFollow);
    struct stat status;
    if (fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        if (fd >= 0)
            close(fd);
        printErr("Error opening file %s\n", _local(name).constData());
        return StorageOpenFailed;
    }
    const bool complete = ReadToEnd(fd, bytes, status.st_size);
    close(fd);
    if (!complete) {
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
    if (!_unlink(name) || !_syncDirectory()) {
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
    // Anything but a regular file is no file of the store.
    struct stat status;
    if (fstatat(_directory(), _local(name).constData(), &status, AT_SYMLINK_NOFOLLOW) == 0)
        return S_ISREG(status.st_mode) ? Present : Absent;
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
    if (ListEntries(_directory(), names, nullptr))
        return StorageOk;
    printErr("Error reading directory %s\n", _local(m_path).constData());
    return StorageOpenFailed;
}

void FileStorage::clean() const
{
    QStringList names, strays;
    ListEntries(_directory(), names, &strays);
    for (const QString& name : names + strays)
        _unlink(name);
    _syncDirectory();
}
