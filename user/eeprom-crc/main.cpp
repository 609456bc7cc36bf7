#include "crc32.h"
#include "tool_output.h"

int main(int argc, char* argv[])
{
    return finishOutput("eeprom-crc", eepromCrcMain(argc, argv));
}
