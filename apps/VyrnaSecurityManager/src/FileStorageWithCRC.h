// A file directory guarded by ".CRC": the CRC-32 of the concatenated
// contents of all its files in name order, as upper-case hexadecimal text.
// It is rewritten after every change and checked when the directory is
// opened; a directory that does not match is wiped and reported damaged.
#pragma once

#include "FileStorage.h"

class FileStorageWithCRC : public FileStorage {
public:
    FileStorageWithCRC() = default;
    explicit FileStorageWithCRC(const QString& dir) : FileStorage(dir) {}

    int init() const override;
    int write(const QString& name, const QByteArray& bytes) const override;
    int remove(const QString& name) const override;

    // CRC-32 of all content files in list order; 0 if one cannot be opened.
    unsigned int _getCRC() const;
    int _updateCRC() const;

protected:
    static const char kCrcName[];
    QString _crcPath() const { return _fullName(QLatin1String(kCrcName)); }
};
