// One directory of small files, one value per file, addressed by bare file
// names. Every operation reports failure once on standard error and returns
// a storage code (StorageResult). Every change is flushed to the medium,
// file and directory entry, before it reports success. A file is replaced
// through a temporary beside it, so a crash leaves its old or its new
// content, never a mix.
//
// Changes go through one entry, apply: a batch of replacements and removals
// made in order, then sealed once (a derived store brings what guards the
// directory up to date there). write and remove are batches of one.
//
// The directory is opened once, one component at a time below its
// partition's mount point, never through a link, and must belong to the
// service's own user; it is kept 0700 and its files are created 0600. Every
// file is reached relative to that open directory without following links:
// a link or any other entry that is not a regular file is never content,
// never opened for its target, and removed when the directory is opened.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

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

// A partition that holds store directories: where it is mounted, the
// device that messages name, and how a missing mount point is reported.
struct Partition {
    const char* mount;
    const char* device;
    const char* medium;  // as the not-mounted message names it
    int notMounted;      // the storage code of a missing mount point
    bool quiet;          // a missing mount point is only a debug line
};

// The data card (items, primary key copy) and the SPI NOR flash (backup key copy).
extern const Partition kDataPartition;
extern const Partition kBackupPartition;

// Changes to the files of one directory, in the order they are to be made.
class StorageBatch {
public:
    struct Change {
        QString name;
        QByteArray bytes;
        bool removal;
    };

    // The file gets these bytes (created, or replaced whole).
    StorageBatch& put(const QString& name, const QByteArray& bytes)
    {
        m_changes.append(Change{name, bytes, false});
        return *this;
    }
    StorageBatch& remove(const QString& name)
    {
        m_changes.append(Change{name, QByteArray(), true});
        return *this;
    }
    bool isEmpty() const { return m_changes.isEmpty(); }
    const QVector<Change>& changes() const { return m_changes; }

private:
    QVector<Change> m_changes;
};

class FileStorage {
public:
    // Whether a regular file is there; Unknown when the medium cannot tell.
    enum Presence { Absent, Present, Unknown };

    // What a read of the head of one file found, before it is reported.
    struct Head {
        int result = StorageOk;  // as report returns it
        bool opened = false;     // a failure came after the file was open
        QByteArray bytes;
        qint64 size = 0;
    };

    // A store without a directory: every operation fails.
    FileStorage() = default;
    // dir starts with "/" and lies below the partition's mount point.
    FileStorage(const Partition& partition, const QString& dir);
    ~FileStorage();
    FileStorage(const FileStorage&) = delete;
    FileStorage& operator=(const FileStorage&) = delete;

    // Opens the directory, creating what is missing, and clears what a crash
    // or another program left in it.
    virtual int init() const;
    // As init, and gives the content files matching the wildcard pattern (as
    // list does), read from the one listing that opening needs.
    int open(const QString& pattern, QStringList& content) const;

    // Makes the batch's changes in order, each on the medium before the
    // next, then seals the directory once. The first failure ends the batch
    // unsealed with its code: what was done before stays. An empty batch
    // changes and seals nothing.
    int apply(const StorageBatch& batch) const;
    int write(const QString& name, const QByteArray& bytes) const;
    int remove(const QString& name) const;

    int read(const QString& name, QByteArray& bytes) const;
    // The first length bytes of each named file (fewer if it is shorter) and
    // its whole size, unreported, in the order of the names; many files are
    // read by several threads at once. report gives each one's code (as
    // read's) and prints its message, once per file, in any order.
    QVector<Head> peekAll(const QStringList& names, int length) const;
    int report(const QString& name, const Head& head) const;
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
    // The steps of a batch. _put makes one file hold the bytes and _remove
    // deletes one, each flushed with its directory entry; _seal runs once
    // after the last change of a batch.
    virtual int _put(const QString& name, const QByteArray& bytes) const;
    virtual int _remove(const QString& name) const;
    virtual int _seal() const;
    // Undoes the changes that a crash cut short, given every regular file of
    // the directory (hidden ones too, in name order); the names it removes
    // leave the list.
    virtual void _cleanup(QStringList& files) const;

    // Opens the directory as init does; every regular file left after the
    // clean-up, hidden ones too, in name order.
    int _open(QStringList& files) const;
    // The names that list would give for the pattern.
    static QStringList _matching(const QStringList& files, const QString& pattern);
    QString _fullName(const QString& name) const { return m_path + QLatin1Char('/') + name; }
    // A name or path as the file system and the messages take it.
    static QByteArray _local(const QString& text);
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

private:
    // Opens the directory below the partition's mount point, creating what
    // is missing; 0, 1 or the partition's not-mounted code.
    int _mkpath() const;
    // The open directory, opened (not created) on first use; -1 if it cannot be.
    int _directory() const;
    void _adopt(int fd) const;

    const Partition* m_partition = nullptr;
    mutable int m_dirFd = -1;
    static bool m_refusedForSpace;
};
