// A session of calls to the service's methods, through the bus entries of
// its method table, with arbitrary requests, callers and store failures, on
// the in-memory stand-ins of the stores and the bus reply. Each call is: one
// byte of method (bits 0-1, the table's row; 3 = corrupt a stored item),
// caller (bits 2-3), whether a failing write is a full partition's refusal
// (bit 4) and whether the key copies differ (bit 5); one byte of injected
// failure (operation, code); a 16-bit little-endian request length; then
// the request. At most 32 calls.
//
// Checked for every call: exactly one reply, with a valid header and the
// method's length; an internal error only where a store failed, and it
// stops the service unless a full partition refused a change while the
// key copies agree; no journal entry for a success; data stored and not
// tampered with comes back unchanged to its owner.
#include <QtEndian>
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <zlib.h>

#include "RequestHandlers.h"
#include "stand_ins.h"

using namespace stand_in;

namespace {

using Methods = RequestHandlers<Service>;

// The rows of the method table, in the order the checks expect them.
enum Row { StoreData, RetrieveData, ClearData, Corrupt };
const char* const kNames[] = {"com.zel.vyrna.StoreData", "com.zel.vyrna.RetrieveData",
                              "com.zel.vyrna.ClearData"};

constexpr int kMaxCalls = 32;

// root, daemon, nobody, and a user id without an account.
const unsigned int kCallers[4] = {0, 1, 65534, 4242};
const unsigned char kStatuses[] = {0, 2, 3, 4, 5, 6, 7, 8};

QMap<quint32, QByteArray> g_stored;  // token -> data as stored, for items left intact

void Check(bool condition)
{
    if (!condition)
        abort();
}

QMap<quint32, Item>& Items()
{
    return Service::m_secureStorage.items;
}

// Replaces an item's ciphertext with the request's bytes after the token,
// with a CRC that matches what they decrypt to: only the handlers' own
// checks of the plaintext stand between such an item and the caller.
void CorruptItem(const unsigned char* request, int length)
{
    if (length < 4)
        return;
    const quint32 token = qFromLittleEndian<quint32>(request);
    auto item = Items().find(token);
    if (item == Items().end())
        return;
    item->cipher = QByteArray(reinterpret_cast<const char*>(request) + 4, length - 4);
    const QByteArray plain = Mask(item->owner, item->cipher);
    item->crc = static_cast<quint32>(
        crc32(0, reinterpret_cast<const Bytef*>(plain.constData()), static_cast<uInt>(plain.size())));
    g_stored.remove(token);
}

void CheckStatus(int row, const QByteArray& reply)
{
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(reply.constData());
    Check(std::find(std::begin(kStatuses), std::end(kStatuses), bytes[0]) != std::end(kStatuses));
    if (bytes[0] == 8)
        Check(bytes[1] <= 1 && g_injected);
    else
        Check(bytes[1] == 0 && bytes[2] == 0 && bytes[3] == 0);
    if (row == StoreData)
        Check(reply.size() == 8);
    else if (row == ClearData || bytes[0] != 0)
        Check(reply.size() == 4);
    const bool stops = bytes[0] == 8 && !(g_refusedForSpace && !g_unsettled);
    Check(Service::m_fatalError == stops);
    Check(bytes[0] != 0 || g_journalEntries == 0);
}

void CheckData(int row, const unsigned char* request, int length, const QByteArray& reply)
{
    if (row == StoreData) {
        const quint32 token = qFromLittleEndian<quint32>(reply.constData() + 4);
        Check(token != 0 && Items().contains(token));
        g_stored.insert(token, QByteArray(reinterpret_cast<const char*>(request) + 8, length - 8));
    } else if (row == RetrieveData) {
        auto stored = g_stored.constFind(qFromLittleEndian<quint32>(request));
        if (stored != g_stored.constEnd())
            Check(reply.mid(4) == *stored);
    } else {
        const quint32 token = qFromLittleEndian<quint32>(request);
        Check(!Items().contains(token));
        g_stored.remove(token);
    }
}

void Call(int row, int serial, unsigned char* request, int length, unsigned int uid)
{
    g_replies.clear();
    g_journalEntries = 0;
    g_injected = false;
    g_refusedForSpace = false;
    Methods::m_methods[row].serve(serial, request, length, uid);
    Check(g_replies.size() == 1);
    const Reply& reply = g_replies.front();
    Check(reply.serial == serial && reply.bytes.size() >= 4);
    CheckStatus(row, reply.bytes);
    if (reply.bytes[0] == 0)
        CheckData(row, request, length, reply.bytes);
}

// A stream that takes every byte and keeps none.
FILE* Discard()
{
    cookie_io_functions_t discard{};
    discard.write = [](void*, const char*, size_t size) -> ssize_t { return ssize_t(size); };
    return fopencookie(nullptr, "w", discard);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    static_assert(std::size(Methods::m_methods) == std::size(kNames), "a row without checks");
    for (size_t row = 0; row < std::size(kNames); ++row)
        Check(strcmp(Methods::m_methods[row].name, kNames[row]) == 0);
    // The service's progress and failure lines, some for every call, would
    // fill the log; libFuzzer and the sanitizers report on their own.
    stdout = Discard();
    stderr = Discard();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Items().clear();
    g_stored.clear();
    int serial = 0;
    size_t at = 0;
    // Every state of the stores is a few calls away from an empty one, so
    // longer sessions would only repeat what shorter ones do.
    for (int calls = 0; calls < kMaxCalls && size - at >= 4; ++calls) {
        const int row = data[at] & 3;
        const unsigned int uid = kCallers[(data[at] >> 2) & 3];
        g_fullPartition = (data[at] & 0x10) != 0;
        g_unsettled = (data[at] & 0x20) != 0;
        g_failing = static_cast<Operation>((data[at + 1] & 0x0F) % OperationCount);
        g_code = data[at + 1] >> 4;
        int length = data[at + 2] | (data[at + 3] << 8);
        at += 4;
        length = std::min(length, static_cast<int>(size - at));
        // A copy of its own, so that reads past the request are caught.
        std::vector<unsigned char> request(data + at, data + at + length);
        at += static_cast<size_t>(length);
        unsigned char* bytes = length == 0 ? nullptr : request.data();

        if (row == Corrupt)
            CorruptItem(bytes, length);
        else
            Call(row, ++serial, bytes, length, uid);
        // A failure not reached by this call must not leak into the next.
        g_failing = None;
    }
    return 0;
}
