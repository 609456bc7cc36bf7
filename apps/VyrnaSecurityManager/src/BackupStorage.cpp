#include "BackupStorage.h"

#include <cerrno>
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

void BackupStorage::_cleanup(QStringList& files) const
{
    const QStringList listed = files;
    for (const QString& name : listed) {
        if (name == QLatin1String(kCrcName) || !name.startsWith(QLatin1Char('.')))
            continue;
        printDbg("Recovering %s...\n", _local(m_path).constData());
        // The marker goes only once its content file's removal is on the
        // medium: a cut between the two must never leave the content file
        // (perhaps empty, which the CRC cannot see) without its marker.
        const QString content = name.mid(1);
        if ((_unlink(content) || lookup(content) == Absent) && _syncDirectory()) {
            files.removeOne(content);
            if (_unlink(name))
                files.removeOne(name);
        }
    }
    _syncDirectory();
}

int BackupStorage::_mark(const QString& name) const
{
    // A full partition met here leaves the directory as it was.
    const QString marker = Marker(name);
    const int markerFd = _create(marker);
    if (markerFd < 0) {
        _noteIfFull(errno);
        printErr("Error opening file .%s\n", _local(name).constData());
        return StorageOpenFailed;
    }
    const bool markerSynced = fsync(markerFd) == 0;
    close(markerFd);
    if (!markerSynced || !_syncDirectory()) {
        printErr("Error opening file .%s\n", _local(name).constData());
        _unlink(marker);
        return StorageOpenFailed;
    }
    return StorageOk;
}

int BackupStorage::_put(const QString& name, const QByteArray& bytes) const
{
    // The marker must be on the medium before the content file changes.
    int result = _mark(name);
    if (result != StorageOk)
        return result;
    const QString marker = Marker(name);
    const int file = _create(name);
    if (file < 0) {
        const int error = errno;
        printErr("Error opening file %s\n", _local(name).constData());
        if (_unlink(marker) && _syncDirectory())
            _noteIfFull(error);
        return StorageOpenFailed;
    }
    if (!_writeDurably(file, bytes)) {
        printErr("Error writing file %s\n", _local(name).constData());
        result = StorageShortWrite;
    }
    close(file);

    if (!_unlink(marker) || !_syncDirectory()) {
        printErr("Error removing file .%s\n", _local(name).constData());
        result = StorageRemoveFailed;
    }
    return result;
}
