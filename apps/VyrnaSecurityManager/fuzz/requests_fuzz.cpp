// A session of StoreData, RetrieveData and ClearData calls with arbitrary
// requests, callers and store failures, on the in-memory stand-ins. Each
// call is: one byte of method (bits 0-1, 3 = corrupt a stored item) and
// caller (bits 2-3), one byte of injected failure (operation, code), a
// 16-bit little-endian request length, then the request. At most 32 calls.
//
// Checked for every call: exactly one reply, with a valid header; data
// stored and not tampered with comes back unchanged to its owner.
#include <QtEndian>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <zlib.h>

#include "stand_ins.h"

using namespace stand_in;

namespace {

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

// Replaces an item's ciphertext with the request's bytes after the token,
// with a CRC that matches what they decrypt to: only the handlers' own
// checks of the plaintext stand between such an item and the caller.
void Corrupt(const unsigned char* request, int length)
{
    if (length < 4)
        return;
    const quint32 token = qFromLittleEndian<quint32>(request);
    auto item = g_items.find(token);
    if (item == g_items.end())
        return;
    item->cipher = QByteArray(reinterpret_cast<const char*>(request) + 4, length - 4);
    const QByteArray plain = Mask(item->owner, item->cipher);
    item->crc = static_cast<quint32>(
        crc32(0, reinterpret_cast<const Bytef*>(plain.constData()), static_cast<uInt>(plain.size())));
    g_stored.remove(token);
}

void CheckReply(int method, int serial, const unsigned char* request, int length)
{
    Check(g_replies.size() == 1);
    const Reply& reply = g_replies.front();
    Check(reply.serial == serial && reply.bytes.size() >= 4);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(reply.bytes.constData());
    Check(std::find(std::begin(kStatuses), std::end(kStatuses), bytes[0]) != std::end(kStatuses));
    if (bytes[0] == 8)
        Check(bytes[1] <= 1);
    if (bytes[0] != 0)
        return;

    if (method == 0) {
        Check(reply.bytes.size() == 8);
        const quint32 token = qFromLittleEndian<quint32>(bytes + 4);
        Check(token != 0 && g_items.contains(token));
        g_stored.insert(token, QByteArray(reinterpret_cast<const char*>(request) + 8, length - 8));
    } else if (method == 1) {
        const quint32 token = qFromLittleEndian<quint32>(request);
        auto stored = g_stored.constFind(token);
        if (stored != g_stored.constEnd())
            Check(reply.bytes.mid(4) == *stored);
    } else {
        const quint32 token = qFromLittleEndian<quint32>(request);
        Check(!g_items.contains(token));
        g_stored.remove(token);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (g_handlers[0] == nullptr)
        RegisterHandlers();
    g_items.clear();
    g_stored.clear();
    int serial = 0;
    size_t at = 0;
    // Every state of the stores is a few calls away from an empty one, so
    // longer sessions would only repeat what shorter ones do.
    for (int calls = 0; calls < kMaxCalls && size - at >= 4; ++calls) {
        const int method = data[at] & 3;
        const unsigned int uid = kCallers[(data[at] >> 2) & 3];
        g_failing = static_cast<Operation>((data[at + 1] & 0x0F) % OperationCount);
        g_code = data[at + 1] >> 4;
        int length = data[at + 2] | (data[at + 3] << 8);
        at += 4;
        length = std::min(length, static_cast<int>(size - at));
        // A copy of its own, so that reads past the request are caught.
        std::vector<unsigned char> request(data + at, data + at + length);
        at += static_cast<size_t>(length);
        unsigned char* bytes = length == 0 ? nullptr : request.data();

        if (method == 3) {
            Corrupt(bytes, length);
            continue;
        }
        g_replies.clear();
        g_handlers[method](++serial, bytes, length, uid);
        // A failure not reached by this call must not leak into the next.
        g_failing = None;
        CheckReply(method, serial, bytes, length);
    }
    return 0;
}
