// In-memory stand-ins for everything the request handlers reach: the item
// index, the key store, the crypto device, the journal and the bus reply.
// The fuzz driver sets failures, inspects the stored items and collects
// the replies through this interface.
#pragma once

#include <QByteArray>
#include <QMap>
#include <vector>

namespace stand_in {

// Operations of the stores that can be made to fail (the index lookup cannot:
// it only reads memory).
enum Operation { None, Store, Retrieve, Clear, Encrypt, Decrypt, UpdateKey, OperationCount };

struct Item {
    quint32 owner;
    quint32 mode;
    quint32 crc;
    QByteArray cipher;
};

struct Reply {
    int serial;
    QByteArray bytes;
};

// The next call of `failing` fails with a code picked by `code` (0: it does
// not fail).
extern Operation g_failing;
extern int g_code;
extern QMap<quint32, Item> g_items;
extern std::vector<Reply> g_replies;

// The stand-in cipher: a byte-wise mask that depends on the owner, so that
// one owner's ciphertext does not decrypt under another's key.
QByteArray Mask(quint32 owner, const QByteArray& bytes);

using Handler = void (*)(int serial, unsigned char* request, int length, unsigned int uid);
// StoreData, RetrieveData and ClearData, as the service registers them.
extern Handler g_handlers[3];
void RegisterHandlers();

}  // namespace stand_in
