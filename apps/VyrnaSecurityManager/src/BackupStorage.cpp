#include "BackupStorage.h"

#include <QDir>
#include <QFile>
#include <unistd.h>

#include "Logger.h"

using Logger::printDbg;
using Logger::printErr;

namespace {

QString Marker(const QString& name)
{
    return QLatin1Char('.') + name;
}

}  // namespace

BackupStorage::BackupStorage(const QString& dir)
{
    m_path = QLatin1String(kNorMount) + dir;
}

int BackupStorage::_mkpath() const
{
    if (!QDir(QLatin1String(kNorMount)).exists()) {
        printDbg("SPI NOR partition %s not mounted\n", kNorDevice);
        return StorageBackupNotMounted;
    }
    return _mkpathUnder(QLatin1String(kNorMount));
}

void BackupStorage::_cleanup() const
{
    QStringList names;
    _listAll(names);
    for (const QString& name : names) {
        if (name == QLatin1String(kCrcName) || !name.startsWith(QLatin1Char('.')))
            continue;
        printDbg("Recovering %s...\n", _local(m_path).constData());
        // The marker goes only once its content file's removal is on the
        // medium: a cut between the two must never leave the content file
        // (perhaps empty, which the CRC cannot see) without its marker.
        const QString content = name.mid(1);
        if ((QFile::remove(_fullName(content)) || lookup(content) == Absent) && _syncDirectory())
            QFile::remove(_fullName(name));
    }
    _syncDirectory();
}

int BackupStorage::_writeContent(const QString& name, const QByteArray& bytes) const
{
    // The marker must be on the medium before the content file changes.
    QFile marker(_fullName(Marker(name)));
    if (!marker.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        printErr("Error opening file .%s\n", _local(name).constData());
        return StorageOpenFailed;
    }
    const bool markerSynced = fsync(marker.handle()) == 0;
    marker.close();
    if (!markerSynced || !_syncDirectory()) {
        printErr("Error opening file .%s\n", _local(name).constData());
        QFile::remove(marker.fileName());
        return StorageOpenFailed;
    }

    QFile file(_fullName(name));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        printErr("Error opening file %s\n", _local(name).constData());
        QFile::remove(marker.fileName());
        _syncDirectory();
        return StorageOpenFailed;
    }
    int result = StorageOk;
    if (!_writeDurably(file, bytes)) {
        printErr("Error writing file %s\n", _local(name).constData());
        result = StorageShortWrite;
    }
    file.close();

    if (!QFile::remove(marker.fileName()) || !_syncDirectory()) {
        printErr("Error removing file .%s\n", _local(name).constData());
        result = StorageRemoveFailed;
    }
    return result;
}
