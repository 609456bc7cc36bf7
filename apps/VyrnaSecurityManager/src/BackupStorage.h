// The mirror of a CRC-protected directory on the SPI NOR partition. Every
// write is bracketed by a write marker (an empty file "." + name), so a
// write cut short is found and undone at the next start.
#pragma once

#include "FileStorageWithCRC.h"

class BackupStorage : public FileStorageWithCRC {
public:
    // dir starts with "/" and lies on the backup partition.
    explicit BackupStorage(const QString& dir);

    // The content file under its marker; write adds the ".CRC" update.
    int _writeContent(const QString& name, const QByteArray& bytes) const override;
    // Undoes interrupted writes: each marker's content file goes, then the marker.
    void _cleanup() const override;
    int _mkpath() const override;

private:
    static constexpr char kNorMount[] = "/mnt/NOR6";
    static constexpr char kNorDevice[] = "/dev/mtdblock6";
};
