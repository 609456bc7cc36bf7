// The three bus methods. Requests and responses are byte arrays with
// little-endian integers; every response starts with a 4-byte header of
// status, source and code of an internal error. Each handler answers each
// call exactly once.
#include <QByteArray>
#include <QtEndian>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>
#include <vector>

#include "CryptoUtils.h"
#include "Logger.h"
#include "VyrnaSecurityManager.h"
#include "vcrypto_ioctl.h"

using Logger::printErr;
using Logger::printJournal;
using Logger::printLog;

namespace {

constexpr int kHeaderLength = Response::kHeaderLength;
constexpr int kStoreHeaderLength = 8;
constexpr quint32 kModeLimit = 512;
constexpr int kMaxPrefix = 16;
// The largest data whose padded plaintext the device still accepts.
constexpr int kMaxStoreData = static_cast<int>(CryptoUtils::kMaxDataLength) - 2;

quint32 ReadWord(const unsigned char* bytes)
{
    return qFromLittleEndian<quint32>(bytes);
}

// The groups of an account, at most 16; none for an unknown account.
std::vector<gid_t> GroupsOf(uid_t uid)
{
    passwd entry;
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return {};
    std::vector<gid_t> groups(16);
    int count = static_cast<int>(groups.size());
    if (getgrouplist(entry.pw_name, entry.pw_gid, groups.data(), &count) < 0)
        return {};
    groups.resize(static_cast<size_t>(count));
    return groups;
}

bool ShareAGroup(uid_t caller, uid_t owner)
{
    const std::vector<gid_t> ownerGroups = GroupsOf(owner);
    for (gid_t group : GroupsOf(caller)) {
        for (gid_t ownerGroup : ownerGroups) {
            if (group == ownerGroup)
                return true;
        }
    }
    return false;
}

// True when the caller may not read ('r') or write ('w') an item. "Group"
// means any group that the item's owner belongs to.
bool AccessDenied(quint32 caller, quint32 owner, quint16 mode, char operation)
{
    const quint16 others = operation == 'r' ? 0004 : 0002;
    const quint16 ownerBit = operation == 'r' ? 0400 : 0200;
    const quint16 groupBit = operation == 'r' ? 0040 : 0020;
    if (mode & others)
        return false;
    if (caller == owner && (mode & ownerBit))
        return false;
    if ((mode & groupBit) && ShareAGroup(caller, owner))
        return false;
    return true;
}

quint32 GenerateToken()
{
    static quint32 counter = 1;
    if (counter == 0)
        counter = 1;
    return counter++;
}

// A device failure keeps the buffer's earlier content.
const unsigned char* GetRandom(int count)
{
    static unsigned char buffer[kMaxPrefix];
    CryptoUtils::rnd(static_cast<unsigned>(count), buffer);
    return buffer;
}

int PrefixLength(int dataLength)
{
    int prefix = 15 - dataLength % 16;
    return prefix == 0 ? kMaxPrefix : prefix;
}

// The item of a StoreData request: a new token, or an existing item that
// the caller may overwrite; the owner is the one whose key encrypts it. A
// refused request leaves its response in refusal.
struct StoreTarget {
    Response refusal;
    quint32 token;
    quint32 owner;
};

StoreTarget ChooseTarget(const SecureStorage& storage, quint32 requested, quint32 mode,
                         quint32 uid)
{
    StoreTarget target{Response(kStoreHeaderLength), requested, uid};
    quint32 storedOwner = 0, storedMode = 0, storedCrc = 0;
    if (requested == 0) {
        do {
            target.token = GenerateToken();
        } while (storage.find(target.token, storedOwner, storedMode, storedCrc) == 0);
    } else if (storage.find(requested, storedOwner, storedMode, storedCrc) == 0) {
        if (AccessDenied(uid, storedOwner, static_cast<quint16>(storedMode), 'w')) {
            printErr("Access denied on write\n");
            target.refusal = Response(kStoreHeaderLength, Response::Denied);
        } else if (mode != storedMode && uid != storedOwner) {
            printErr("Trying to change the existing access mode\n");
            target.refusal = Response(kStoreHeaderLength, Response::ModeChange);
        }
        target.owner = storedOwner;
    }
    return target;
}

// Encrypts the stored plaintext of the data (the prefix count, that many
// random bytes, the data) with the owner's key, and gives its CRC-32. The
// plaintext is gone when this returns. The key store's code, 0 on success.
int Seal(EphemeralKeys& keys, quint32 owner, const unsigned char* data, int length,
         QByteArray& cipher, quint32& crc)
{
    const int prefix = PrefixLength(length);
    const unsigned char count = static_cast<unsigned char>(prefix);
    SecretBytes plain;
    plain.reserve(1 + prefix + length);
    plain.append(&count, 1);
    plain.append(GetRandom(prefix), prefix);
    plain.append(data, length);
    const int result = keys.encrypt(owner, plain.bytes(), cipher);
    if (result == 0)
        crc = CryptoUtils::crc32(plain.constData(), static_cast<unsigned>(plain.size()));
    return result;
}

// The common start of RetrieveData and ClearData: a 4-byte request naming
// an item that exists and that the caller may read ('r') or write ('w'). A
// refused call leaves its response in refusal.
struct Permitted {
    Response refusal;
    SecureStorage::DataAttributes item;
};

Permitted FindPermitted(const SecureStorage& storage, const unsigned char* request, int length,
                        quint32 uid, char operation)
{
    Permitted found{Response(kHeaderLength), {0, 0, 0, 0}};
    if (request == nullptr || length != 4) {
        printErr("Bad message (length = %d)\n", length);
        found.refusal = Response(kHeaderLength, Response::Malformed);
        return found;
    }
    SecureStorage::DataAttributes& item = found.item;
    item.token = ReadWord(request);
    const int result = storage.find(item.token, item.owner, item.mode, item.crc);
    if (result == SecureStorage::NotFound) {
        printErr("Data [0x%08X] not found\n", item.token);
        found.refusal = Response(kHeaderLength, Response::NotFound);
    } else if (result != 0) {
        printErr("Secure storage find error %d\n", result);
        found.refusal = Response(kHeaderLength, Response::Index, result);
    } else if (AccessDenied(uid, item.owner, static_cast<quint16>(item.mode), operation)) {
        printErr(operation == 'r' ? "Access denied on read\n" : "Access denied on write\n");
        found.refusal = Response(kHeaderLength, Response::Denied);
    }
    return found;
}

// Decrypts a retrieved item into plain; a status for the reader otherwise.
// An item that is torn (not a whole number of cipher blocks) or whose owner
// has no key can never be decrypted: its reader is told so (status 7), and
// the service goes on serving everybody else.
Response Decrypt(EphemeralKeys& keys, const SecureStorage::DataAttributes& item,
                 const QByteArray& cipher, SecretBytes& plain)
{
    const bool torn = cipher.isEmpty() || cipher.size() % VCRYPTO_BLOCK_LEN != 0;
    int result = EphemeralKeys::DecryptFailed;
    if (torn) {
        printErr("Torn data [0x%08X] (%d bytes)\n", item.token, static_cast<int>(cipher.size()));
    } else {
        result = keys.decrypt(item.owner, cipher, plain.bytes());
        if (result == 0)
            return Response(kHeaderLength);
        printErr("Ephemeral keys decrypt error %d\n", result);
    }
    printJournal("Cannot decrypt selected data [0x%08X]\n", item.token);
    if (torn || result == EphemeralKeys::NoKey)
        return Response(kHeaderLength, Response::BadCrc);
    return Response(kHeaderLength, Response::Keys, result);
}

}  // namespace

