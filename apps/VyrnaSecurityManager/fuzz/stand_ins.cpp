#include "stand_ins.h"

#include <systemd/sd-journal.h>
#include <tuple>

#include "CryptoUtils.h"
#include "FileStorage.h"
#include "zeldbus.h"

namespace stand_in {

Operation g_failing = None;
int g_code = 0;
bool g_fullPartition = false;
bool g_injected = false;
bool g_refusedForSpace = false;
bool g_unsettled = false;
std::vector<Reply> g_replies;
int g_journalEntries = 0;

Index Service::m_secureStorage;
Keys Service::m_ephemeralKeys;
bool Service::m_fatalError = false;

namespace {

bool Writes(Operation operation)
{
    return operation == Store || operation == Admit || operation == Encrypt
           || operation == UpdateKey;
}

// 0, or the injected failure when `operation` is the one set to fail: a
// code that the real class returns for a failure (the index passes storage
// codes 1 to 5 on and turns the others into 8, and retrieve gives 6 for an
// indexed item whose file is gone; the key store has 1 to 10). A full
// partition refuses a write as the file stores do: noted, with the code of
// a short write. The index's admission fails only for want of room.
int Injected(Operation operation)
{
    static const int kIndexFailures[] = {1, 2, 3, 4, 5, Index::OtherFailure, Index::NotFound};
    if (g_failing != operation || g_code == 0)
        return 0;
    g_failing = None;
    g_injected = true;
    const bool index = operation == Store || operation == Retrieve || operation == Clear;
    if ((g_fullPartition && Writes(operation)) || operation == Admit) {
        g_refusedForSpace = true;
        FileStorage::noteRefusedForSpace();
        return index || operation == Admit ? StorageShortWrite : EphemeralKeys::ShortWrite;
    }
    const int indexChoices = operation == Retrieve ? 7 : 6;
    return index ? kIndexFailures[g_code % indexChoices] : 1 + g_code % EphemeralKeys::OtherFailure;
}

}  // namespace

QByteArray Mask(quint32 owner, const QByteArray& bytes)
{
    QByteArray out(bytes);
    for (int i = 0; i < out.size(); ++i)
        out[i] = static_cast<char>(out[i] ^ static_cast<char>(owner * 31 + static_cast<quint32>(i)));
    return out;
}

// A share of eight items per owner, so that refusals are reached too.
int Index::admit(quint32 token, quint32 owner, int) const
{
    if (int code = Injected(Admit))
        return code;
    if (items.contains(token))
        return 0;
    int held = 0;
    for (const Item& item : items)
        held += item.owner == owner ? 1 : 0;
    return held >= 8 ? OverShare : 0;
}

int Index::store(quint32 token, quint32 owner, quint32 mode, quint32 crc, const QByteArray& cipher)
{
    if (int code = Injected(Store))
        return code;
    items.insert(token, Item{owner, mode, crc, cipher});
    return 0;
}

int Index::find(quint32 token, quint32& owner, quint32& mode, quint32& crc) const
{
    auto item = items.constFind(token);
    if (item == items.constEnd())
        return NotFound;
    std::tie(owner, mode, crc) = std::tie(item->owner, item->mode, item->crc);
    return 0;
}

int Index::retrieve(quint32 token, QByteArray& cipher) const
{
    if (int code = Injected(Retrieve))
        return code;
    cipher = items.value(token).cipher;
    return 0;
}

int Index::clear(quint32 token)
{
    if (int code = Injected(Clear))
        return code;
    const quint32 owner = items.take(token).owner;
    for (const Item& item : items) {
        if (item.owner == owner)
            return 0;
    }
    return LastOfOwner;
}

// The device takes whole AES blocks only.
int Keys::encrypt(unsigned int uid, const QByteArray& input, QByteArray& output)
{
    if (int code = Injected(Encrypt))
        return code;
    if (input.isEmpty() || input.size() % 16 != 0
        || input.size() > static_cast<int>(CryptoUtils::kMaxDataLength))
        return EphemeralKeys::EncryptFailed;
    output = Mask(uid, input);
    return 0;
}

int Keys::decrypt(unsigned int uid, const QByteArray& input, QByteArray& output)
{
    if (int code = Injected(Decrypt))
        return code;
    if (input.size() % 16 != 0)
        return DecryptFailed;
    output = Mask(uid, input);
    return 0;
}

int Keys::updateKey(unsigned int)
{
    return Injected(UpdateKey);
}

bool Keys::settled() const
{
    return !g_unsettled;
}

}  // namespace stand_in

using namespace stand_in;

// The bus library's reply and the journal: kept for the driver's checks.
// (A fuzz run must not write into the journal of the machine it runs on.)
extern "C" int zeldbus_replyMessage(int serial, unsigned char* data, int length)
{
    g_replies.push_back(Reply{serial, QByteArray(reinterpret_cast<const char*>(data), length)});
    return ZELDBUS_OK;
}

extern "C" int sd_journal_send_with_location(const char*, const char*, const char*, const char*,
                                             ...)
{
    ++g_journalEntries;
    return 0;
}
