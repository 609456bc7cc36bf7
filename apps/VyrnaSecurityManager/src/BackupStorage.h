// A CRC-protected directory for a medium whose rename cannot be trusted to
// be atomic: every file is written in place, bracketed by a write marker
// (an empty file "." + name), so that a write cut short is found and undone
// at the next start.
#pragma once

#include "FileStorageWithCRC.h"

class BackupStorage : public FileStorageWithCRC {
public:
    BackupStorage() = default;
    BackupStorage(const Partition& partition, const QString& dir)
        : FileStorageWithCRC(partition, dir)
    {
    }

protected:
    // The content file under its marker.
    int _put(const QString& name, const QByteArray& bytes) const override;
    // Undoes interrupted writes: each marker's content file goes, then the marker.
    void _cleanup(QStringList& files) const override;

private:
    // Creates the marker of a write of name, on the medium with its
    // directory entry; 0, or 2 with nothing left behind.
    int _mark(const QString& name) const;
};
