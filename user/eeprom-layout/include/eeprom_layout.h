// The board identity EEPROM: image structures, CRC areas, item tables and
// the text rendering of every item type. Both EEPROM programs use this one
// definition, so a layout change is made here and nowhere else.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Item types; the rendering of each is in renderItem().
enum : int32_t {
    TYPE_BYTE = 100,
    TYPE_HEX32 = 200,
    TYPE_TEXT = 300,
    TYPE_MAC_LIST = 400,
    TYPE_DATE = 500,
    TYPE_NUMBER24 = 600,
};

// One named field of a layout. first/last are inclusive byte offsets within
// the structure the table describes; runtime items have -1 for both.
struct ZEL_EEPROM_ITEM {
    int32_t first;
    int32_t last;
    const char* name;
    const char* key;  // "GROUP:NAME", or "-" for items with a short name only
    const char* description;
    int32_t type;
    const char* expected;  // expected content, or nullptr; not used when reading
};

// Raw images. Every member is a byte array, so there is no padding and the
// member offsets are the EEPROM offsets (checked below).
struct sZEL_EEPROM_V2 {
    uint8_t version;
    uint8_t tag[8];
    uint8_t uninterpreted[41];  // carried into version 3 as bytes 1..49
    uint8_t macCount;
    uint8_t macList[72];
    uint8_t crc32[4];
};

struct sZEL_EEPROM_V3_1 {
    uint8_t version;
    uint8_t tag[8];
    uint8_t uninterpreted;
    uint8_t boardVersion[5];
    uint8_t boardSerial[12];
    uint8_t buildDate[3];
    uint8_t boardName[20];
    uint8_t softwareVersion[9];
    uint8_t manufacturer[9];
    uint8_t macCount;
    uint8_t macList[72];
    uint8_t crc32[4];
};

struct sZEL_EEPROM_V3_2 {
    uint8_t marker[3];
    uint8_t platformVersion[31];
    uint8_t uninterpreted[26];
    uint8_t crc32[4];
};

struct sZEL_EEPROM_V3 {
    sZEL_EEPROM_V3_1 first;
    uint8_t gap[47];
    sZEL_EEPROM_V3_2 second;
};

static_assert(sizeof(sZEL_EEPROM_V2) == 127 && offsetof(sZEL_EEPROM_V2, macCount) == 50 &&
              offsetof(sZEL_EEPROM_V2, crc32) == 123);
static_assert(sizeof(sZEL_EEPROM_V3_1) == 145 && offsetof(sZEL_EEPROM_V3_1, macCount) == 68 &&
              offsetof(sZEL_EEPROM_V3_1, crc32) == 141);
static_assert(sizeof(sZEL_EEPROM_V3_2) == 64 && offsetof(sZEL_EEPROM_V3_2, crc32) == 60);
static_assert(sizeof(sZEL_EEPROM_V3) == 256 && offsetof(sZEL_EEPROM_V3, second) == 192);

constexpr size_t ZEL_EEPROM_IMAGE_SIZE = 256;
constexpr size_t ZEL_EEPROM_SECOND_AREA_OFFSET = offsetof(sZEL_EEPROM_V3, second);
constexpr size_t ZEL_EEPROM_GAP_SIZE = sizeof(sZEL_EEPROM_V3::gap);

// A CRC-protected range: the CRC-32 of `length` bytes from `first` is stored
// big-endian in the four bytes that follow them.
struct ZEL_EEPROM_CRC_AREA {
    size_t first;
    size_t length;
    size_t storedAt() const { return first + length; }
};

// Image offsets.
constexpr ZEL_EEPROM_CRC_AREA CRC_AREA_V2{0, offsetof(sZEL_EEPROM_V2, crc32)};
constexpr ZEL_EEPROM_CRC_AREA CRC_AREA_V3_FIRST{0, offsetof(sZEL_EEPROM_V3_1, crc32)};
constexpr ZEL_EEPROM_CRC_AREA CRC_AREA_V3_SECOND{ZEL_EEPROM_SECOND_AREA_OFFSET,
                                                 offsetof(sZEL_EEPROM_V3_2, crc32)};

extern const ZEL_EEPROM_ITEM ZEL_EEPROM_V2_ITEMS[6];
extern const ZEL_EEPROM_ITEM ZEL_EEPROM_V3_1_ITEMS[12];
extern const ZEL_EEPROM_ITEM ZEL_EEPROM_V3_2_ITEMS[3];  // offsets within the second area
extern const ZEL_EEPROM_ITEM ZEL_EEPROM_V3_ITEMS[15];
extern const ZEL_EEPROM_ITEM RUNTIME_ITEMS[6];
constexpr int RUNTIME_ITEM_COUNT = 6;

// Indexes into RUNTIME_ITEMS.
enum RuntimeItem { RT_SIZE, RT_ERROR, RT_WARNING, RT_CALCULATED_CRC, RT_PROVIDED_CRC, RT_HEX_DUMP };

// What each image structure is: its size, item table and CRC area (offsets
// within the structure). The whole version-3 image has two CRC areas and
// describes them itself.
template <typename T>
struct ZEL_EEPROM_LAYOUT;

template <>
struct ZEL_EEPROM_LAYOUT<sZEL_EEPROM_V2> {
    static constexpr const ZEL_EEPROM_ITEM* items = ZEL_EEPROM_V2_ITEMS;
    static constexpr int itemCount = 6;
    static constexpr ZEL_EEPROM_CRC_AREA crc = CRC_AREA_V2;
};

template <>
struct ZEL_EEPROM_LAYOUT<sZEL_EEPROM_V3_1> {
    static constexpr const ZEL_EEPROM_ITEM* items = ZEL_EEPROM_V3_1_ITEMS;
    static constexpr int itemCount = 12;
    static constexpr ZEL_EEPROM_CRC_AREA crc = CRC_AREA_V3_FIRST;
};

template <>
struct ZEL_EEPROM_LAYOUT<sZEL_EEPROM_V3_2> {
    static constexpr const ZEL_EEPROM_ITEM* items = ZEL_EEPROM_V3_2_ITEMS;
    static constexpr int itemCount = 3;
    static constexpr ZEL_EEPROM_CRC_AREA crc{0, offsetof(sZEL_EEPROM_V3_2, crc32)};
};

template <>
struct ZEL_EEPROM_LAYOUT<sZEL_EEPROM_V3> {
    static constexpr const ZEL_EEPROM_ITEM* items = ZEL_EEPROM_V3_ITEMS;
    static constexpr int itemCount = 15;
};

uint32_t readBigEndian32(const uint8_t* bytes);
void writeBigEndian32(uint8_t* bytes, uint32_t value);

enum class RenderResult { Ok, UnknownType, OutOfRange };

// Renders one item from `bytes` (the structure its table describes, `size`
// bytes long) as the text every output shows.
RenderResult renderItem(const ZEL_EEPROM_ITEM& item, const uint8_t* bytes, size_t size,
                        std::string& text);

// Upper-case hex, two digits per byte, no separators.
std::string hexText(const uint8_t* bytes, size_t size);

// Rewrites a version-2 image as version 3 in place, all but the new CRC:
// MAC count and list move up by 18 bytes, software version and manufacturer
// start empty, byte 0 becomes 3. Bytes 1..49 and 145..255 stay as they are.
void rewriteV2AsV3(uint8_t image[ZEL_EEPROM_IMAGE_SIZE]);
