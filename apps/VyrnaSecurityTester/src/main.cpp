// VyrnaSecurityTester: drives the security service's three methods by hand.
// Exit status 255 when the bus cannot be reached; after "q", 0 when the last
// call succeeded (or none was made) and 255 when it did not.
#include <cstdio>

#include "SecurityConsole.h"
#include "zeldbus.h"

int main()
{
    if (zeldbus_init("/", "com.zel.vyrna.SecurityTester", 0, nullptr, 0) != 0
        || zeldbus_connect() != 0)
        return 255;
    SecurityConsole console(stdin, stdout);
    return console.run();
}
