#include "crc32.h"

int main(int argc, char* argv[])
{
    return eepromCrcMain(argc, argv);
}
