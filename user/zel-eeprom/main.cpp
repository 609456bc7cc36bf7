// zel-eeprom: prints the board identity EEPROM (all items, a listing with
// descriptions, or the items named on the command line).
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tool_output.h"
#include "zel_eeprom.h"

namespace {

const char* const DefaultPath = "/sys/class/i2c-adapter/i2c-2/2-0050/eeprom";

bool PrintHelpRow(ZEL_EEPROM& /*reader*/, int /*index*/, const ZEL_EEPROM_ITEM& item,
                  void* context)
{
    fprintf(static_cast<FILE*>(context), "\t\t%-15s %-25s %s\n", item.name, item.key,
            item.description);
    return true;
}

void PrintHelp(FILE* out)
{
    fprintf(out, "ZEL EEPROM tool 1.0\n\n");
    fprintf(out, "usage: zel-eeprom --help");
    fprintf(out, "\tdisplays this help\n");
    fprintf(out, "usage: zel-eeprom --list\n");
    fprintf(out, "\tdumps the entire EEPROM including descriptions\n");
    fprintf(out, "usage: zel-eeprom [VARIABLE ... VARIABLE] [--file <file>|-] \n");
    fprintf(out, "\tSupported versions : Version 2, Version 3\n");
    fprintf(out, "\tVersion 2 items:\n");
    ZEL_EEPROM_V2().forEachItem(PrintHelpRow, out);
    fprintf(out, "\tVersion 3 items:\n");
    ZEL_EEPROM_V3().forEachItem(PrintHelpRow, out);
}

int Query(ZEL_EEPROM& reader, const std::vector<std::string>& names, bool list)
{
    if (names.empty()) {
        reader.printItems(reader.items(), reader.itemCount(), list, stdout, stderr);
        reader.printItems(RUNTIME_ITEMS, RUNTIME_ITEM_COUNT, list, stdout, stderr);
        return 0;
    }
    for (const std::string& name : names) {
        const char* text = reader.value(name);
        if (!text) {
            fprintf(stderr, "Unknown item %s\n", name.c_str());
            return 6;
        }
        if (names.size() == 1)
            printf("%s\n", text);
        else
            printf("%s %s\n", name.c_str(), text);
    }
    return 0;
}

std::unique_ptr<ZEL_EEPROM> ReaderFor(int version)
{
    switch (version) {
    case 2: return std::make_unique<ZEL_EEPROM_V2>();
    case 3: return std::make_unique<ZEL_EEPROM_V3>();
    default: return nullptr;
    }
}

// What the command line asks for.
struct Options {
    bool help = false;
    bool list = false;
    std::string path = DefaultPath;  // "-": standard input
    std::vector<std::string> names;  // items to print; none: all
};

Options ParseArguments(int argc, char* argv[])
{
    Options options;
    std::vector<std::string>& args = options.names;
    args.assign(argv + 1, argv + argc);
    if (args.size() == 1 && args[0] == "--help") {
        options.help = true;
        return options;
    }
    // "--file <path>" counts only as the last two arguments.
    if (args.size() >= 2 && args[args.size() - 2] == "--file") {
        options.path = args.back();
        args.resize(args.size() - 2);
    }
    // Together with item names, "--list" is an item name.
    if (args.size() == 1 && args[0] == "--list") {
        options.list = true;
        args.clear();
    }
    return options;
}

// Reads the image after its version byte and prints what was asked for.
int Print(FILE* in, const Options& options)
{
    const int version = fgetc(in);
    if (version == EOF)
        return 1;
    std::unique_ptr<ZEL_EEPROM> reader = ReaderFor(version);
    if (!reader) {
        fprintf(stderr, "Unknown EEPROM version %d\n", version);
        return 5;
    }
    const int readStatus = reader->read(version, in, stderr);
    if (readStatus == 1)
        return 1;
    const int queryStatus = Query(*reader, options.names, options.list);
    return readStatus != 0 ? readStatus : queryStatus;
}

int Run(const Options& options)
{
    if (options.help) {
        PrintHelp(stdout);
        return 255;
    }
    FILE* in = stdin;
    if (options.path != "-") {
        in = fopen(options.path.c_str(), "rb");
        if (!in) {
            const int error = errno;
            fprintf(stderr, "Error opening file %s - [%d] %s\n", options.path.c_str(), error,
                    strerror(error));
            return 2;
        }
    }
    const int status = Print(in, options);
    if (in != stdin)
        fclose(in);
    return status;
}

}  // namespace

int main(int argc, char* argv[])
{
    return finishOutput("zel-eeprom", Run(ParseArguments(argc, argv)));
}
