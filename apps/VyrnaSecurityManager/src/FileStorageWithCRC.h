// A file directory guarded by ".CRC": the CRC-32 of the concatenated
// contents of all its files in name order, as upper-case hexadecimal text.
// It is rewritten after every change and checked when the directory is
// opened; a directory that does not match is wiped and reported damaged.
// A directory holding content files but no ".CRC" is damaged too: it was
// being filled or wiped when a crash cut the work short.
#pragma once

#include "FileStorage.h"

class FileStorageWithCRC : public FileStorage {
public:
    FileStorageWithCRC() = default;
    explicit FileStorageWithCRC(const QString& dir) : FileStorage(dir) {}

    int init() const override;
    int write(const QString& name, const QByteArray& bytes) const override;
    int remove(const QString& name) const override;
    // Writes one content file and leaves ".CRC" as it is, so that several
    // changes can be sealed by one _refreshCRC.
    virtual int _writeContent(const QString& name, const QByteArray& bytes) const;

    // Whether init would accept the directory as it is: ".CRC" matches the
    // contents (or neither is there) and no marker or temporary is left.
    bool intact() const;

    // CRC-32 of all content files in list order; 0 if one cannot be read.
    unsigned int _getCRC() const;
    int _updateCRC() const;
    // Brings ".CRC" up to date, or deletes it when no content file is left.
    int _refreshCRC() const;

protected:
    static const char kCrcName[];
    QString _crcPath() const { return _fullName(QLatin1String(kCrcName)); }
    // The CRC-32 of the current contents; 0 or the code of the failing read.
    int _computeCRC(unsigned int& crc) const;
};
