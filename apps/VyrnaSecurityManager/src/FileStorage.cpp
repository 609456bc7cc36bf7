#include "FileStorage.h"

#include <QDir>
#include <QFile>
#include <QRegExp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <thread>
#include <vector>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "Logger.h"

using Logger::printDbg;
using Logger::printErr;
using Logger::printJournal;

bool FileStorage::m_refusedForSpace = false;

const Partition kDataPartition = {"/mnt/DATA", "/dev/mmcblk1p4", "MMC", StorageDataNotMounted, false};
const Partition kBackupPartition = {"/mnt/NOR6", "/dev/mtdblock6", "SPI NOR",
                                    StorageBackupNotMounted, true};

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

// The kind of a directory entry (DT_REG, DT_DIR, anything else a stray),
// asked of the file system when the listing does not tell: DT_UNKNOWN for
// an entry gone meanwhile, -1 when it cannot be told.
int EntryType(DIR* dir, const dirent* entry)
{
    if (entry->d_type != DT_UNKNOWN)
        return entry->d_type;
    struct stat status;
    if (fstatat(dirfd(dir), entry->d_name, &status, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? DT_UNKNOWN : -1;
    return S_ISREG(status.st_mode) ? DT_REG : S_ISDIR(status.st_mode) ? DT_DIR : DT_LNK;
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
    errno = 0;
    for (const dirent* entry; complete && (entry = readdir(dir)) != nullptr; errno = 0) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0)
            continue;
        const int type = EntryType(dir, entry);
        complete = type >= 0;
        if (type == DT_REG)
            regular.append(QFile::decodeName(entry->d_name));
        else if (type > 0 && type != DT_DIR && strays != nullptr)
            strays->append(QFile::decodeName(entry->d_name));
    }
    complete = complete && errno == 0;
    closedir(dir);
    std::sort(regular.begin(), regular.end());
    if (strays != nullptr)
        std::sort(strays->begin(), strays->end());
    return complete;
}

// The file as its size said when it was opened: the stores' files change
// only through this process, so what follows that size is nobody's. One
// read for most files, none for an empty one.
bool ReadToEnd(int fd, QByteArray& bytes, qint64 expected)
{
    bytes.clear();
    if (expected <= 0 || expected > (1 << 30))
        return expected == 0;
    bytes.resize(static_cast<int>(expected));
    int done = 0;
    while (done < bytes.size()) {
        const ssize_t got =
            ::read(fd, bytes.data() + done, static_cast<size_t>(bytes.size() - done));
        if (got == 0)
            break;
        if (got < 0 && errno != EINTR)
            return false;
        if (got > 0)
            done += static_cast<int>(got);
    }
    bytes.truncate(done);
    return true;
}

// Up to limit bytes of a regular file of the directory (all of it when
// limit < 0) and its size, unreported. Only a regular file is read: a
// device or a pipe that took a store file's name must not block or feed
// the service. Safe from any thread.
FileStorage::Head ReadHead(int directory, const QByteArray& name, qint64 limit)
{
    FileStorage::Head head;
    head.result = StorageOpenFailed;
    const int fd = openat(directory, name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | kNoFollow);
    if (fd < 0)
        return head;
    struct stat status;
    if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode)) {
        head.opened = true;
        head.size = status.st_size;
        if (ReadToEnd(fd, head.bytes, limit < 0 ? head.size : std::min<qint64>(head.size, limit)))
            head.result = StorageOk;
    }
    close(fd);
    return head;
}

// As ReadHead, for peekAll: an empty file is an empty read.
FileStorage::Head PeekHead(int directory, const QByteArray& name, int length)
{
    FileStorage::Head head = ReadHead(directory, name, length);
    if (head.result == StorageOk && head.size == 0)
        head.result = StorageEmptyRead;
    return head;
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

FileStorage::FileStorage(const Partition& partition, const QString& dir)
    : m_path(QLatin1String(partition.mount) + dir), m_partition(&partition)
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
    if (m_dirFd < 0 && m_partition != nullptr) {
        const QByteArray mount(m_partition->mount);
        m_dirFd = OpenBelow(mount, _local(m_path).mid(mount.size()), false);
    }
    return m_dirFd;
}

int FileStorage::init() const
{
    QStringList content;
    return open(QStringLiteral("*"), content);
}

int FileStorage::open(const QString& pattern, QStringList& content) const
{
    QStringList files;
    const int result = _open(files);
    content = result == StorageOk ? _matching(files, pattern) : QStringList();
    return result;
}

int FileStorage::_open(QStringList& files) const
{
    files.clear();
    int result = _mkpath();
    if (result != StorageOk)
        return result;
    // Whatever put them there, following the strays could read or destroy
    // what they point to, and their names would block the store's own files.
    QStringList strays;
    const bool complete = ListEntries(_directory(), files, &strays);
    for (const QString& name : strays) {
        printErr("Removing %s: not a regular file\n", _local(_fullName(name)).constData());
        _unlink(name);
    }
    if (!strays.isEmpty())
        _syncDirectory();
    if (!complete) {
        files.clear();
        printErr("Error reading directory %s\n", _local(m_path).constData());
        return StorageOpenFailed;
    }
    _cleanup(files);
    return StorageOk;
}

