// The service's bus methods in one table, which registration (init), the
// bus library's introspection (it lists what is registered) and the request
// fuzz driver all read, and the handlers behind it. Requests and responses
// are byte arrays with little-endian integers; every response starts with a
// 4-byte header of status, source and code of an internal error. Each call
// is answered exactly once.
//
// `Service` holds, as static members, what the handlers reach: the item
// index m_secureStorage, the key store m_ephemeralKeys, and m_fatalError,
// which an answer sets to stop the service. VyrnaSecurityManager passes its
// own stores; the request fuzz driver passes stand-ins with the same member
// functions.
#pragma once

#include <QByteArray>
#include <QtEndian>
#include <cstring>
#include <optional>

#include "CryptoUtils.h"
#include "FileStorage.h"
#include "Logger.h"
#include "Response.h"
#include "vcrypto_ioctl.h"
#include "zeldbus.h"

// The steps that need no store (RequestHandlers.cpp).
namespace RequestSteps {

// True when the caller may not read ('r') or write ('w') an item. "Group"
// means any group that the item's owner belongs to.
bool AccessDenied(quint32 caller, quint32 owner, quint16 mode, char operation);
// 1, 2, ... for the life of the process; never 0.
quint32 GenerateToken();
// count (at most 16) random bytes from the device; a device failure keeps
// the buffer's earlier content.
const unsigned char* GetRandom(int count);

}  // namespace RequestSteps

template <class Service>
class RequestHandlers {
public:
    // A stored item's attributes, as the index keeps them.
    struct Item {
        quint32 token;
        quint32 owner;
        quint32 mode;
        quint32 crc;
    };
    // One call, as its handler gets it. For a method on a stored item the
    // request is the item's 4-byte token id, and item is that item.
    struct Call {
        const unsigned char* request;
        int length;
        quint32 uid;
        Item item;
    };
    struct Method {
        const char* name;       // interface and member on the bus
        zeldbus_handler serve;  // what the bus library calls for each call
        // 'r' or 'w': a method on a stored item that the caller must be
        // allowed to read or write before the handler runs; 0: none.
        char access;
        Response (*handle)(const Call& call);
    };
    // In the order of registration.
    static const Method m_methods[3];

private:
    using Index = decltype(Service::m_secureStorage);
    using Keys = decltype(Service::m_ephemeralKeys);

    static constexpr int kHeaderLength = Response::kHeaderLength;
    static constexpr int kStoreHeaderLength = 8;
    static constexpr quint32 kModeLimit = 512;
    static constexpr int kMaxPrefix = 16;
    // The largest data whose padded plaintext the device still accepts.
    static constexpr int kMaxStoreData = static_cast<int>(CryptoUtils::kMaxDataLength) - 2;

    template <int row>
    static void _serve(int serial, unsigned char* request, int length, unsigned int uid);
    static Response _answer(const Method& method, Call call);
    static void _replyMessage(int serial, Response response);
    static std::optional<Response> _findPermitted(Call& call, char access);

    static Response _storeData(const Call& call);
    static std::optional<Response> _chooseItem(Item& item, quint32 uid);
    static Response _sealAndStore(const Item& item, const unsigned char* data, int length,
                                  quint32 requestedToken);
    static int _seal(const Item& item, const unsigned char* data, int length, QByteArray& cipher,
                     quint32& crc);

    static Response _retrieveData(const Call& call);
    static Response _decrypt(const Item& item, const QByteArray& cipher, SecretBytes& plain);
    static Response _clearData(const Call& call);

    static quint32 ReadWord(const unsigned char* bytes) { return qFromLittleEndian<quint32>(bytes); }
    static int PrefixLength(int dataLength)
    {
        const int prefix = 15 - dataLength % 16;
        return prefix == 0 ? kMaxPrefix : prefix;
    }
};

template <class Service>
const typename RequestHandlers<Service>::Method RequestHandlers<Service>::m_methods[3] = {
    {"com.zel.vyrna.StoreData", _serve<0>, 0, _storeData},
    {"com.zel.vyrna.RetrieveData", _serve<1>, 'r', _retrieveData},
    {"com.zel.vyrna.ClearData", _serve<2>, 'w', _clearData},
};

// The bus entry of the method in row `row`, and the one place that answers
// a call: each call gets exactly the one response its handler returns.
template <class Service>
template <int row>
void RequestHandlers<Service>::_serve(int serial, unsigned char* request, int length,
                                      unsigned int uid)
{
    FileStorage::resetRefusedForSpace();
    _replyMessage(serial, _answer(m_methods[row], Call{request, length, uid, {}}));
}

// The steps every method opens with: its progress line and, for a method on
// a stored item, the checks that the item exists and the caller may use it.
template <class Service>
Response RequestHandlers<Service>::_answer(const Method& method, Call call)
{
    Logger::printLog("%s: uid=%d\n", std::strrchr(method.name, '.') + 1, call.uid);
    if (method.access != 0) {
        if (std::optional<Response> refusal = _findPermitted(call, method.access))
            return std::move(*refusal);
    }
    return method.handle(call);
}

