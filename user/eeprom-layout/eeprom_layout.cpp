#include "eeprom_layout.h"

#include <cstdio>
#include <cstring>

// Table order is listing order.
const ZEL_EEPROM_ITEM ZEL_EEPROM_V2_ITEMS[6] = {
    {0, 0, "VERSION", "EEPROM:VERSION", "Version_of_this_structure", TYPE_BYTE, "2"},
    {1, 8, "TAG", "EEPROM:TAG", "EEPROM_TAG", TYPE_TEXT, nullptr},
    {50, 50, "MCOUNT", "MAC:COUNT", "Number_of_MAC_addresses", TYPE_BYTE, nullptr},
    {51, 122, "MACS", "MAC:LIST", "MAC_addresses", TYPE_MAC_LIST, nullptr},
    {123, 126, "CRC32", "EEPROM:CRC32", "Checksum", TYPE_HEX32, nullptr},
    {54, 56, "@PPN", "-", "(Runtime)PPN_from_MAC", TYPE_NUMBER24, nullptr},
};

#define ZEL_V3_FIRST_AREA_ITEMS                                                             \
    {0, 0, "VERSION", "EEPROM:VERSION", "EEPROM_Version", TYPE_BYTE, "3"},                  \
        {1, 8, "TAG", "EEPROM:TAG", "EEPROM_Tag", TYPE_TEXT, nullptr},                      \
        {10, 14, "REVISION", "BOARD:VERSION", "Board_Version", TYPE_TEXT, nullptr},         \
        {15, 26, "SERIAL", "BOARD:SERIAL", "Board_Serial_Number", TYPE_TEXT, nullptr},      \
        {27, 29, "DATE", "BOARD:BUILD_DATE", "Board_Build_Date", TYPE_DATE, nullptr},       \
        {30, 49, "BOARD", "BOARD:NAME", "Board_Name", TYPE_TEXT, nullptr},                  \
        {50, 58, "SWVER", "SOFTWARE:VERSION", "Software_Version", TYPE_TEXT, nullptr},      \
        {59, 67, "MFG", "BOARD:MANUFACTURER", "Manufacturer_name", TYPE_TEXT, nullptr},     \
        {68, 68, "MCOUNT", "MAC:COUNT", "Number_of_MAC_addresses", TYPE_BYTE, nullptr},     \
        {69, 140, "MACS", "MAC:LIST", "MAC_addresses", TYPE_MAC_LIST, nullptr},             \
        {141, 144, "CRC32", "EEPROM:CRC32", "1st_area_Checksum", TYPE_HEX32, nullptr},      \
        {72, 74, "@PPN", "-", "(Runtime)PPN_from_MAC", TYPE_NUMBER24, nullptr}

const ZEL_EEPROM_ITEM ZEL_EEPROM_V3_1_ITEMS[12] = {ZEL_V3_FIRST_AREA_ITEMS};

const ZEL_EEPROM_ITEM ZEL_EEPROM_V3_2_ITEMS[3] = {
    {0, 2, "MARKER", "EEPROM2:MARKER", "EEPROM_2nd_area_marker", TYPE_TEXT, nullptr},
    {3, 33, "PVER", "PLATFORM:VERSION", "PlatformVersion.txt", TYPE_TEXT, nullptr},
    {60, 63, "CRC32-2", "EEPROM2:CRC32", "2nd_area_Checksum", TYPE_HEX32, nullptr},
};

const ZEL_EEPROM_ITEM ZEL_EEPROM_V3_ITEMS[15] = {
    ZEL_V3_FIRST_AREA_ITEMS,
    {192, 194, "MARKER", "EEPROM2:MARKER", "EEPROM_2nd_area_marker", TYPE_TEXT, nullptr},
    {195, 225, "PVER", "PLATFORM:VERSION", "PlatformVersion.txt", TYPE_TEXT, nullptr},
    {252, 255, "CRC32-2", "EEPROM2:CRC32", "2nd_area_Checksum", TYPE_HEX32, nullptr},
};

#undef ZEL_V3_FIRST_AREA_ITEMS

const ZEL_EEPROM_ITEM RUNTIME_ITEMS[6] = {
    {-1, -1, "@SIZE", "-", "(Runtime)_EEPROM_size_(according_to_the_version)", TYPE_TEXT,
     nullptr},
    {-1, -1, "@ERROR", "-", "(Runtime)_Eventual_error_(not_defined_in_case_of_success)",
     TYPE_TEXT, nullptr},
    {-1, -1, "@WARNING", "-", "(Runtime)_Eventual_warning", TYPE_TEXT, nullptr},
    {-1, -1, "@CALCULATED_CRC", "-", "(Runtime)_Calculated_crc_(Only_in_case_of_CRC_error)",
     TYPE_TEXT, nullptr},
    {-1, -1, "@PROVIDED_CRC", "-", "(Runtime)_Provided_crc_(Only_in_case_of_CRC_error)",
     TYPE_TEXT, nullptr},
    {-1, -1, "@HEX_DUMP", "-", "(Runtime)_Hex_dump_(Only_in_case_of_CRC_error)", TYPE_TEXT,
     nullptr},
};

