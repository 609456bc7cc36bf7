// The reader operations that the command line cannot reach or show alone;
// the read paths and outputs are covered by the black-box tests.
#include "zel_eeprom.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

std::string Captured(FILE* stream)
{
    fflush(stream);
    rewind(stream);
    std::string text;
    char buffer[256];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, stream)) > 0)
        text.append(buffer, n);
    return text;
}

// A version-3 image with sound first and second areas.
sZEL_EEPROM_V3 SoundImage()
{
    sZEL_EEPROM_V3 image;
    memset(&image, 0, sizeof image);
    image.first.version = 3;
    memcpy(image.first.boardSerial, "SN0001", 6);
    memcpy(image.second.marker, "ZL2", 3);
    memcpy(image.second.platformVersion, "4.2.1", 5);
    writeBigEndian32(image.first.crc32, zelEepromCrc(reinterpret_cast<uint8_t*>(&image.first), 141));
    writeBigEndian32(image.second.crc32, zelEepromCrc(reinterpret_cast<uint8_t*>(&image.second), 60));
    return image;
}

TEST(ZelEeprom, DecodingStopsAtAnUnknownTypeKeepingEarlierValues)
{
    const ZEL_EEPROM_ITEM table[] = {
        {0, 0, "FIRST", "A:FIRST", "First", TYPE_BYTE, nullptr},
        {1, 1, "ODD", "A:ODD", "Odd_one", 250, nullptr},
        {2, 2, "LAST", "A:LAST", "Last", TYPE_BYTE, nullptr},
    };
    const uint8_t bytes[3] = {7, 8, 9};
    ZEL_EEPROM_V2 reader;
    FILE* err = tmpfile();
    ASSERT_NE(err, nullptr);
    EXPECT_EQ(reader.decodeItems(table, 3, bytes, sizeof bytes, err), 7);
    EXPECT_EQ(Captured(err), "Unknown type 250 for item ODD (Odd_one)\n");
    fclose(err);
    ASSERT_NE(reader.value("first"), nullptr);
    EXPECT_STREQ(reader.value("a:first"), "7");
    EXPECT_EQ(reader.value("LAST"), nullptr);
}

TEST(ZelEeprom, DecodingIntoAnotherTarget)
{
    const uint8_t bytes[64] = {'M', 'K', '2'};
    ZEL_EEPROM_V3_2 area(bytes);
    ZEL_EEPROM_V3 whole;
    EXPECT_EQ(area.decodeItems(area.items(), 1, bytes, sizeof bytes, nullptr, &whole), 0);
    EXPECT_STREQ(whole.value("EEPROM2:MARKER"), "MK2");
    EXPECT_EQ(area.value("MARKER"), nullptr);
}

struct Walk {
    std::vector<std::string> names;
    size_t stopAfter;
};

bool Record(ZEL_EEPROM&, int index, const ZEL_EEPROM_ITEM& item, void* context)
{
    Walk* walk = static_cast<Walk*>(context);
    walk->names.push_back(std::to_string(index) + item.name);
    return walk->names.size() < walk->stopAfter;
}

TEST(ZelEeprom, ForEachItemWalksTableThenRuntimeItemsAndStops)
{
    ZEL_EEPROM_V2 reader;
    Walk all{{}, 100};
    EXPECT_TRUE(reader.forEachItem(Record, &all));
    ASSERT_EQ(all.names.size(), 12u);
    EXPECT_EQ(all.names[0], "0VERSION");
    EXPECT_EQ(all.names[5], "5@PPN");
    EXPECT_EQ(all.names[6], "0@SIZE");
    EXPECT_EQ(all.names[11], "5@HEX_DUMP");

    Walk some{{}, 3};
    EXPECT_FALSE(reader.forEachItem(Record, &some));
    EXPECT_EQ(some.names.size(), 3u);
}

TEST(ZelEeprom, MergeKeepsValuesAlreadyPresent)
{
    ZEL_EEPROM_V2 mine, other;
    mine.setValue(ZEL_EEPROM_V2_ITEMS[1], "mine");
    other.setValue(ZEL_EEPROM_V2_ITEMS[1], "other");
    other.setValue(ZEL_EEPROM_V2_ITEMS[2], "4");
    mine.mergeValues(other);
    EXPECT_STREQ(mine.value("TAG"), "mine");
    EXPECT_STREQ(mine.value("EEPROM:TAG"), "mine");
    EXPECT_STREQ(mine.value("mac:count"), "4");
}

TEST(ZelEeprom, LookupByNameOrKeyInAnyCaseButNeverByDash)
{
    ZEL_EEPROM_V3_1 reader;
    reader.setValue(ZEL_EEPROM_V3_1_ITEMS[3], "SN1");
    reader.setValue(ZEL_EEPROM_V3_1_ITEMS[11], "300");
    for (const char* name : {"serial", "SERIAL", "board:serial", "Board:Serial"})
        EXPECT_STREQ(reader.value(name), "SN1") << name;
    EXPECT_EQ(reader.value("BOARD:SERIAL:"), nullptr);
    EXPECT_STREQ(reader.value("@ppn"), "300");
    EXPECT_EQ(reader.value("-"), nullptr);
}

TEST(ZelEeprom, WholeVersion3DecodesAndChecksBothAreasOnlyWhenTheSecondIsSound)
{
    sZEL_EEPROM_V3 image = SoundImage();
    const uint32_t first = readBigEndian32(image.first.crc32);
    const uint32_t second = readBigEndian32(image.second.crc32);
    {
        ZEL_EEPROM_V3 reader(&image);
        EXPECT_TRUE(reader.crcValid());
        EXPECT_EQ(reader.providedCrc(), first ^ second);
        EXPECT_EQ(reader.decodeItems(nullptr, 0, nullptr, 0, nullptr), 0);
        EXPECT_STREQ(reader.value("PLATFORM:VERSION"), "4.2.1");
        EXPECT_STREQ(reader.value("serial"), "SN0001");
    }
    memset(&image.second, 0xFF, sizeof image.second);
    {
        ZEL_EEPROM_V3 reader(&image);
        EXPECT_TRUE(reader.crcValid());
        EXPECT_EQ(reader.providedCrc(), first);
        EXPECT_EQ(reader.decodeItems(nullptr, 0, nullptr, 0, nullptr), 0);
        EXPECT_EQ(reader.value("PVER"), nullptr);
        EXPECT_STREQ(reader.value("serial"), "SN0001");
    }
    image.first.boardSerial[0] = 'X';
    EXPECT_FALSE(ZEL_EEPROM_V3(&image).crcValid());
}

}  // namespace
