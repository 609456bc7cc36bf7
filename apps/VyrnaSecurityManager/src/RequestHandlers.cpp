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

enum Status : unsigned char {
    StatusOk = 0,
    StatusMalformed = 2,
    StatusNotFound = 3,
    StatusDenied = 4,
    StatusBadMode = 5,
    StatusModeChange = 6,
    StatusBadCrc = 7,
    StatusInternal = 8
};

enum Source : unsigned char { SourceKeys = 0, SourceIndex = 1 };

constexpr int kHeaderLength = 4;
constexpr int kStoreHeaderLength = 8;
constexpr quint32 kModeLimit = 512;
constexpr int kMaxPrefix = 16;
// The largest data whose padded plaintext the device still accepts.
constexpr int kMaxStoreData = static_cast<int>(CryptoUtils::kMaxDataLength) - 2;

struct Response {
    QByteArray bytes;

    explicit Response(int length) : bytes(length, '\0') {}
    void fail(Status status) { bytes[0] = static_cast<char>(status); }
    void fail(Source source, int code)
    {
        bytes[0] = static_cast<char>(StatusInternal);
        bytes[1] = static_cast<char>(source);
        qToLittleEndian(static_cast<quint16>(code), reinterpret_cast<uchar*>(bytes.data()) + 2);
    }
    bool failed() const { return bytes.at(0) != static_cast<char>(StatusOk); }
    unsigned char* data() { return reinterpret_cast<unsigned char*>(bytes.data()); }
    int size() const { return bytes.size(); }
};

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

// The common start of RetrieveData and ClearData: a 4-byte request naming an
// item that exists and that the caller may read ('r') or write ('w'). On
// refusal the response holds the status and the result is false.
bool FindPermitted(const SecureStorage& storage, const unsigned char* request, int length,
                   unsigned int uid, char operation, Response& response, quint32& token,
                   quint32& owner, quint32& crc)
{
    if (request == nullptr || length != 4) {
        printErr("Bad message (length = %d)\n", length);
        response.fail(StatusMalformed);
        return false;
    }
    token = ReadWord(request);
    quint32 mode = 0;
    const int result = storage.find(token, owner, mode, crc);
    if (result == SecureStorage::NotFound) {
        printErr("Data [0x%08X] not found\n", token);
        response.fail(StatusNotFound);
    } else if (result != 0) {
        printErr("Secure storage find error %d\n", result);
        response.fail(SourceIndex, result);
    } else if (AccessDenied(uid, owner, static_cast<quint16>(mode), operation)) {
        printErr(operation == 'r' ? "Access denied on read\n" : "Access denied on write\n");
        response.fail(StatusDenied);
    }
    return !response.failed();
}

void Wipe(QByteArray& bytes)
{
    if (!bytes.isEmpty())
        memset(bytes.data(), 0, static_cast<size_t>(bytes.size()));
}

}  // namespace

void VyrnaSecurityManager::_storeData(int serial, unsigned char* request, int length,
                                      unsigned int uid)
{
    printLog("StoreData: uid=%d\n", uid);
    Response response(kStoreHeaderLength);
    const int dataLength = length - kStoreHeaderLength;
    // Data the device cannot encrypt is refused here, before any key or
    // file is touched.
    if (request == nullptr || dataLength <= 0 || dataLength > kMaxStoreData) {
        printErr("Bad message (length = %d)\n", length);
        response.fail(StatusMalformed);
        _replyMessage(serial, response.data(), response.size());
        return;
    }
    const quint32 requestedToken = ReadWord(request);
    const quint32 mode = ReadWord(request + 4);
    if (mode == 0 || mode >= kModeLimit) {
        printErr("Bad access mode 0%o\n", mode);
        response.fail(StatusBadMode);
        _replyMessage(serial, response.data(), response.size());
        return;
    }

    quint32 token = requestedToken;
    quint32 owner = uid;
    quint32 storedOwner = 0, storedMode = 0, storedCrc = 0;
    if (token == 0) {
        do {
            token = GenerateToken();
        } while (m_secureStorage.find(token, storedOwner, storedMode, storedCrc) == 0);
    } else if (m_secureStorage.find(token, storedOwner, storedMode, storedCrc) == 0) {
        if (AccessDenied(uid, storedOwner, static_cast<quint16>(storedMode), 'w')) {
            printErr("Access denied on write\n");
            response.fail(StatusDenied);
            _replyMessage(serial, response.data(), response.size());
            return;
        }
        if (mode != storedMode && uid != storedOwner) {
            printErr("Trying to change the existing access mode\n");
            response.fail(StatusModeChange);
            _replyMessage(serial, response.data(), response.size());
            return;
        }
        owner = storedOwner;
    }

    const int prefix = PrefixLength(dataLength);
    QByteArray plain;
    plain.reserve(1 + prefix + dataLength);
    plain.append(static_cast<char>(prefix));
    plain.append(reinterpret_cast<const char*>(GetRandom(prefix)), prefix);
    plain.append(reinterpret_cast<const char*>(request + kStoreHeaderLength), dataLength);

    QByteArray cipher;
    int result = m_ephemeralKeys.encrypt(owner, plain, cipher);
    if (result != 0) {
        printErr("Ephemeral keys encrypt error %d\n", result);
        if (result == EphemeralKeys::KeyGenFailed)
            printJournal("Cannot create ephemeral key for UID %04d\n", owner);
        else
            printJournal("Cannot encrypt selected data [0x%08X]\n", requestedToken);
        Wipe(plain);
        response.fail(SourceKeys, result);
        _replyMessage(serial, response.data(), response.size());
        return;
    }
    const quint32 crc = CryptoUtils::crc32(reinterpret_cast<const unsigned char*>(plain.constData()),
                                           static_cast<unsigned>(plain.size()));
    Wipe(plain);

    result = m_secureStorage.store(token, owner, mode, crc, cipher);
    if (result != 0) {
        printErr("Secure storage store error %d\n", result);
        response.fail(SourceIndex, result);
        _replyMessage(serial, response.data(), response.size());
        return;
    }
    printLog("  %d bytes of data encrypted and stored [0x%08X]\n", dataLength, token);
    qToLittleEndian(token, response.data() + kHeaderLength);
    _replyMessage(serial, response.data(), response.size());
}

