#include "stand_ins.h"

#include <cstdarg>
#include <cstdio>
#include <zlib.h>

#include "CryptoUtils.h"
#include "EphemeralKeys.h"
#include "Logger.h"
#include "SecureStorage.h"
#include "VyrnaSecurityManager.h"

namespace stand_in {

Operation g_failing = None;
int g_code = 0;
QMap<quint32, Item> g_items;
std::vector<Reply> g_replies;
Handler g_handlers[3];

namespace {

// 0, or the injected failure when `operation` is the one set to fail: a
// code that the real class returns for a failure (the index passes storage
// codes 1 to 5 on and turns the others into 8, and retrieve gives 6 for an
// indexed item whose file is gone; the key store has 1 to 10).
int Injected(Operation operation)
{
    static const int kIndexFailures[] = {1, 2, 3, 4, 5, SecureStorage::OtherFailure,
                                         SecureStorage::NotFound};
    if (g_failing != operation || g_code == 0)
        return 0;
    g_failing = None;
    const bool index = operation == Store || operation == Retrieve || operation == Clear;
    const int indexChoices = operation == Retrieve ? 7 : 6;
    return index ? kIndexFailures[g_code % indexChoices] : 1 + g_code % EphemeralKeys::OtherFailure;
}

// The messages are formatted, so that their arguments are checked, and
// dropped.
void Format(const char* format, va_list arguments)
{
    char text[1024];
    vsnprintf(text, sizeof text, format, arguments);
}

}  // namespace

QByteArray Mask(quint32 owner, const QByteArray& bytes)
{
    QByteArray out(bytes);
    for (int i = 0; i < out.size(); ++i)
        out[i] = static_cast<char>(out[i] ^ static_cast<char>(owner * 31 + static_cast<quint32>(i)));
    return out;
}

void RegisterHandlers()
{
    VyrnaSecurityManager::getInstance()->init();
}

}  // namespace stand_in

using namespace stand_in;

namespace Logger {

#define ZEL_FORMAT_AND_DROP(name)                                                                  \
    void name(const char* format, ...)                                                             \
    {                                                                                              \
        va_list arguments;                                                                         \
        va_start(arguments, format);                                                               \
        Format(format, arguments);                                                                 \
        va_end(arguments);                                                                         \
    }
ZEL_FORMAT_AND_DROP(printLog)
ZEL_FORMAT_AND_DROP(printErr)
ZEL_FORMAT_AND_DROP(printDbg)
ZEL_FORMAT_AND_DROP(printJournal)

}  // namespace Logger

// The device's random numbers: any bytes do.
int CryptoUtils::rnd(unsigned count, unsigned char* output)
{
    for (unsigned i = 0; i < count; ++i)
        output[i] = static_cast<unsigned char>(i * 7 + 1);
    return 0;
}

unsigned int CryptoUtils::crc32(const unsigned char* data, unsigned length)
{
    return static_cast<unsigned int>(::crc32(0, data, length));
}

SecureStorage::SecureStorage() {}

// A share of eight items per owner, so that refusals are reached too.
int SecureStorage::admit(quint32 token, quint32 owner, int) const
{
    if (g_items.contains(token))
        return 0;
    int held = 0;
    for (const Item& item : g_items)
        held += item.owner == owner ? 1 : 0;
    return held >= 8 ? OverShare : 0;
}

int SecureStorage::store(quint32 token, quint32 owner, quint32 mode, quint32 crc,
                         const QByteArray& cipher)
{
    if (int code = Injected(Store))
        return code;
    g_items.insert(token, Item{owner, mode, crc, cipher});
    return 0;
}

int SecureStorage::find(quint32 token, quint32& owner, quint32& mode, quint32& crc) const
{
    auto item = g_items.constFind(token);
    if (item == g_items.constEnd())
        return NotFound;
    owner = item->owner;
    mode = item->mode;
    crc = item->crc;
    return 0;
}

int SecureStorage::retrieve(quint32 token, QByteArray& cipher) const
{
    if (int code = Injected(Retrieve))
        return code;
    cipher = g_items.value(token).cipher;
    return 0;
}

int SecureStorage::clear(quint32 token)
{
    if (int code = Injected(Clear))
        return code;
    const quint32 owner = g_items.take(token).owner;
    for (const Item& item : g_items) {
        if (item.owner == owner)
            return 0;
    }
    return LastOfOwner;
}

EphemeralKeys::EphemeralKeys() {}

// The device takes whole AES blocks only.
int EphemeralKeys::encrypt(unsigned int uid, const QByteArray& input, QByteArray& output)
{
    if (int code = Injected(Encrypt))
        return code;
    if (input.isEmpty() || input.size() % 16 != 0
        || input.size() > static_cast<int>(CryptoUtils::kMaxDataLength))
        return EncryptFailed;
    output = Mask(uid, input);
    return 0;
}

int EphemeralKeys::decrypt(unsigned int uid, const QByteArray& input, QByteArray& output)
{
    if (int code = Injected(Decrypt))
        return code;
    if (input.size() % 16 != 0)
        return DecryptFailed;
    output = Mask(uid, input);
    return 0;
}

int EphemeralKeys::updateKey(unsigned int)
{
    return Injected(UpdateKey);
}

EphemeralKeys VyrnaSecurityManager::m_ephemeralKeys;
SecureStorage VyrnaSecurityManager::m_secureStorage;

VyrnaSecurityManager* VyrnaSecurityManager::getInstance()
{
    static VyrnaSecurityManager instance;
    return &instance;
}

VyrnaSecurityManager::~VyrnaSecurityManager() {}

// Instead of subscribing on the bus, the handlers go to the driver's table.
int VyrnaSecurityManager::init()
{
    g_handlers[0] = _serve<_storeData>;
    g_handlers[1] = _serve<_retrieveData>;
    g_handlers[2] = _serve<_clearData>;
    return 0;
}

void VyrnaSecurityManager::_replyMessage(int serial, Response response)
{
    g_replies.push_back(
        Reply{serial, QByteArray(reinterpret_cast<const char*>(response.data()), response.size())});
}
