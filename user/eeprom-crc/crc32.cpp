#include "crc32.h"

#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>

#include "eeprom_layout.h"

uint32_t crc32Bitwise(const uint8_t* data, size_t length)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < length; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return ~crc;
}

namespace {

const char* const DefaultPath = "/sys/bus/i2c/devices/2-0050/eeprom";
constexpr long ImageSize = long(ZEL_EEPROM_IMAGE_SIZE);
// The first-area CRC position of layout 3: the default zone length.
constexpr long EepCrc32Pos = long(CRC_AREA_V3_FIRST.length);

// Result codes; the exit status of a run that got as far as its command.
enum Code {
    CODE_SUCCESS = 0,
    CODE_ACCESS = 1,
    CODE_READ = 2,
    CODE_NOT_VERSION_3 = 3,
    CODE_CRC_MISMATCH = 4,
    CODE_UNSUPPORTED = 5,
    CODE_NOT_VERSION_2 = 6,
};

const char* const CodeNames[] = {
    " - ",
    " access eeprom",
    " read eeprom",
    " bad eeprom version ( not a version 3 )",
    " crc mismatch",
    " unsupported command",
    " bad eeprom version",
};

// Exit statuses of runs that stop before their command.
constexpr int EXIT_BAD_OPTION = 101;
constexpr int EXIT_FILE_REQUIRED = 103;
constexpr int EXIT_START_TOO_LARGE = 105;
constexpr int EXIT_LENGTH_TOO_LARGE = 106;
constexpr int EXIT_BAD_ZONE = 107;

struct Options {
    char command = 'o';  // o verify, c compute, k migrate
    bool verbose = false;
    const char* path = DefaultPath;
    bool pathGiven = false;
    long start = 0;
    long length = EepCrc32Pos;
};

using Image = uint8_t[ZEL_EEPROM_IMAGE_SIZE];

void PrintUsage()
{
    printf("Use %s : ", "crc32");
    printf("-o  \t\t\tverify the crc32 at EEP_CRC32_POS \n");
    printf("-c  \t\t\tcalculate the crc32 at EEP_CRC32_POS \n");
    printf("-k  \t\t\tmigrate the eeprom from version2 to version 3 \n");
    printf("-f filename   \tverify the crc32 at EEP_CRC32_POS from binary <filename>\n");
    printf("-s offset \t\tstart calculating crc32 in buffer zone at <offset> (default 0 )\n");
    printf("-l length \t\t<length> of the zone to process (default EEP_CRC32_POS) \n");
}

void PrintOptionError(int option)
{
    const unsigned char c = static_cast<unsigned char>(option);
    if (c == 'f' || c == 's' || c == 'l')
        printf("Option -%c requires an argument.\n", c);
    else if (isprint(c))
        printf("Unknown option `-%c'.\n", c);
    else
        printf("Unknown option character `\\x%x'.\n", c);
}

// A whole number in C notation (decimal, 0x hex, leading 0 octal); values
// beyond the range of long saturate, which the range checks then refuse.
bool ParseNumber(const char* text, long& value)
{
    char* end = nullptr;
    value = strtol(text, &end, 0);
    return end != text && *end == '\0';
}

// Parses one zone value; returns 0 to go on, or the exit status.
int ParseZoneValue(int option, const char* text, long& value)
{
    if (!ParseNumber(text, value)) {
        printf("ERROR -%c needs a number, not '%s'\n", option, text);
        return EXIT_BAD_ZONE;
    }
    if (value > ImageSize)
        return option == 's' ? EXIT_START_TOO_LARGE : EXIT_LENGTH_TOO_LARGE;
    if (value < 0) {
        printf("ERROR -%c must not be negative: %s\n", option, text);
        return EXIT_BAD_ZONE;
    }
    return 0;
}

// Returns 0 to go on, or the exit status.
int ParseOptions(int argc, char* argv[], Options& options)
{
    opterr = 0;
    int option;
    while ((option = getopt(argc, argv, "vockf:s:l:")) != -1) {
        int status = 0;
        switch (option) {
        case 'v': options.verbose = true; break;
        case 'o':
        case 'c':
        case 'k': options.command = char(option); break;
        case 'f':
            options.path = optarg;
            options.pathGiven = true;
            break;
        case 's': status = ParseZoneValue(option, optarg, options.start); break;
        case 'l': status = ParseZoneValue(option, optarg, options.length); break;
        default:
            if (options.verbose) {
                PrintOptionError(optopt);
                PrintUsage();
            }
            return EXIT_BAD_OPTION;
        }
        if (status != 0)
            return status;
    }
    return 0;
}

// Verify also reads the four stored bytes after the zone.
int CheckZone(const Options& options)
{
    if (options.command == 'k')
        return 0;
    const bool verify = options.command == 'o';
    const long end = options.start + options.length + (verify ? 4 : 0);
    if (end <= ImageSize)
        return 0;
    printf("ERROR zone start %ld length %ld%s does not fit in the %ld-byte image\n",
           options.start, options.length, verify ? " with its stored crc" : "", ImageSize);
    return EXIT_BAD_ZONE;
}

void HexDump(const Image image)
{
    for (size_t i = 0; i < ZEL_EEPROM_IMAGE_SIZE; ++i) {
        if (i % 16 == 0)
            putchar('\n');
        printf("%02X ", image[i]);
    }
    putchar('\n');
}

int ReadImage(const Options& options, Image image)
{
    FILE* file = fopen(options.path, "rb");
    if (!file) {
        if (options.verbose)
            printf("Error %s eeprom\n", "access");
        return CODE_ACCESS;
    }
    if (fread(image, sizeof(Image), 1, file) != 1) {
        if (options.verbose)
            printf("Error %s eeprom\n", "reading");
        fclose(file);
        return CODE_READ;
    }
    if (options.verbose)
        HexDump(image);
    fclose(file);
    return CODE_SUCCESS;
}

// A write error of a buffered stream may only show when it is flushed, so
// the close counts as part of the write.
int WriteImage(const Options& options, const Image image)
{
    FILE* file = fopen(options.path, "wb");
    if (!file) {
        if (options.verbose)
            printf("Error %s eeprom\n", "access");
        return CODE_ACCESS;
    }
    const bool written = fwrite(image, sizeof(Image), 1, file) == 1;
    const bool closed = fclose(file) == 0;
    if (!written || !closed) {
        if (options.verbose)
            printf("Error writing eeprom\n");
        return CODE_READ;
    }
    if (options.verbose)
        HexDump(image);
    return CODE_SUCCESS;
}

void PrintComputeSuccess(uint32_t crc)
{
    printf("SUCCESS %0X %0X HEX ", crc, __builtin_bswap32(crc));
    uint8_t bytes[4];
    writeBigEndian32(bytes, crc);
    for (uint8_t byte : bytes)
        printf("%02X ", byte);
    printf("\n");
}

void PrintFailure(int code)
{
    printf("ERROR %d %s %0X\n", code, CodeNames[code], 0u);
}

// Verify and compute share this routine: read, check the version, CRC.
int CheckImage(const Options& options, uint32_t& crc)
{
    Image image;
    int code = ReadImage(options, image);
    if (code != CODE_SUCCESS)
        return code;
    if (image[0] != 3) {
        if (options.verbose)
            printf("Error Bad eeprom version %0X\n", image[0]);
        return CODE_NOT_VERSION_3;
    }
    crc = crc32Bitwise(image + options.start, size_t(options.length));
    if (options.verbose)
        printf("Calculated CRC crc32 is %X\n", crc);

    switch (options.command) {
    case 'c': return CODE_SUCCESS;
    case 'o': {
        const uint32_t stored = readBigEndian32(image + options.start + options.length);
        if (crc != stored) {
            // No line end: the result line follows on the same line.
            if (options.verbose)
                printf("Error crc verification %0X != %0X", crc, stored);
            return CODE_CRC_MISMATCH;
        }
        if (options.verbose)
            printf("Crc match success\n");
        return CODE_SUCCESS;
    }
    default: return CODE_UNSUPPORTED;
    }
}

int Verify(const Options& options)
{
    uint32_t crc = 0;
    const int code = CheckImage(options, crc);
    if (code == CODE_SUCCESS)
        printf("SUCCESS %0X\n", crc);
    else
        PrintFailure(code);
    return code;
}

int Compute(const Options& options)
{
    uint32_t crc = 0;
    const int code = CheckImage(options, crc);
    if (code == CODE_SUCCESS)
        PrintComputeSuccess(crc);
    else
        printf("ERROR %0X %d\n", 0u, code);
    return code;
}

int MigrateImage(const Options& options)
{
    Image image;
    int code = ReadImage(options, image);
    if (code != CODE_SUCCESS)
        return code;
    if (image[0] != 2)
        return CODE_NOT_VERSION_2;
    const uint32_t crc = crc32Bitwise(image, CRC_AREA_V2.length);
    const uint32_t stored = readBigEndian32(image + CRC_AREA_V2.storedAt());
    if (crc != stored) {
        if (options.verbose)
            printf("Error crc verification %0X != %0X\n", crc, stored);
        return CODE_CRC_MISMATCH;
    }

    printf("PROCESSING FOR MIGRATION\n");
    rewriteV2AsV3(image);
    const uint32_t newCrc = crc32Bitwise(image, CRC_AREA_V3_FIRST.length);
    if (options.verbose)
        printf("Calculated CRC crc32 is %X\n", newCrc);
    writeBigEndian32(image + CRC_AREA_V3_FIRST.storedAt(), newCrc);
    code = WriteImage(options, image);
    if (code != CODE_SUCCESS)
        return code;

    printf("PROCESSING COMPLETED\n");
    PrintComputeSuccess(newCrc);
    return CODE_SUCCESS;
}

int Migrate(const Options& options)
{
    // The board EEPROM is never rewritten unless it is named.
    if (!options.pathGiven) {
        printf("ERROR file required\n");
        return EXIT_FILE_REQUIRED;
    }
    const int code = MigrateImage(options);
    if (code != CODE_SUCCESS)
        PrintFailure(code);
    return code;
}

}  // namespace

int eepromCrcMain(int argc, char* argv[])
{
    Options options;
    int status = ParseOptions(argc, argv, options);
    if (status == 0)
        status = CheckZone(options);
    if (status != 0)
        return status;

    switch (options.command) {
    case 'k': return Migrate(options);
    case 'c': return Compute(options);
    default: return Verify(options);
    }
}
