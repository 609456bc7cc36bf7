#include "zel_eeprom.h"

#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

uint32_t zelEepromCrc(const uint8_t* bytes, size_t size)
{
    return uint32_t(crc32(crc32(0L, Z_NULL, 0), bytes, uInt(size)));
}

namespace {

std::string HexWord(uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

}  // namespace

// --- common operations ------------------------------------------------------

void ZEL_EEPROM::setValue(const ZEL_EEPROM_ITEM& item, const std::string& text)
{
    m_byName[item.name] = text;
    if (item.key && strcmp(item.key, "-") != 0)
        m_byKey[item.key] = text;
}

int ZEL_EEPROM::printItems(const ZEL_EEPROM_ITEM* items, int count, bool verbose, FILE* out,
                           FILE* /*err*/)
{
    for (int i = 0; i < count; ++i) {
        const ZEL_EEPROM_ITEM& item = items[i];
        const char* text = value(item.name);
        if (!text)
            continue;
        if (verbose) {
            fprintf(out, "%s %s %s %s\n", item.name, item.key, item.description, text);
        } else {
            const bool noKey = !item.key || strcmp(item.key, "-") == 0;
            fprintf(out, "%s %s\n", noKey ? item.name : item.key, text);
        }
    }
    return 0;
}

void ZEL_EEPROM::mergeValues(const ZEL_EEPROM& other)
{
    // insert() leaves entries that are already present as they are.
    m_byName.insert(other.m_byName.begin(), other.m_byName.end());
    m_byKey.insert(other.m_byKey.begin(), other.m_byKey.end());
}

int ZEL_EEPROM::decodeItems(const ZEL_EEPROM_ITEM* items, int count, const uint8_t* bytes,
                            size_t byteCount, FILE* err, ZEL_EEPROM* target)
{
    ZEL_EEPROM& to = target ? *target : *this;
    for (int i = 0; i < count; ++i) {
        const ZEL_EEPROM_ITEM& item = items[i];
        std::string text;
        switch (renderItem(item, bytes, byteCount, text)) {
        case RenderResult::Ok:
            to.setValue(item, text);
            break;
        case RenderResult::UnknownType:
            if (err)
                fprintf(err, "Unknown type %d for item %s (%s)\n", item.type, item.name,
                        item.description);
            return 7;
        case RenderResult::OutOfRange:
            if (err)
                fprintf(err, "Item %s (%s) lies outside the %zu-byte image\n", item.name,
                        item.description, byteCount);
            return 7;
        }
    }
    return 0;
}

int ZEL_EEPROM::read(int version, FILE* in, FILE* err)
{
    data()[0] = uint8_t(version);
    const size_t rest = size_t(restSize());
    if (fread(restData(), 1, rest, in) != rest) {
        const int error = errno;
        setRuntime(RT_ERROR, "IO_ERROR");
        if (err)
            fprintf(err, "I/O error reading eeprom data : [%d] - %s\n", error, strerror(error));
        return 1;
    }

    const bool valid = crcValid();
    int status;
    if (valid) {
        status = decodeItems(items(), itemCount(), data(), size_t(size()), err);
    } else {
        if (err)
            fprintf(err, "CRC check failed %08X!=%08X\n", calculatedCrc(), providedCrc());
        setRuntime(RT_ERROR, "WRONG_CRC");
        setRuntime(RT_HEX_DUMP, hexText(data(), size_t(size())));
        status = 4;
    }
    setRuntime(RT_SIZE, std::to_string(size()));
    if (!valid) {
        setRuntime(RT_CALCULATED_CRC, HexWord(calculatedCrc()));
        setRuntime(RT_PROVIDED_CRC, HexWord(providedCrc()));
    }
    return status;
}

bool ZEL_EEPROM::forEachItem(ZEL_EEPROM_VISITOR visitor, void* context)
{
    bool result = true;
    const ZEL_EEPROM_ITEM* table = items();
    for (int i = 0; i < itemCount() && result; ++i)
        result = visitor(*this, i, table[i], context);
    for (int i = 0; i < RUNTIME_ITEM_COUNT && result; ++i)
        result = visitor(*this, i, RUNTIME_ITEMS[i], context);
    return result;
}

bool ZEL_EEPROM::crcValid() const
{
    return calculatedCrc() == providedCrc();
}

const char* ZEL_EEPROM::value(const std::string& name) const
{
    std::string upper = name;
    std::transform(upper.begin(), upper.end(), upper.begin(),
                   [](unsigned char c) { return char(toupper(c)); });
    const auto& table = upper.find(':') != std::string::npos ? m_byKey : m_byName;
    const auto found = table.find(upper);
    return found == table.end() ? nullptr : found->second.c_str();
}

// --- per-layout operations --------------------------------------------------

template <typename T>
ZEL_EEPROM_TEMPLATE<T>::ZEL_EEPROM_TEMPLATE(const void* source)
    : m_items(ZEL_EEPROM_LAYOUT<T>::items), m_itemCount(ZEL_EEPROM_LAYOUT<T>::itemCount)
{
    if (source)
        memcpy(&m_image, source, sizeof m_image);
    else
        memset(&m_image, 0xFF, sizeof m_image);
}

template <typename T>
int ZEL_EEPROM_TEMPLATE<T>::decodeItems(const ZEL_EEPROM_ITEM* items, int count,
                                        const uint8_t* bytes, size_t byteCount, FILE* err,
                                        ZEL_EEPROM* target)
{
    return ZEL_EEPROM::decodeItems(items, count, bytes, byteCount, err, target);
}

template <typename T>
int ZEL_EEPROM_TEMPLATE<T>::read(int version, FILE* in, FILE* err)
{
    return ZEL_EEPROM::read(version, in, err);
}

template <typename T>
uint32_t ZEL_EEPROM_TEMPLATE<T>::providedCrc() const
{
    return readBigEndian32(bytes() + ZEL_EEPROM_LAYOUT<T>::crc.storedAt());
}

template <typename T>
uint32_t ZEL_EEPROM_TEMPLATE<T>::calculatedCrc() const
{
    constexpr ZEL_EEPROM_CRC_AREA area = ZEL_EEPROM_LAYOUT<T>::crc;
    return zelEepromCrc(bytes() + area.first, area.length);
}

// --- the whole version-3 image ---------------------------------------------

namespace {

bool SecondAreaValid(const sZEL_EEPROM_V3& image)
{
    return ZEL_EEPROM_V3_2(&image.second).crcValid();
}

}  // namespace

// The combined CRC words only matter to callers that treat the image as one
// unit: they change with either area, and ignore a second area that is not
// there.
template <>
uint32_t ZEL_EEPROM_V3::providedCrc() const
{
    const uint32_t first = ZEL_EEPROM_V3_1(&m_image.first).providedCrc();
    return SecondAreaValid(m_image) ? first ^ ZEL_EEPROM_V3_2(&m_image.second).providedCrc()
                                    : first;
}

template <>
uint32_t ZEL_EEPROM_V3::calculatedCrc() const
{
    const uint32_t first = ZEL_EEPROM_V3_1(&m_image.first).calculatedCrc();
    return SecondAreaValid(m_image) ? first ^ ZEL_EEPROM_V3_2(&m_image.second).calculatedCrc()
                                    : first;
}

template <>
int ZEL_EEPROM_V3::decodeItems(const ZEL_EEPROM_ITEM* /*items*/, int /*count*/,
                               const uint8_t* /*bytes*/, size_t /*byteCount*/, FILE* err,
                               ZEL_EEPROM* target)
{
    // Always the own image: all items when the second area is there, the
    // first-area items otherwise.
    const int count = SecondAreaValid(m_image) ? m_itemCount
                                               : ZEL_EEPROM_LAYOUT<sZEL_EEPROM_V3_1>::itemCount;
    return ZEL_EEPROM::decodeItems(m_items, count, bytes(), sizeof m_image, err, target);
}

template <>
int ZEL_EEPROM_V3::read(int version, FILE* in, FILE* err)
{
    ZEL_EEPROM_V3_1 first;
    const int status = first.read(version, in, err);
    // Also after a failure, so that its runtime items reach the caller.
    mergeValues(first);
    if (status != 0)
        return status;

    memcpy(&m_image.first, first.data(), sizeof m_image.first);
    memset(m_image.gap, 0xFF, sizeof m_image.gap);
    memset(&m_image.second, 0xFF, sizeof m_image.second);

    if (fread(m_image.gap, 1, sizeof m_image.gap, in) != sizeof m_image.gap) {
        if (errno == 0)
            errno = EIO;
        const int error = errno;
        if (err)
            fprintf(err,
                    "Warning : Error while skipping skipping optional unused area %d [%d] - %s\n",
                    int(sizeof m_image.gap), error, strerror(error));
        setRuntime(RT_WARNING, "OPTIONAL_AREA_READ_ERROR");
        return 0;
    }

    const long before = ftell(in);
    if (fread(&m_image.second, 1, sizeof m_image.second, in) != sizeof m_image.second) {
        const int error = errno;
        const long after = ftell(in);
        if (err)
            fprintf(err, "Warning: Error reading optional ZEL area {%ld-%d->%ld} [%d] - %s\n",
                    before, int(sizeof m_image.second), after, error ? error : -1,
                    error ? strerror(error) : "generic error");
        setRuntime(RT_WARNING, "OPTIONAL_AREA_READ_ERROR");
        return 0;
    }

    ZEL_EEPROM_V3_2 second(&m_image.second);
    if (!second.crcValid()) {
        if (err)
            fprintf(err, "Ignoring second area (CRC Error) calculated=0x%08X provided=0x%08X\n",
                    second.calculatedCrc(), second.providedCrc());
        setRuntime(RT_WARNING, "OPTIONAL_AREA_CRC_ERROR");
        return 0;
    }
    const int decoded = second.decodeItems(second.items(), second.itemCount(), second.data(),
                                           size_t(second.size()), err, this);
    setRuntime(RT_SIZE, std::to_string(size()));
    return decoded;
}

template class ZEL_EEPROM_TEMPLATE<sZEL_EEPROM_V2>;
template class ZEL_EEPROM_TEMPLATE<sZEL_EEPROM_V3_1>;
template class ZEL_EEPROM_TEMPLATE<sZEL_EEPROM_V3_2>;
template class ZEL_EEPROM_TEMPLATE<sZEL_EEPROM_V3>;