void VyrnaSecurityManager::_retrieveData(int serial, unsigned char* request, int length,
                                         unsigned int uid)
{
    printLog("RetrieveData: uid=%d\n", uid);
    Response response(kHeaderLength);
    quint32 token = 0, owner = 0, crc = 0;
    if (!FindPermitted(m_secureStorage, request, length, uid, 'r', response, token, owner, crc)) {
        _replyMessage(serial, response.data(), response.size());
        return;
    }

    QByteArray cipher;
    int result = m_secureStorage.retrieve(token, cipher);
    if (result != 0) {
        printErr("Secure storage retrieve error %d\n", result);
        if (result == SecureStorage::NotFound)
            response.fail(StatusBadCrc);
        else
            response.fail(SourceIndex, result);
        _replyMessage(serial, response.data(), response.size());
        return;
    }
    // An item that is torn (not a whole number of cipher blocks) or whose
    // owner has no key can never be decrypted: its reader is told so, and
    // the service goes on serving everybody else.
    const bool torn = cipher.isEmpty() || cipher.size() % VCRYPTO_BLOCK_LEN != 0;
    QByteArray plain;
    if (torn) {
        printErr("Torn data [0x%08X] (%d bytes)\n", token, static_cast<int>(cipher.size()));
        result = EphemeralKeys::DecryptFailed;
    } else {
        result = m_ephemeralKeys.decrypt(owner, cipher, plain);
        if (result != 0)
            printErr("Ephemeral keys decrypt error %d\n", result);
    }
    if (result != 0) {
        printJournal("Cannot decrypt selected data [0x%08X]\n", token);
        if (torn || result == EphemeralKeys::NoKey)
            response.fail(StatusBadCrc);
        else
            response.fail(SourceKeys, result);
        _replyMessage(serial, response.data(), response.size());
        return;
    }
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(plain.constData());
    if (CryptoUtils::crc32(bytes, static_cast<unsigned>(plain.size())) != crc) {
        printErr("Bad CRC32\n");
        response.fail(StatusBadCrc);
        Wipe(plain);
        _replyMessage(serial, response.data(), response.size());
        return;
    }
    // Never trust the prefix count to stay inside the plaintext.
    const int prefix = plain.isEmpty() ? 0 : bytes[0];
    if (prefix < 1 || prefix > kMaxPrefix || 1 + prefix > plain.size()) {
        printErr("Bad random prefix (%d of %d bytes)\n", prefix, static_cast<int>(plain.size()));
        response.fail(StatusBadCrc);
        Wipe(plain);
        _replyMessage(serial, response.data(), response.size());
        return;
    }
    response.bytes.append(plain.constData() + 1 + prefix, plain.size() - 1 - prefix);
    Wipe(plain);
    _replyMessage(serial, response.data(), response.size());
    Wipe(response.bytes);
}

void VyrnaSecurityManager::_clearData(int serial, unsigned char* request, int length,
                                      unsigned int uid)
{
    printLog("ClearData: uid=%d\n", uid);
    Response response(kHeaderLength);
    quint32 token = 0, owner = 0, crc = 0;
    if (!FindPermitted(m_secureStorage, request, length, uid, 'w', response, token, owner, crc)) {
        _replyMessage(serial, response.data(), response.size());
        return;
    }

    int result = m_secureStorage.clear(token);
    if (result != 0 && result != SecureStorage::LastOfOwner) {
        printErr("Secure storage clear error %d\n", result);
        response.fail(SourceIndex, result);
        _replyMessage(serial, response.data(), response.size());
        return;
    }
    printLog("  Data [0x%08X] cleared successfully\n", token);
    if (result == SecureStorage::LastOfOwner) {
        // The owner's last item is gone: the key goes with it.
        printLog("  Update key %d\n", owner);
        result = m_ephemeralKeys.updateKey(owner);
        if (result != 0) {
            printErr("Ephemeral keys update key error %d\n", result);
            response.fail(SourceKeys, result);
        }
    }
    _replyMessage(serial, response.data(), response.size());
}
