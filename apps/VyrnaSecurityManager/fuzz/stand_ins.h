// In-memory stand-ins for what the request handlers reach besides the
// service's own code: the item index and the key store (with the crypto
// device behind it), with the member functions the handlers call and the
// stores' own result codes, and the bus reply. The fuzz driver sets
// failures, inspects the stored items and collects the replies through
// this interface.
#pragma once

#include <QByteArray>
#include <QMap>
#include <vector>

#include "EphemeralKeys.h"
#include "SecureStorage.h"

namespace stand_in {

// Operations of the stores that can be made to fail (the index lookup
// cannot: it only reads memory).
enum Operation {
    None,
    Store,
    Retrieve,
    Clear,
    Encrypt,
    Decrypt,
    UpdateKey,
    Admit,
    OperationCount
};

// The next call of `g_failing` fails with a code picked by `g_code` (0: it
// does not fail). With g_fullPartition, the failure of a write is a full
// partition's refusal, as the file stores report it. g_injected tells
// whether the failure was reached, and g_refusedForSpace whether it was
// such a refusal.
extern Operation g_failing;
extern int g_code;
extern bool g_fullPartition;
extern bool g_injected;
extern bool g_refusedForSpace;
// The two copies of the keys differ (a change that failed half-way).
extern bool g_unsettled;

struct Item {
    quint32 owner;
    quint32 mode;
    quint32 crc;
    QByteArray cipher;
};

class Index {
public:
    enum {
        NotFound = SecureStorage::NotFound,
        LastOfOwner = SecureStorage::LastOfOwner,
        OverShare = SecureStorage::OverShare,
        OtherFailure = SecureStorage::OtherFailure
    };

    int admit(quint32 token, quint32 owner, int cipherLength) const;
    int store(quint32 token, quint32 owner, quint32 mode, quint32 crc, const QByteArray& cipher);
    int find(quint32 token, quint32& owner, quint32& mode, quint32& crc) const;
    int retrieve(quint32 token, QByteArray& cipher) const;
    int clear(quint32 token);

    QMap<quint32, Item> items;
};

class Keys {
public:
    enum {
        KeyGenFailed = EphemeralKeys::KeyGenFailed,
        NoKey = EphemeralKeys::NoKey,
        DecryptFailed = EphemeralKeys::DecryptFailed
    };

    int encrypt(unsigned int uid, const QByteArray& input, QByteArray& output);
    int decrypt(unsigned int uid, const QByteArray& input, QByteArray& output);
    int updateKey(unsigned int uid);
    bool settled() const;
};

// The service as the handlers see it.
struct Service {
    static Index m_secureStorage;
    static Keys m_ephemeralKeys;
    static bool m_fatalError;
};

struct Reply {
    int serial;
    QByteArray bytes;
};
// What zeldbus_replyMessage was given, and how many journal entries were
// sent, since the driver last cleared them.
extern std::vector<Reply> g_replies;
extern int g_journalEntries;

// The stand-in cipher: a byte-wise mask that depends on the owner, so that
// one owner's ciphertext does not decrypt under another's key.
QByteArray Mask(quint32 owner, const QByteArray& bytes);

}  // namespace stand_in
