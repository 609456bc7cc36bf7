// eeprom-crc: verifies and computes the CRC-32 of a zone of the board EEPROM
// image, and migrates layout-2 images to layout 3.
#pragma once

#include <cstddef>
#include <cstdint>

// CRC-32 (reflected polynomial 0xEDB88320, initial value and final XOR
// 0xFFFFFFFF), computed bit by bit: no table, for the smallest footprint.
uint32_t crc32Bitwise(const uint8_t* data, size_t length);

// The whole tool: parses the command line, does the command, prints the
// result line and returns the exit status.
int eepromCrcMain(int argc, char* argv[]);
