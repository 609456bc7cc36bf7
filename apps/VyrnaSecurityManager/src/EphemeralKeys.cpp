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

}  // namespace

EphemeralKeys::EphemeralKeys()
    : m_key(static_cast<int>(CryptoUtils::kKeyRecordLength), '\0'),
      m_primary(QStringLiteral("/vyrna/.ephKeys")),
      m_backup(QStringLiteral("/vyrna/.backup"))
{
}

int EphemeralKeys::init()
{
    int primary = m_primary.init();
    int backup = m_backup.init();

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

    const QStringList destinationFiles = destination.getFileList(kKeyPattern);
    const QStringList sourceFiles = source.getFileList(kKeyPattern);

    for (const QString& name : sourceFiles) {
        QByteArray content;
        int result = source.read(name, content);
        if (result != StorageOk)
            return ConvertExitCode(result);
        if (destinationFiles.contains(name)) {
            QByteArray present;
            result = destination.read(name, present);
            if (result != StorageOk)
                return ConvertExitCode(result);
            if (present == content)
                continue;
        }
        result = destination.write(name, content);
        if (result != StorageOk)
            return ConvertExitCode(result);
    }
    for (const QString& name : destinationFiles) {
        if (sourceFiles.contains(name))
            continue;
        int result = destination.remove(name);
        if (result != StorageOk)
            return ConvertExitCode(result);
    }
    return 0;
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

int EphemeralKeys::_loadKey(unsigned int uid)
{
    const QString name = GetKeyFileName(uid);
    if (!m_primary.exists(name))
        return NoKey;
    QByteArray record;
    int result = m_primary.read(name, record);
    if (result != StorageOk)
        return ConvertExitCode(result);
    if (record.size() != static_cast<int>(CryptoUtils::kKeyRecordLength)) {
        Logger::printErr("Bad key file %s (%d bytes)\n", name.toLatin1().constData(),
                         static_cast<int>(record.size()));
        return NoKey;
    }
    m_key = record;
    return 0;
}

int EphemeralKeys::encrypt(unsigned int uid, const QByteArray& input, QByteArray& output)
{
    if (_loadKey(uid) != 0) {
        int result = updateKey(uid);
        if (result != 0)
            return result;
    }
    QByteArray cipher(input.size(), '\0');
    if (CryptoUtils::aes256Encrypt(reinterpret_cast<const unsigned char*>(m_key.constData()),
                                   reinterpret_cast<const unsigned char*>(input.constData()),
                                   static_cast<unsigned>(input.size()),
                                   reinterpret_cast<unsigned char*>(cipher.data()))
        != 0)
        return EncryptFailed;
    output = cipher;
    return 0;
}

int EphemeralKeys::decrypt(unsigned int uid, const QByteArray& input, QByteArray& output)
{
    int result = _loadKey(uid);
    if (result != 0)
        return result;
    QByteArray plain(input.size(), '\0');
    if (CryptoUtils::aes256Decrypt(reinterpret_cast<const unsigned char*>(m_key.constData()),
                                   reinterpret_cast<const unsigned char*>(input.constData()),
                                   static_cast<unsigned>(input.size()),
                                   reinterpret_cast<unsigned char*>(plain.data()))
        != 0)
        return DecryptFailed;
    output = plain;
    return 0;
}
