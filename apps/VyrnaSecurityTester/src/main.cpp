// VyrnaSecurityTester: drives the security service's three methods by hand.
// Exit status 255 when the bus cannot be reached; after "q", 0 when the last
// call succeeded (or none was made) and 255 when it did not.
#include <cstdio>
#include <sys/prctl.h>

#include "SecurityConsole.h"
#include "zeldbus.h"

int main()
{
    // Secrets typed, read and retrieved pass through its memory: no core
    // dump of it.
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    // The console serves nothing; waiting in line for its name keeps a
    // process that holds the name from keeping every console from starting.
    zeldbus_queueForName(1);
    if (zeldbus_init("/", "com.zel.vyrna.SecurityTester", 0, nullptr, 0) != 0
        || zeldbus_connect() != 0)
        return 255;
    SecurityConsole console(stdin, stdout);
    return console.run();
}
