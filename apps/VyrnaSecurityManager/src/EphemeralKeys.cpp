#include "EphemeralKeys.h"

#include <cstdio>

#include "CryptoUtils.h"
#include "Logger.h"

namespace {

int ConvertExitCode(int code)
{
    switch (code) {
    case StorageOk:
        return 0;
    case StorageNoDirectory:
        return EphemeralKeys::NoDirectory;
    case StorageOpenFailed:
        return EphemeralKeys::OpenFailed;
    case StorageEmptyRead:
        return EphemeralKeys::NoKey;
    case StorageShortWrite:
        return EphemeralKeys::ShortWrite;
    case StorageRemoveFailed:
        return EphemeralKeys::RemoveFailed;
    case StorageDamaged:
        return EphemeralKeys::Damaged;
    default:
        return EphemeralKeys::OtherFailure;
    }
}

// Valid until the next call.
QString GetKeyFileName(unsigned int uid)
{
    static char name[32];
    snprintf(name, sizeof name, "%04d.key", static_cast<int>(uid));
    return QLatin1String(name);
}

const QString kKeyPattern = QStringLiteral("*.key");

// AES-256-CBC of the input under a key record, into the output only on
// success; 0 or 1.
int Cipher(bool encrypt, const QByteArray& key, const QByteArray& input, QByteArray& output)
{
    QByteArray result(input.size(), '\0');
    const auto* record = reinterpret_cast<const unsigned char*>(key.constData());
    const auto* in = reinterpret_cast<const unsigned char*>(input.constData());
    auto* out = reinterpret_cast<unsigned char*>(result.data());
    const auto length = static_cast<unsigned>(input.size());
    const int failed = encrypt ? CryptoUtils::aes256Encrypt(record, in, length, out)
                               : CryptoUtils::aes256Decrypt(record, in, length, out);
    if (failed != 0)
        return 1;
    output = result;
    return 0;
}

// What makes the destination copy hold the source's key files: each one it
// lacks or holds otherwise, in order, then the removal of those the source
// lacks. 0 or the code of the failing read.
int Differences(const FileStorageWithCRC& source, const QStringList& sourceFiles,
                const FileStorageWithCRC& destination, const QStringList& destinationFiles,
                StorageBatch& changes)
{
    for (const QString& name : sourceFiles) {
        QByteArray content;
        int result = source.read(name, content);
        if (result != StorageOk)
            return result;
        if (destinationFiles.contains(name)) {
            // An empty destination file merely differs: it is rewritten.
            QByteArray present;
            result = destination.read(name, present);
            if (result != StorageOk && result != StorageEmptyRead)
                return result;
            if (present == content)
                continue;
        }
        changes.put(name, content);
    }
    for (const QString& name : destinationFiles) {
        if (!sourceFiles.contains(name))
            changes.remove(name);
    }
    return StorageOk;
}

}  // namespace

EphemeralKeys::EphemeralKeys()
    : m_key(static_cast<int>(CryptoUtils::kKeyRecordLength), '\0'),
      m_primary(kDataPartition, QStringLiteral("/vyrna/.ephKeys")),
      m_backup(kBackupPartition, QStringLiteral("/vyrna/.backup"))
{
}

int EphemeralKeys::init()
{
    int primary = m_primary.init();
    int backup = m_backup.init();

    if (primary == StorageOk && backup == StorageOk) {
        // A backup without keys beside a primary with keys was wiped, or lost
        // its first key to a crash: the primary holds the keys.
        QStringList primaryKeys, backupKeys;
        int listed = m_primary.list(kKeyPattern, primaryKeys);
        if (listed == StorageOk)
            listed = m_backup.list(kKeyPattern, backupKeys);
        if (listed != StorageOk)
            return listed;
        if (backupKeys.isEmpty() && !primaryKeys.isEmpty())
            backup = StorageDamaged;
    }
    if (primary == StorageDamaged && backup == StorageDamaged)
        return Damaged;
    if (primary == StorageOk && backup == StorageDamaged)
        return _sync(false);
    if ((primary == StorageOk || primary == StorageDamaged) && backup == StorageOk)
        return _sync(true);
    return primary != StorageOk ? primary : backup;
}

