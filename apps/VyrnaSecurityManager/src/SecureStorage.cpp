#include "SecureStorage.h"

#include <QtEndian>
#include <cstdio>
#include <sys/statvfs.h>

#include "Logger.h"

namespace {

constexpr int kHeaderLength = 16;

int ConvertExitCode(int code)
{
    switch (code) {
    case StorageOk:
    case StorageNoDirectory:
    case StorageOpenFailed:
    case StorageEmptyRead:
    case StorageShortWrite:
    case StorageRemoveFailed:
        return code;
    default:
        return SecureStorage::OtherFailure;
    }
}

// Valid until the next call.
QString GetDataFileName(quint32 token)
{
    static char name[32];
    snprintf(name, sizeof name, "%08X.data", token);
    return QLatin1String(name);
}

// The token id in a file name; 0 when the name does not hold one.
quint32 ExtractSecureToken(const QString& name)
{
    bool parsed = false;
    quint32 token = name.left(name.size() - 5).toUInt(&parsed, 16);
    return parsed ? token : 0;
}

SecureStorage::DataAttributes ParseHeader(const QByteArray& content)
{
    const uchar* bytes = reinterpret_cast<const uchar*>(content.constData());
    return {qFromLittleEndian<quint32>(bytes), qFromLittleEndian<quint32>(bytes + 4),
            qFromLittleEndian<quint32>(bytes + 8), qFromLittleEndian<quint32>(bytes + 12)};
}

QByteArray BuildHeader(const SecureStorage::DataAttributes& attributes)
{
    QByteArray header(kHeaderLength, '\0');
    uchar* bytes = reinterpret_cast<uchar*>(header.data());
    qToLittleEndian(attributes.token, bytes);
    qToLittleEndian(attributes.owner, bytes + 4);
    qToLittleEndian(attributes.mode, bytes + 8);
    qToLittleEndian(attributes.crc, bytes + 12);
    return header;
}

}  // namespace

SecureStorage::SecureStorage() : m_storage(kDataPartition, QStringLiteral("/vyrna/.secureStorage"))
{
}

int SecureStorage::init()
{
    QStringList names;
    int result = m_storage.open(QStringLiteral("*.data"), names);
    if (result != StorageOk)
        return ConvertExitCode(result);

    struct statvfs partition;
    if (!m_storage.space(partition) || !m_shares.configure(partition))
        return OtherFailure;
    const OwnerShares::Limits& limits = m_shares.limits();
    Logger::printLog("Share of each owner: %llu items, %llu bytes; kept free: %llu bytes\n",
                     static_cast<unsigned long long>(limits.items),
                     static_cast<unsigned long long>(limits.bytes),
                     static_cast<unsigned long long>(limits.reserveBytes));

    m_index.reserve(names.size());
    const QVector<FileStorage::Head> heads = m_storage.peekAll(names, kHeaderLength);
    for (int i = 0; i < names.size(); ++i) {
        result = _indexFile(names[i], heads[i]);
        if (result != StorageOk)
            return ConvertExitCode(result);
    }
    return StorageOk;
}

int SecureStorage::_indexFile(const QString& name, const FileStorage::Head& head)
{
    // Only content proven malformed is deleted. A file that cannot be read
    // now fails this start; the next start finds it as it was. The header
    // and the size are all the index needs of the file.
    const int result = m_storage.report(name, head);
    if (result != StorageOk && result != StorageEmptyRead)
        return result;
    const qint64 size = head.size;
    bool usable = result == StorageOk && size > kHeaderLength && head.bytes.size() == kHeaderLength;
    DataAttributes attributes{};
    if (usable) {
        attributes = ParseHeader(head.bytes);
        // 0 is never an item's id, so a name or header holding it is no item.
        usable = attributes.token != 0 && attributes.token == ExtractSecureToken(name);
    }
    if (!usable)
        return m_storage.remove(name);
    m_index.insert(attributes.token, attributes);
    m_shares.track(attributes.token, attributes.owner, static_cast<quint64>(size));
    return StorageOk;
}

int SecureStorage::admit(quint32 token, quint32 owner, int cipherLength) const
{
    struct statvfs now;
    if (!m_storage.space(now))
        return StorageOk;  // the write itself will tell
    switch (m_shares.admit(token, owner, kHeaderLength + static_cast<quint64>(cipherLength), now)) {
    case OwnerShares::Admitted:
        return StorageOk;
    case OwnerShares::OverShare:
        Logger::printErr("Share of UID %u used up (%llu items, %llu bytes)\n", owner,
                         static_cast<unsigned long long>(m_shares.itemsOf(owner)),
                         static_cast<unsigned long long>(m_shares.bytesOf(owner)));
        return OverShare;
    case OwnerShares::PartitionFull:
        break;
    }
    Logger::printErr("Data partition full: %llu bytes kept for keys\n",
                     static_cast<unsigned long long>(m_shares.limits().reserveBytes));
    FileStorage::noteRefusedForSpace();
    return StorageShortWrite;
}

int SecureStorage::store(quint32 token, quint32 owner, quint32 mode, quint32 crc,
                         const QByteArray& cipher)
{
    DataAttributes attributes{token, owner, mode, crc};
    int result = m_storage.write(GetDataFileName(token), BuildHeader(attributes) + cipher);
    if (result != StorageOk)
        return ConvertExitCode(result);
    m_index.insert(token, attributes);
    m_shares.track(token, owner, kHeaderLength + static_cast<quint64>(cipher.size()));
    return StorageOk;
}

int SecureStorage::find(quint32 token, quint32& owner, quint32& mode, quint32& crc) const
{
    auto entry = m_index.constFind(token);
    if (entry == m_index.constEnd())
        return NotFound;
    owner = entry->owner;
    mode = entry->mode;
    crc = entry->crc;
    return StorageOk;
}

int SecureStorage::retrieve(quint32 token, QByteArray& cipher) const
{
    const QString name = GetDataFileName(token);
    QByteArray content;
    int result = m_storage.read(name, content);
    // An indexed item without its file (one kept under another name) is gone.
    if (result == StorageOpenFailed && m_storage.lookup(name) == FileStorage::Absent)
        return NotFound;
    if (result != StorageOk)
        return ConvertExitCode(result);
    cipher = content.mid(kHeaderLength);
    return StorageOk;
}

int SecureStorage::clear(quint32 token)
{
    int result = m_storage.remove(GetDataFileName(token));
    if (result != StorageOk)
        return ConvertExitCode(result);
    const quint32 owner = m_index.take(token).owner;
    m_shares.forget(token);
    return m_shares.itemsOf(owner) == 0 ? static_cast<int>(LastOfOwner) : StorageOk;
}

void SecureStorage::clean()
{
    m_storage.clean();
    m_index.clear();
    m_shares.clear();
}
