// A file directory guarded by ".CRC": the CRC-32 of the concatenated
// contents of all its files in name order, as upper-case hexadecimal text.
// It is brought up to date once after every batch of changes (and removed
// with the last content file) and checked when the directory is opened; a
// directory that does not match is wiped and reported damaged. A directory
// holding content files but no ".CRC" is damaged too: it was being filled
// or wiped when a crash cut the work short. So is one holding an empty
// content file: a write cut short to nothing, which the CRC over the
// concatenation cannot see.
#pragma once

#include "FileStorage.h"

class FileStorageWithCRC : public FileStorage {
public:
    FileStorageWithCRC() = default;
    FileStorageWithCRC(const Partition& partition, const QString& dir) : FileStorage(partition, dir) {}

    int init() const override;

    // Whether init would accept the directory as it is: ".CRC" matches the
    // contents (or neither is there) and no marker or temporary is left.
    bool intact() const;

    // CRC-32 of all content files in list order; 0 if one cannot be read.
    unsigned int _getCRC() const;

protected:
    static const char kCrcName[];

    // Brings ".CRC" up to date, or deletes it when no content file is left.
    int _seal() const override;

private:
    QString _crcPath() const { return _fullName(QLatin1String(kCrcName)); }
    // Whether ".CRC" (its text read) vouches for the content files: it
    // matches their CRC and none of them is empty. 0 or the code of the
    // failing read.
    int _vouches(const QStringList& content, bool& matches) const;
    // The CRC-32 of the content files' concatenation, and whether one of
    // them is empty; 0 or the code of the failing read.
    int _computeCRC(const QStringList& content, unsigned int& crc, bool* anyEmpty = nullptr) const;
    int _updateCRC(const QStringList& content) const;
};
