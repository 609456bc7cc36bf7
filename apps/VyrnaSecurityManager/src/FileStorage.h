// One directory of small files, one value per file, addressed by bare file
// names. Every operation reports failure once on standard error and returns
// a storage code (StorageResult). Every change is flushed to the medium,
// file and directory entry, before it reports success. A file is replaced
// through a temporary beside it, so a crash leaves its old or its new
// content, never a mix.
//
// The directory is opened once, one component at a time below its mount
// point, never through a link, and must belong to the service's own user;
// it is kept 0700 and its files are created 0600. Every file is reached
// relative to that open directory without following links: a link or any
// other entry that is not a regular file is never content, never opened
// for its target, and removed when the directory is opened.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

struct statvfs;

enum StorageResult {
    StorageOk = 0,
    StorageNoDirectory = 1,    // the directory could not be created, or is not safe to use
    StorageOpenFailed = 2,     // also: the file or the directory could not be read
    StorageEmptyRead = 3,
    StorageShortWrite = 4,     // also: the write could not be flushed to the medium
    StorageRemoveFailed = 5,
    StorageDamaged = 6,        // contents did not match ".CRC"; the directory was wiped
    StorageDataNotMounted = 7,
    StorageBackupNotMounted = 8
};

class FileStorage {
public:
    // Whether a regular file is there; Unknown when the medium cannot tell.
    enum Presence { Absent, Present, Unknown };

    FileStorage() = default;
    // dir starts with "/" and lies on the data partition.
    explicit FileStorage(const QString& dir);
    ~FileStorage();
    FileStorage(const FileStorage&) = delete;
    FileStorage& operator=(const FileStorage&) = delete;

    // Slots: derived stores replace these.
    virtual int init() const;
    virtual int write(const QString& name, const QByteArray& bytes) const;
    virtual int remove(const QString& name) const;
    // Removes the temporaries of writes that a crash cut short.
    virtual void _cleanup() const;
    virtual int _mkpath() const;

    int read(const QString& name, QByteArray& bytes) const;
    bool exists(const QString& name) const;
    Presence lookup(const QString& name) const;
    // Regular files matching the wildcard, in name order, never hidden ones;
    // 2 when the directory cannot be read to its end.
    int list(const QString& pattern, QStringList& names) const;
    // As list, but empty when the directory cannot be read.
    QStringList getFileList(const QString& pattern) const;
    QString getPath() const { return m_path; }
    // Deletes every entry but subdirectories, hidden ones included; failures
    // are ignored. A link goes, never what it points to.
    void clean() const;
    // The figures of the file system that holds the directory; false if unknown.
    bool space(struct statvfs& figures) const;

    // Whether a change since the last reset was refused because its
    // partition was full, the store being left as it was before it.
    static bool refusedForSpace() { return m_refusedForSpace; }
    static void resetRefusedForSpace() { m_refusedForSpace = false; }
    static void noteRefusedForSpace() { m_refusedForSpace = true; }

protected:
    static constexpr char kDataMount[] = "/mnt/DATA";
    static constexpr char kDataDevice[] = "/dev/mmcblk1p4";

    QString _fullName(const QString& name) const { return m_path + QLatin1Char('/') + name; }
    // A name or path as the file system and the messages take it.
    static QByteArray _local(const QString& text);
    // Opens the directory below mountPoint, creating what is missing; 0 or 1.
    int _mkpathUnder(const QString& mountPoint) const;
    // Makes the directory's entries (created, replaced, removed) durable.
    bool _syncDirectory() const;
    // Every regular file, hidden ones included, in name order; 0 or 2.
    int _listAll(QStringList& names) const;
    // The whole file, empty or not; 0 or 2.
    int _readAll(const QString& name, QByteArray& bytes) const;
    // Creates or truncates a file of the directory, 0600, for writing; its
    // descriptor, or -1 with errno set.
    int _create(const QString& name) const;
    // Removes one entry of the directory (a link itself, never its target).
    bool _unlink(const QString& name) const;
    // Writes all bytes to an open file and flushes them to the medium.
    static bool _writeDurably(int fd, const QByteArray& bytes);
    // Notes a refusal for space when errno says the partition is full.
    static void _noteIfFull(int error);

    QString m_path;
    QString m_mount;  // the mount point the path lies under

private:
    // The open directory, opened (not created) on first use; -1 if it cannot be.
    int _directory() const;
    // Removes the entries that are neither regular files nor directories.
    void _removeStrays() const;
    void _adopt(int fd) const;

    mutable int m_dirFd = -1;
    static bool m_refusedForSpace;
};