int EphemeralKeys::_sync(bool fromBackup)
{
    const FileStorageWithCRC& source = fromBackup ? static_cast<const FileStorageWithCRC&>(m_backup)
                                                  : m_primary;
    const FileStorageWithCRC& destination =
        fromBackup ? m_primary : static_cast<const FileStorageWithCRC&>(m_backup);

    QStringList destinationFiles, sourceFiles;
    int result = destination.list(kKeyPattern, destinationFiles);
    if (result == StorageOk)
        result = source.list(kKeyPattern, sourceFiles);
    if (result != StorageOk)
        return ConvertExitCode(result);

    // One batch, so the destination's ".CRC" is sealed once, after the last
    // change: a crash before then leaves the destination damaged, never
    // intact with part of the keys, and the next start repairs it again
    // from the same source.
    StorageBatch changes;
    result = Differences(source, sourceFiles, destination, destinationFiles, changes);
    if (result == StorageOk)
        result = destination.apply(changes);
    return ConvertExitCode(result);
}

int EphemeralKeys::updateKey(unsigned int uid)
{
    QByteArray record(static_cast<int>(CryptoUtils::kKeyRecordLength), '\0');
    if (CryptoUtils::aes256GenAndEnc(reinterpret_cast<unsigned char*>(record.data())) != 0)
        return KeyGenFailed;
    m_key = record;

    const QString name = GetKeyFileName(uid);
    int result = m_primary.write(name, m_key);
    if (result != StorageOk)
        return ConvertExitCode(result);
    result = m_backup.write(name, m_key);
    if (result != StorageOk) {
        // Without its mirror the new key must not be used.
        int undone = m_primary.remove(name);
        return ConvertExitCode(undone != StorageOk ? undone : result);
    }
    return 0;
}

bool EphemeralKeys::settled() const
{
    // Settled: both copies intact and nothing for a repair to change.
    QStringList primaryKeys, backupKeys;
    StorageBatch changes;
    return m_primary.intact() && m_backup.intact()
           && m_primary.list(kKeyPattern, primaryKeys) == StorageOk
           && m_backup.list(kKeyPattern, backupKeys) == StorageOk
           && Differences(m_primary, primaryKeys, m_backup, backupKeys, changes) == StorageOk
           && changes.isEmpty();
}

int EphemeralKeys::_loadKey(unsigned int uid)
{
    const QString name = GetKeyFileName(uid);
    const FileStorage::Presence primary = m_primary.lookup(name);
    if (primary == FileStorage::Absent) {
        // Only a user whose key is in neither copy has no key; one that is
        // only in the backup comes back to the primary at the next start.
        if (m_backup.lookup(name) == FileStorage::Absent)
            return NoKey;
        Logger::printErr("Key file %s is missing in %s\n", name.toLatin1().constData(),
                         m_primary.getPath().toLocal8Bit().constData());
        return OpenFailed;
    }
    if (primary == FileStorage::Unknown) {
        Logger::printErr("Error opening file %s\n", name.toLatin1().constData());
        return OpenFailed;
    }
    QByteArray record;
    int result = m_primary.read(name, record);
    if (result == StorageOpenFailed)
        return OpenFailed;
    if (result != StorageOk || record.size() != static_cast<int>(CryptoUtils::kKeyRecordLength)) {
        Logger::printErr("Bad key file %s (%d bytes)\n", name.toLatin1().constData(),
                         static_cast<int>(record.size()));
        return OtherFailure;
    }
    m_key = record;
    return 0;
}

int EphemeralKeys::encrypt(unsigned int uid, const QByteArray& input, QByteArray& output)
{
    // A key is created only for a user who has none; a key that exists but
    // cannot be loaded fails the request and stays as it is.
    int result = _loadKey(uid);
    if (result == NoKey)
        result = updateKey(uid);
    if (result != 0)
        return result;
    return Cipher(true, m_key, input, output) == 0 ? 0 : EncryptFailed;
}

int EphemeralKeys::decrypt(unsigned int uid, const QByteArray& input, QByteArray& output)
{
    int result = _loadKey(uid);
    if (result != 0)
        return result;
    return Cipher(false, m_key, input, output) == 0 ? 0 : DecryptFailed;
}