Response VyrnaSecurityManager::_storeData(const unsigned char* request, int length, quint32 uid)
{
    printLog("StoreData: uid=%d\n", uid);
    const int dataLength = length - kStoreHeaderLength;
    // Data the device cannot encrypt is refused here, before any key or
    // file is touched.
    if (request == nullptr || dataLength <= 0 || dataLength > kMaxStoreData) {
        printErr("Bad message (length = %d)\n", length);
        return Response(kStoreHeaderLength, Response::Malformed);
    }
    const quint32 requestedToken = ReadWord(request);
    const quint32 mode = ReadWord(request + 4);
    if (mode == 0 || mode >= kModeLimit) {
        printErr("Bad access mode 0%o\n", mode);
        return Response(kStoreHeaderLength, Response::BadMode);
    }
    StoreTarget target = ChooseTarget(m_secureStorage, requestedToken, mode, uid);
    if (target.refusal.status() != Response::Ok)
        return std::move(target.refusal);
    // Nothing is written, not even a first key, for an item that the
    // owner's share or the space kept free for keys cannot take.
    int admitted = m_secureStorage.admit(target.token, target.owner,
                                         1 + PrefixLength(dataLength) + dataLength);
    if (admitted == SecureStorage::OverShare)
        return Response(kStoreHeaderLength, Response::Denied);
    if (admitted != 0) {
        printErr("Secure storage store error %d\n", admitted);
        return Response(kStoreHeaderLength, Response::Index, admitted);
    }

    QByteArray cipher;
    quint32 crc = 0;
    int result = Seal(m_ephemeralKeys, target.owner, request + kStoreHeaderLength, dataLength,
                      cipher, crc);
    if (result != 0) {
        printErr("Ephemeral keys encrypt error %d\n", result);
        if (result == EphemeralKeys::KeyGenFailed)
            printJournal("Cannot create ephemeral key for UID %04d\n", target.owner);
        else
            printJournal("Cannot encrypt selected data [0x%08X]\n", requestedToken);
        return Response(kStoreHeaderLength, Response::Keys, result);
    }
    result = m_secureStorage.store(target.token, target.owner, mode, crc, cipher);
    if (result != 0) {
        printErr("Secure storage store error %d\n", result);
        return Response(kStoreHeaderLength, Response::Index, result);
    }
    printLog("  %d bytes of data encrypted and stored [0x%08X]\n", dataLength, target.token);
    Response response(kStoreHeaderLength);
    response.putWord(kHeaderLength, target.token);
    return response;
}