uint32_t readBigEndian32(const uint8_t* bytes)
{
    return (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) |
           uint32_t(bytes[3]);
}

void writeBigEndian32(uint8_t* bytes, uint32_t value)
{
    bytes[0] = uint8_t(value >> 24);
    bytes[1] = uint8_t(value >> 16);
    bytes[2] = uint8_t(value >> 8);
    bytes[3] = uint8_t(value);
}

namespace {

// Number of bytes each fixed-width type reads from `first`; 0 for the types
// whose width is last - first + 1.
size_t FixedWidth(int32_t type)
{
    switch (type) {
    case TYPE_BYTE: return 1;
    case TYPE_HEX32: return 4;
    case TYPE_DATE:
    case TYPE_NUMBER24: return 3;
    default: return 0;
    }
}

bool KnownType(int32_t type)
{
    switch (type) {
    case TYPE_BYTE:
    case TYPE_HEX32:
    case TYPE_TEXT:
    case TYPE_MAC_LIST:
    case TYPE_DATE:
    case TYPE_NUMBER24: return true;
    default: return false;
    }
}

std::string Format(const char* format, unsigned a, unsigned b = 0, unsigned c = 0)
{
    char buffer[32];
    snprintf(buffer, sizeof buffer, format, a, b, c);
    return buffer;
}

std::string RenderMacList(const uint8_t* bytes, size_t first, size_t last)
{
    std::string text;
    // A group counts when its first byte lies below `last`; the bounds check
    // in renderItem() guarantees that all six of its bytes are inside.
    for (size_t at = first; at < last; at += 6) {
        if (!text.empty())
            text += ' ';
        text += Format("%02X", bytes[at]);
        for (size_t i = 1; i < 6; ++i)
            text += Format(":%02X", bytes[at + i]);
    }
    return text;
}

}  // namespace

RenderResult renderItem(const ZEL_EEPROM_ITEM& item, const uint8_t* bytes, size_t size,
                        std::string& text)
{
    if (!KnownType(item.type))
        return RenderResult::UnknownType;
    if (item.first < 0 || item.last < item.first || size_t(item.last) >= size)
        return RenderResult::OutOfRange;
    const size_t first = size_t(item.first), last = size_t(item.last);
    const size_t span = last - first + 1;
    if (span < FixedWidth(item.type))
        return RenderResult::OutOfRange;
    // A MAC group starting below `last` must end inside the item.
    if (item.type == TYPE_MAC_LIST && (span + 4) / 6 * 6 > span)
        return RenderResult::OutOfRange;

    const uint8_t* at = bytes + first;
    switch (item.type) {
    case TYPE_BYTE: text = Format("%d", at[0]); break;
    case TYPE_HEX32: text = Format("0x%08X", readBigEndian32(at)); break;
    case TYPE_TEXT: {
        // Up to the first NUL; every other byte, 0xFF included, as stored.
        const char* chars = reinterpret_cast<const char*>(at);
        text.assign(chars, strnlen(chars, span));
        break;
    }
    case TYPE_MAC_LIST: text = RenderMacList(bytes, first, last); break;
    case TYPE_DATE: text = Format("%02X-%02X-%02X", at[0], at[1], at[2]); break;
    case TYPE_NUMBER24:
        text = Format("%d", (unsigned(at[0]) << 16) | (unsigned(at[1]) << 8) | at[2]);
        break;
    }
    return RenderResult::Ok;
}

std::string hexText(const uint8_t* bytes, size_t size)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

void rewriteV2AsV3(uint8_t image[ZEL_EEPROM_IMAGE_SIZE])
{
    constexpr size_t fromV2 = offsetof(sZEL_EEPROM_V2, macCount);    // 50
    constexpr size_t toV3 = offsetof(sZEL_EEPROM_V3_1, macCount);    // 68
    constexpr size_t moved = offsetof(sZEL_EEPROM_V2, crc32) + 1 - fromV2;  // 74, up to byte 123
    // The ranges overlap; memmove copies as if from the highest index down.
    memmove(image + toV3, image + fromV2, moved);
    memset(image + fromV2, 0, toV3 - fromV2);
    image[0] = 3;
}