// Sends the response; an internal error (status 8) stops the service,
// unless a full partition refused the change and left the stores as they
// were: a restart cannot make room.
template <class Service>
void RequestHandlers<Service>::_replyMessage(int serial, Response response)
{
    zeldbus_replyMessage(serial, response.data(), response.size());
    Service::m_fatalError = response.status() == Response::Internal
                            && !(FileStorage::refusedForSpace()
                                 && Service::m_ephemeralKeys.settled());
}

// Fills call.item with the item that a 4-byte request names; the refusal
// unless that item exists and the caller may read ('r') or write ('w') it.
template <class Service>
std::optional<Response> RequestHandlers<Service>::_findPermitted(Call& call, char access)
{
    if (call.request == nullptr || call.length != 4) {
        Logger::printErr("Bad message (length = %d)\n", call.length);
        return Response(kHeaderLength, Response::Malformed);
    }
    Item& item = call.item;
    item.token = ReadWord(call.request);
    const int result = Service::m_secureStorage.find(item.token, item.owner, item.mode, item.crc);
    if (result == Index::NotFound) {
        Logger::printErr("Data [0x%08X] not found\n", item.token);
        return Response(kHeaderLength, Response::NotFound);
    }
    if (result != 0) {
        Logger::printErr("Secure storage find error %d\n", result);
        return Response(kHeaderLength, Response::Index, result);
    }
    if (RequestSteps::AccessDenied(call.uid, item.owner, static_cast<quint16>(item.mode), access)) {
        Logger::printErr(access == 'r' ? "Access denied on read\n" : "Access denied on write\n");
        return Response(kHeaderLength, Response::Denied);
    }
    return std::nullopt;
}

template <class Service>
Response RequestHandlers<Service>::_storeData(const Call& call)
{
    const int dataLength = call.length - kStoreHeaderLength;
    // Data the device cannot encrypt is refused here, before any key or
    // file is touched.
    if (call.request == nullptr || dataLength <= 0 || dataLength > kMaxStoreData) {
        Logger::printErr("Bad message (length = %d)\n", call.length);
        return Response(kStoreHeaderLength, Response::Malformed);
    }
    const quint32 requestedToken = ReadWord(call.request);
    const quint32 mode = ReadWord(call.request + 4);
    if (mode == 0 || mode >= kModeLimit) {
        Logger::printErr("Bad access mode 0%o\n", mode);
        return Response(kStoreHeaderLength, Response::BadMode);
    }
    Item item{requestedToken, call.uid, mode, 0};
    if (std::optional<Response> refusal = _chooseItem(item, call.uid))
        return std::move(*refusal);
    // Nothing is written, not even a first key, for an item that the
    // owner's share or the space kept free for keys cannot take.
    const int admitted = Service::m_secureStorage.admit(
        item.token, item.owner, 1 + PrefixLength(dataLength) + dataLength);
    if (admitted == Index::OverShare)
        return Response(kStoreHeaderLength, Response::Denied);
    if (admitted != 0) {
        Logger::printErr("Secure storage store error %d\n", admitted);
        return Response(kStoreHeaderLength, Response::Index, admitted);
    }
    return _sealAndStore(item, call.request + kStoreHeaderLength, dataLength, requestedToken);
}

// The item that a StoreData request writes: a new token when it asks for
// token 0, or an item that the caller may overwrite, which keeps its owner
// (whose key encrypts it). The refusal otherwise.
template <class Service>
std::optional<Response> RequestHandlers<Service>::_chooseItem(Item& item, quint32 uid)
{
    Item stored{0, 0, 0, 0};
    const Index& index = Service::m_secureStorage;
    if (item.token == 0) {
        do {
            item.token = RequestSteps::GenerateToken();
        } while (index.find(item.token, stored.owner, stored.mode, stored.crc) == 0);
        return std::nullopt;
    }
    if (index.find(item.token, stored.owner, stored.mode, stored.crc) != 0)
        return std::nullopt;
    if (RequestSteps::AccessDenied(uid, stored.owner, static_cast<quint16>(stored.mode), 'w')) {
        Logger::printErr("Access denied on write\n");
        return Response(kStoreHeaderLength, Response::Denied);
    }
    if (item.mode != stored.mode && uid != stored.owner) {
        Logger::printErr("Trying to change the existing access mode\n");
        return Response(kStoreHeaderLength, Response::ModeChange);
    }
    item.owner = stored.owner;
    return std::nullopt;
}