Response VyrnaSecurityManager::_retrieveData(const unsigned char* request, int length, quint32 uid)
{
    printLog("RetrieveData: uid=%d\n", uid);
    Permitted found = FindPermitted(m_secureStorage, request, length, uid, 'r');
    if (found.refusal.status() != Response::Ok)
        return std::move(found.refusal);
    const SecureStorage::DataAttributes& item = found.item;
    QByteArray cipher;
    const int result = m_secureStorage.retrieve(item.token, cipher);
    if (result != 0) {
        printErr("Secure storage retrieve error %d\n", result);
        if (result == SecureStorage::NotFound)
            return Response(kHeaderLength, Response::BadCrc);
        return Response(kHeaderLength, Response::Index, result);
    }
    SecretBytes plain;
    Response response = Decrypt(m_ephemeralKeys, item, cipher, plain);
    if (response.status() != Response::Ok)
        return response;
    if (CryptoUtils::crc32(plain.constData(), static_cast<unsigned>(plain.size())) != item.crc) {
        printErr("Bad CRC32\n");
        return Response(kHeaderLength, Response::BadCrc);
    }
    // Never trust the prefix count to stay inside the plaintext.
    const int prefix = plain.size() == 0 ? 0 : plain.constData()[0];
    if (prefix < 1 || prefix > kMaxPrefix || 1 + prefix > plain.size()) {
        printErr("Bad random prefix (%d of %d bytes)\n", prefix, plain.size());
        return Response(kHeaderLength, Response::BadCrc);
    }
    response.append(plain.bytes().constData() + 1 + prefix, plain.size() - 1 - prefix);
    return response;
}

Response VyrnaSecurityManager::_clearData(const unsigned char* request, int length, quint32 uid)
{
    printLog("ClearData: uid=%d\n", uid);
    Permitted found = FindPermitted(m_secureStorage, request, length, uid, 'w');
    if (found.refusal.status() != Response::Ok)
        return std::move(found.refusal);
    const SecureStorage::DataAttributes& item = found.item;
    int result = m_secureStorage.clear(item.token);
    if (result != 0 && result != SecureStorage::LastOfOwner) {
        printErr("Secure storage clear error %d\n", result);
        return Response(kHeaderLength, Response::Index, result);
    }
    printLog("  Data [0x%08X] cleared successfully\n", item.token);
    if (result == SecureStorage::LastOfOwner) {
        // The owner's last item is gone: the key goes with it.
        printLog("  Update key %d\n", item.owner);
        result = m_ephemeralKeys.updateKey(item.owner);
        if (result != 0) {
            printErr("Ephemeral keys update key error %d\n", result);
            return Response(kHeaderLength, Response::Keys, result);
        }
    }
    return Response(kHeaderLength);
}
