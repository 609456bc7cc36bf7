// portcfg: brings the board's Ethernet switch out of reset and programs its
// ports and VLAN table, or takes one single action on its ports.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "portcfg.h"
#include "tool_output.h"

namespace {

// Failed-line counts stop here: taken modulo 256 they would read as success
// (0) or as the usage status (255), and the status above them says that the
// output was lost (74, say, would read as 74 lines timed out).
constexpr int MaxFailureStatus = 253;
constexpr int OutputFailed = 254;

// Options count by their first two characters, so "-Rx" is "-R".
bool IsOption(const char* argument, const char* option)
{
    return strncmp(argument, option, 2) == 0;
}

int Usage()
{
    printf("Invalid options:\nportcfg [switch.dat] [vlan.dat]\n");
    return -1;
}

void ResetAndDisable()
{
    resetSwitch(1);
    disableports();
    sleep(1);
}

// The single actions, taken only when the option is the one argument.
struct Action {
    const char* option;
    void (*run)();
    const char* done;
};

const Action kActions[] = {
    {"-R", ResetAndDisable, "Switch Reset OK!"},
    {"-D", disableports, "Switch Ports Disabled OK!"},
    {"-E", enableports, "Switch Ports enabled OK!"},
    {"-Z", linkrelease, "Switch Ports link released!"},
};

// The options that restrict a configuration to one file; the line is
// printed whatever the load's result.
struct OneFile {
    const char* option;
    int (*load)(const char* fileName);
    const char* done;
};

const OneFile kOneFile[] = {
    {"-S", loadSwitchConfig, "Switch only OK!"},
    {"-V", loadVLanConfig, "Switch VLAN only OK!"},
};

// The table row of an option, or null.
template <typename Row, size_t N>
const Row* Lookup(const Row (&rows)[N], const char* argument)
{
    for (const Row& row : rows) {
        if (IsOption(argument, row.option))
            return &row;
    }
    return nullptr;
}

int SingleAction(const char* option)
{
    const Action* action = Lookup(kActions, option);
    if (!action)
        return Usage();
    action->run();
    printf("%s\n", action->done);
    return 0;
}

// Identity check, ports disabled while loading, enabled again afterwards.
int Configure(const char* first, const char* second)
{
    if (!resetSwitch(0)) {
        printf("Switch Reset failed!\n");
        return 1;
    }
    disableports();
    int result;
    if (const OneFile* only = Lookup(kOneFile, first)) {
        result = only->load(second);
        printf("%s\n", only->done);
    } else {
        // Two statements: the switch file is loaded before the VLAN file.
        result = loadSwitchConfig(first);
        result |= loadVLanConfig(second);
    }
    enableports();
    return result;
}

}  // namespace

int main(int argc, char* argv[])
{
    int status;
    if (argc == 2)
        status = SingleAction(argv[1]);
    else if (argc > 2)
        status = std::min(Configure(argv[1], argv[2]), MaxFailureStatus);
    else
        status = Usage();
    return finishOutput("portcfg", status & 0xFF, OutputFailed);
}