template <class Service>
Response RequestHandlers<Service>::_sealAndStore(const Item& item, const unsigned char* data,
                                                 int length, quint32 requestedToken)
{
    QByteArray cipher;
    quint32 crc = 0;
    int result = _seal(item, data, length, cipher, crc);
    if (result != 0) {
        Logger::printErr("Ephemeral keys encrypt error %d\n", result);
        if (result == Keys::KeyGenFailed)
            Logger::printJournal("Cannot create ephemeral key for UID %04d\n", item.owner);
        else
            Logger::printJournal("Cannot encrypt selected data [0x%08X]\n", requestedToken);
        return Response(kStoreHeaderLength, Response::Keys, result);
    }
    result = Service::m_secureStorage.store(item.token, item.owner, item.mode, crc, cipher);
    if (result != 0) {
        Logger::printErr("Secure storage store error %d\n", result);
        return Response(kStoreHeaderLength, Response::Index, result);
    }
    Logger::printLog("  %d bytes of data encrypted and stored [0x%08X]\n", length, item.token);
    Response response(kStoreHeaderLength);
    response.putWord(kHeaderLength, item.token);
    return response;
}

// Encrypts the stored plaintext of the data (the prefix count, that many
// random bytes, the data) with the owner's key, and gives its CRC-32. The
// plaintext is gone when this returns. The key store's code, 0 on success.
template <class Service>
int RequestHandlers<Service>::_seal(const Item& item, const unsigned char* data, int length,
                                    QByteArray& cipher, quint32& crc)
{
    const int prefix = PrefixLength(length);
    const unsigned char count = static_cast<unsigned char>(prefix);
    SecretBytes plain;
    plain.reserve(1 + prefix + length);
    plain.append(&count, 1);
    plain.append(RequestSteps::GetRandom(prefix), prefix);
    plain.append(data, length);
    const int result = Service::m_ephemeralKeys.encrypt(item.owner, plain.bytes(), cipher);
    if (result == 0)
        crc = CryptoUtils::crc32(plain.constData(), static_cast<unsigned>(plain.size()));
    return result;
}

template <class Service>
Response RequestHandlers<Service>::_retrieveData(const Call& call)
{
    QByteArray cipher;
    const int result = Service::m_secureStorage.retrieve(call.item.token, cipher);
    if (result != 0) {
        Logger::printErr("Secure storage retrieve error %d\n", result);
        if (result == Index::NotFound)
            return Response(kHeaderLength, Response::BadCrc);
        return Response(kHeaderLength, Response::Index, result);
    }
    SecretBytes plain;
    Response response = _decrypt(call.item, cipher, plain);
    if (response.status() != Response::Ok)
        return response;
    if (CryptoUtils::crc32(plain.constData(), static_cast<unsigned>(plain.size())) != call.item.crc) {
        Logger::printErr("Bad CRC32\n");
        return Response(kHeaderLength, Response::BadCrc);
    }
    // Never trust the prefix count to stay inside the plaintext.
    const int prefix = plain.size() == 0 ? 0 : plain.constData()[0];
    if (prefix < 1 || prefix > kMaxPrefix || 1 + prefix > plain.size()) {
        Logger::printErr("Bad random prefix (%d of %d bytes)\n", prefix, plain.size());
        return Response(kHeaderLength, Response::BadCrc);
    }
    response.append(plain.bytes().constData() + 1 + prefix, plain.size() - 1 - prefix);
    return response;
}

// Decrypts a retrieved item into plain; a status for the reader otherwise.
// An item that is torn (not a whole number of cipher blocks) or whose owner
// has no key can never be decrypted: its reader is told so (status 7), and
// the service goes on serving everybody else.
template <class Service>
Response RequestHandlers<Service>::_decrypt(const Item& item, const QByteArray& cipher,
                                            SecretBytes& plain)
{
    const bool torn = cipher.isEmpty() || cipher.size() % VCRYPTO_BLOCK_LEN != 0;
    int result = Keys::DecryptFailed;
    if (torn) {
        Logger::printErr("Torn data [0x%08X] (%d bytes)\n", item.token,
                         static_cast<int>(cipher.size()));
    } else {
        result = Service::m_ephemeralKeys.decrypt(item.owner, cipher, plain.bytes());
        if (result == 0)
            return Response(kHeaderLength);
        Logger::printErr("Ephemeral keys decrypt error %d\n", result);
    }
    Logger::printJournal("Cannot decrypt selected data [0x%08X]\n", item.token);
    if (torn || result == Keys::NoKey)
        return Response(kHeaderLength, Response::BadCrc);
    return Response(kHeaderLength, Response::Keys, result);
}

template <class Service>
Response RequestHandlers<Service>::_clearData(const Call& call)
{
    const Item& item = call.item;
    int result = Service::m_secureStorage.clear(item.token);
    if (result != 0 && result != Index::LastOfOwner) {
        Logger::printErr("Secure storage clear error %d\n", result);
        return Response(kHeaderLength, Response::Index, result);
    }
    Logger::printLog("  Data [0x%08X] cleared successfully\n", item.token);
    if (result == Index::LastOfOwner) {
        // The owner's last item is gone: the key goes with it.
        Logger::printLog("  Update key %d\n", item.owner);
        result = Service::m_ephemeralKeys.updateKey(item.owner);
        if (result != 0) {
            Logger::printErr("Ephemeral keys update key error %d\n", result);
            return Response(kHeaderLength, Response::Keys, result);
        }
    }
    return Response(kHeaderLength);
}
