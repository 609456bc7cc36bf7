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
// (0) or as the usage status (255).
constexpr int MaxFailureStatus = 254;

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

int SingleAction(const char* option)
{
    if (IsOption(option, "-R")) {
        resetSwitch(1);
        disableports();
        sleep(1);
        printf("Switch Reset OK!\n");
    } else if (IsOption(option, "-D")) {
        disableports();
        printf("Switch Ports Disabled OK!\n");
    } else if (IsOption(option, "-E")) {
        enableports();
        printf("Switch Ports enabled OK!\n");
    } else if (IsOption(option, "-Z")) {
        linkrelease();
        printf("Switch Ports link released!\n");
    } else {
        return Usage();
    }
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
    if (IsOption(first, "-S")) {
        result = loadSwitchConfig(second);
        printf("Switch only OK!\n");
    } else if (IsOption(first, "-V")) {
        result = loadVLanConfig(second);
        printf("Switch VLAN only OK!\n");
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
    return finishOutput("portcfg", status & 0xFF);
}