QStringList FileStorage::_matching(const QStringList& files, const QString& pattern)
{
    // The stores' patterns are "*" and "*.suffix": a comparison of the end
    // is enough for them, and much cheaper over thousands of names.
    const QString suffix = pattern.mid(1);
    const bool plain = pattern.startsWith(QLatin1Char('*')) && !suffix.contains(QLatin1Char('*'))
                       && !suffix.contains(QLatin1Char('?')) && !suffix.contains(QLatin1Char('['));
    const QRegExp wildcard(plain ? QString() : pattern, Qt::CaseInsensitive, QRegExp::Wildcard);
    QStringList names;
    for (const QString& name : files) {
        if (name.startsWith(QLatin1Char('.')))
            continue;
        if (plain ? name.endsWith(suffix, Qt::CaseInsensitive) : wildcard.exactMatch(name))
            names.append(name);
    }
    return names;
}

int FileStorage::_mkpath() const
{
    if (m_partition == nullptr)
        return StorageNoDirectory;
    if (!QDir(QLatin1String(m_partition->mount)).exists()) {
        if (m_partition->quiet)
            printDbg("%s partition %s not mounted\n", m_partition->medium, m_partition->device);
        else
            printErr("%s partition %s not mounted\n", m_partition->medium, m_partition->device);
        return m_partition->notMounted;
    }
    const QByteArray mount(m_partition->mount);
    const int fd = OpenBelow(mount, _local(m_path).mid(mount.size()), true);
    _adopt(fd);
    if (fd < 0) {
        printErr("Error creating path %s\n", _local(m_path).constData());
        return StorageNoDirectory;
    }
    return StorageOk;
}

void FileStorage::_cleanup(QStringList& files) const
{
    QStringList left;
    for (const QString& name : files) {
        if (!IsTemporary(name) || !_unlink(name))
            left.append(name);
    }
    if (left.size() != files.size())
        _syncDirectory();
    files = left;
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

int FileStorage::apply(const StorageBatch& batch) const
{
    if (batch.isEmpty())
        return StorageOk;
    for (const StorageBatch::Change& change : batch.changes()) {
        const int result = change.removal ? _remove(change.name) : _put(change.name, change.bytes);
        if (result != StorageOk)
            return result;
    }
    return _seal();
}

int FileStorage::write(const QString& name, const QByteArray& bytes) const
{
    return apply(StorageBatch().put(name, bytes));
}

int FileStorage::remove(const QString& name) const
{
    return apply(StorageBatch().remove(name));
}

int FileStorage::_seal() const
{
    return StorageOk;
}

int FileStorage::_put(const QString& name, const QByteArray& bytes) const
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
        printJournal("Error writing on partition %s\n", kDataPartition.device);
    } else if (!written || !_syncDirectory()) {
        printErr("Error writing file %s\n", _local(name).constData());
    } else {
        return StorageOk;
    }
    _unlink(temporary);
    _noteIfFull(error);
    return opened ? StorageShortWrite : StorageOpenFailed;
}

int FileStorage::_remove(const QString& name) const
{
    if (!_unlink(name) || !_syncDirectory()) {
        printErr("Error removing file %s\n", _local(name).constData());
        return StorageRemoveFailed;
    }
    return StorageOk;
}

int FileStorage::report(const QString& name, const Head& head) const
{
    if (head.result != StorageOk)
        printErr(head.opened ? "Error reading file %s\n" : "Error opening file %s\n",
                 _local(name).constData());
    return head.result;
}

int FileStorage::_readAll(const QString& name, QByteArray& bytes) const
{
    const Head head = ReadHead(_directory(), _local(name), -1);
    bytes = head.bytes;
    return report(name, head);
}

QVector<FileStorage::Head> FileStorage::peekAll(const QStringList& names, int length) const
{
    // Opening a file costs more than reading its head: with thousands of
    // them the start waits mostly on these calls, which run well side by
    // side. Each thread takes the next run of names; each result has one
    // writer. The threads share only the open directory and the names.
    constexpr int kRun = 64;
    QVector<Head> heads(names.size());
    Head* const found = heads.data();
    const int directory = _directory();
    std::atomic<int> next{0};
    const auto work = [&] {
        for (int first; (first = next.fetch_add(kRun)) < names.size();)
            for (int i = first; i < std::min(first + kRun, int(names.size())); ++i)
                found[i] = PeekHead(directory, _local(names[i]), length);
    };
    const int helpersWanted =
        names.size() < 4 * kRun ? 0 : std::min(3, int(std::thread::hardware_concurrency()) - 1);
    std::vector<std::thread> helpers;
    try {
        while (int(helpers.size()) < helpersWanted)
            helpers.emplace_back(work);
    } catch (const std::system_error&) {
        // No thread to spare: those started and this one read them all.
    }
    work();
    for (std::thread& helper : helpers)
        helper.join();
    return heads;
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
    const int result = _listAll(all);
    names = _matching(all, pattern);
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
