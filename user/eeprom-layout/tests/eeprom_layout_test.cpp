#include "eeprom_layout.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

struct RenderCase {
    const char* what;
    ZEL_EEPROM_ITEM item;
    std::vector<uint8_t> bytes;
    const char* expected;
};

ZEL_EEPROM_ITEM Item(int32_t first, int32_t last, int32_t type)
{
    return {first, last, "X", "-", "x", type, nullptr};
}

TEST(EepromLayout, RendersEachTypeAsItsText)
{
    const RenderCase cases[] = {
        {"byte is unsigned decimal", Item(1, 1, TYPE_BYTE), {0, 255}, "255"},
        {"hex32 is big-endian, 8 upper-case digits", Item(0, 3, TYPE_HEX32),
         {0x12, 0x34, 0x56, 0x78}, "0x12345678"},
        {"hex32 keeps leading zeros", Item(0, 3, TYPE_HEX32), {0, 0, 0xab, 1}, "0x0000AB01"},
        {"full text has no NUL", Item(0, 3, TYPE_TEXT), {'A', 'B', 'C', 'D', 'E'}, "ABCD"},
        {"NUL ends the text", Item(0, 3, TYPE_TEXT), {'A', 0, 'C', 'D'}, "A"},
        {"leading NUL is empty", Item(0, 3, TYPE_TEXT), {0, 'B', 'C', 'D'}, ""},
        {"erased text bytes are copied", Item(0, 1, TYPE_TEXT), {0xFF, 0xFF}, "\xFF\xFF"},
        {"date", Item(0, 2, TYPE_DATE), {0x15, 0x07, 0x23}, "15-07-23"},
        {"number24 is big-endian", Item(3, 5, TYPE_NUMBER24), {0x00, 0x11, 0x22, 0x00, 0x01, 0x2C},
         "300"},
        {"number24 full range", Item(0, 2, TYPE_NUMBER24), {0xFF, 0xFF, 0xFF}, "16777215"},
        {"two MACs, one erased", Item(0, 11, TYPE_MAC_LIST),
         {0x00, 0x11, 0x22, 0xaa, 0xbb, 0x0c, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
         "00:11:22:AA:BB:0C FF:FF:FF:FF:FF:FF"},
    };
    for (const RenderCase& c : cases) {
        std::string text = "stale";
        ASSERT_EQ(renderItem(c.item, c.bytes.data(), c.bytes.size(), text), RenderResult::Ok)
            << c.what;
        EXPECT_EQ(text, c.expected) << c.what;
    }
}

TEST(EepromLayout, RefusesUnknownTypesAndItemsOutsideTheBytes)
{
    const uint8_t bytes[8] = {};
    std::string text;
    EXPECT_EQ(renderItem(Item(0, 0, 700), bytes, 8, text), RenderResult::UnknownType);
    EXPECT_EQ(renderItem(Item(0, 0, 0), bytes, 8, text), RenderResult::UnknownType);
    EXPECT_EQ(renderItem(Item(4, 8, TYPE_TEXT), bytes, 8, text), RenderResult::OutOfRange);
    EXPECT_EQ(renderItem(Item(6, 7, TYPE_HEX32), bytes, 8, text), RenderResult::OutOfRange);
    EXPECT_EQ(renderItem(Item(-1, -1, TYPE_TEXT), bytes, 8, text), RenderResult::OutOfRange);
    // A second MAC group would start at 6 (below last 7) and end at 11.
    EXPECT_EQ(renderItem(Item(0, 7, TYPE_MAC_LIST), bytes, 12, text), RenderResult::OutOfRange);
}

struct TableCase {
    const ZEL_EEPROM_ITEM* items;
    int count;
    size_t size;
};

TEST(EepromLayout, EveryTableItemRendersInsideItsStructure)
{
    const TableCase tables[] = {
        {ZEL_EEPROM_V2_ITEMS, 6, sizeof(sZEL_EEPROM_V2)},
        {ZEL_EEPROM_V3_1_ITEMS, 12, sizeof(sZEL_EEPROM_V3_1)},
        {ZEL_EEPROM_V3_2_ITEMS, 3, sizeof(sZEL_EEPROM_V3_2)},
        {ZEL_EEPROM_V3_ITEMS, 15, sizeof(sZEL_EEPROM_V3)},
    };
    std::vector<uint8_t> erased(256, 0xFF);
    for (const TableCase& table : tables) {
        for (int i = 0; i < table.count; ++i) {
            std::string text;
            EXPECT_EQ(renderItem(table.items[i], erased.data(), table.size, text), RenderResult::Ok)
                << table.items[i].name;
            if (table.items[i].type == TYPE_MAC_LIST) {
                // Twelve erased addresses: the longest rendering.
                EXPECT_EQ(text.size(), 215u);
                EXPECT_EQ(text.substr(0, 18), "FF:FF:FF:FF:FF:FF ");
            }
        }
    }
}

TEST(EepromLayout, WholeVersion3TableIsBothAreasAtImageOffsets)
{
    for (int i = 0; i < 12; ++i) {
        EXPECT_STREQ(ZEL_EEPROM_V3_ITEMS[i].name, ZEL_EEPROM_V3_1_ITEMS[i].name);
        EXPECT_EQ(ZEL_EEPROM_V3_ITEMS[i].first, ZEL_EEPROM_V3_1_ITEMS[i].first);
    }
    for (int i = 0; i < 3; ++i) {
        const ZEL_EEPROM_ITEM& whole = ZEL_EEPROM_V3_ITEMS[12 + i];
        const ZEL_EEPROM_ITEM& area = ZEL_EEPROM_V3_2_ITEMS[i];
        EXPECT_STREQ(whole.key, area.key);
        EXPECT_EQ(whole.first, area.first + 192);
        EXPECT_EQ(whole.last, area.last + 192);
    }
}

TEST(EepromLayout, RewriteFollowsTheRelationBetweenTheLayouts)
{
    uint8_t before[256], image[256];
    for (int i = 0; i < 256; ++i)
        before[i] = uint8_t(i * 7 + 1);
    before[0] = 2;
    memcpy(image, before, sizeof image);
    rewriteV2AsV3(image);

    EXPECT_EQ(image[0], 3);
    EXPECT_EQ(memcmp(image + 1, before + 1, 49), 0) << "tag and board fields";
    for (int i = 50; i <= 67; ++i)
        EXPECT_EQ(image[i], 0) << "byte " << i;
    EXPECT_EQ(memcmp(image + 68, before + 50, 73), 0) << "MAC count and list";
    EXPECT_EQ(memcmp(image + 145, before + 145, 111), 0) << "gap and second area";
}

}  // namespace
