#include "portcfg.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const char* const RegisterBase = "/sys/class/mdio_bus/2188000.ethernet/device/2188000.ethernet";
const char* const Delimiters = " \t";
constexpr int PathSize = 80;
constexpr int ConfigLineSize = 80;  // lines of up to 79 characters per read

constexpr int PORT_CONTROL = 4;  // per port: bits 0-1 port state
constexpr int PORT_PHYS_CONTROL = 1;  // per port: bits 4-5 link forcing
constexpr int SWITCH_ID = 3;
constexpr int VTU_OPERATION = 5;  // of the global device; bit 15 busy
constexpr int VTU_BUSY = 0x8000;
constexpr int VTU_LOAD = 0xB000;
constexpr int VTU_BUSY_WAITS = 10000;  // of 100 us: about one second

void RunShell(const char* command)
{
    // The GPIO steps report nothing; the identity check that follows shows
    // whether the switch came up.
    fflush(stdout);
    const int ignored = system(command);
    (void)ignored;
}

// Parses a register's hexadecimal text; text that is not a number reads as
// 0 (parsing stops at the first character that does not belong, such as the
// line end), a value that does not fit an int as -1.
int ParseRegisterText(const char* text)
{
    const long value = strtol(text, nullptr, 16);
    return (value < INT_MIN || value > INT_MAX) ? -1 : int(value);
}

// Parses a whole configuration token: an optional sign and digits in the
// base (a 0x prefix in hexadecimal), nothing after them but the line end.
// Anything else, or a value that does not fit an int, is not a number: read
// as far as it parses, "0x3" or "3.9" would name another register.
bool ParseToken(const char* text, int base, int& value)
{
    char* end = nullptr;
    errno = 0;
    const long parsed = strtol(text, &end, base);
    if (end == text || errno == ERANGE || parsed < INT_MIN || parsed > INT_MAX
        || end[strspn(end, "\r\n")] != '\0')
        return false;
    value = int(parsed);
    return true;
}

// A line that holds its tokens but not as numbers is not applied at all.
// Returns 1, to count it as a failed line.
int RefuseLine(const std::string& line)
{
    printf("Ignoring malformed line: %.*s\n", int(strcspn(line.c_str(), "\r\n")), line.c_str());
    return 1;
}

// Splits a line at blanks and tabs into at most `max` tokens; returns how
// many tokens the line has (which may be more than `max`).
int Tokenize(char* line, char* tokens[], int max)
{
    int count = 0;
    char* state = nullptr;
    for (char* token = strtok_r(line, Delimiters, &state); token;
         token = strtok_r(nullptr, Delimiters, &state)) {
        if (count < max)
            tokens[count] = token;
        ++count;
    }
    return count;
}

// One line of switch.dat: "port register value", decimal, decimal, hex.
// Lines of fewer tokens and negative values are skipped. Returns 1 when the
// line was refused, else 0.
int ApplySwitchLine(char* line)
{
    const std::string original(line);
    int port_id = -1, register_id = -1, config_value = -1;
    char* tokens[3];
    if (Tokenize(line, tokens, 3) < 3)
        return 0;
    if (!ParseToken(tokens[0], 10, port_id) || !ParseToken(tokens[1], 10, register_id)
        || !ParseToken(tokens[2], 16, config_value))
        return RefuseLine(original);
    if (config_value < 0)
        return 0;
    printf("Configuring port %d register %d to 0x%04x\n", port_id, register_id, config_value);
    writeRegister(port_id, register_id, config_value);
    usleep(1000);
    return 0;
}

// Waits until the switch has finished the previous VLAN table operation.
// Returns false when it is still busy after about one second.
bool WaitVlanReady()
{
    int sleep_counter = 0;
    int value = readRegister(SWITCH_GLOBAL_DEVICE, VTU_OPERATION);
    while ((value & VTU_BUSY) && sleep_counter < VTU_BUSY_WAITS) {
        usleep(100);
        ++sleep_counter;
        value = readRegister(SWITCH_GLOBAL_DEVICE, VTU_OPERATION);
    }
    // Decided by the last read, not by the count: a switch that finished
    // during the last wait is ready, however late the wake-up came.
    return !(value & VTU_BUSY);
}

// One line of vlan.dat: the four hex values for registers 6, 7, 8 and 2 of
// the global device. Returns 1 when the line was refused or timed out,
// else 0.
int ApplyVlanLine(char* line)
{
    const std::string original(line);
    char* tokens[4];
    if (Tokenize(line, tokens, 4) != 4)
        return 0;
    int reg_six, reg_seven, reg_eight, reg_two;
    if (!ParseToken(tokens[0], 16, reg_six) || !ParseToken(tokens[1], 16, reg_seven)
        || !ParseToken(tokens[2], 16, reg_eight) || !ParseToken(tokens[3], 16, reg_two))
        return RefuseLine(original);
    printf("Configuring 0x1B to 0x%04x 0x%04x 0x%04x 0x%04x\n", reg_six, reg_seven, reg_eight,
           reg_two);
    if (!WaitVlanReady()) {
        printf("Timed out configuring VLAN\n");
        return 1;
    }
    writeRegister(SWITCH_GLOBAL_DEVICE, 6, reg_six);
    writeRegister(SWITCH_GLOBAL_DEVICE, 7, reg_seven);
    writeRegister(SWITCH_GLOBAL_DEVICE, 8, reg_eight);
    writeRegister(SWITCH_GLOBAL_DEVICE, 2, reg_two);
    // Starts the load; the next line's busy wait waits for it to finish.
    writeRegister(SWITCH_GLOBAL_DEVICE, VTU_OPERATION, VTU_LOAD);
    return 0;
}

// A file that opens but cannot be read (a directory, an I/O error) is a
// failure, not an empty configuration.
bool ReadFailed(FILE* file, const char* what)
{
    if (!ferror(file))
        return false;
    printf("Failed to read %s config: %s\n", what, strerror(errno));
    return true;
}

// One kind of configuration file: its name in messages, the texts it
// prints, and how one of its lines is applied (1 for a failed line).
struct ConfigFile {
    const char* kind;
    const char* missing;     // printed when no file is named
    const char* commentEnd;  // after a comment line (which keeps its own line end)
    int (*apply)(char* line);
};

const ConfigFile SwitchFile = {"switch", "Configuration file missing\n", "\n", ApplySwitchLine};
const ConfigFile VlanFile = {"vlan", "Configuration file missing.", "", ApplyVlanLine};

// Applies every line that is not a comment ("#" in the first column).
// -1 when no file is named or it cannot be opened; otherwise the number of
// failed lines, and one more when the file could not be read to its end.
int LoadLines(const char* fileName, const ConfigFile& config)
{
    if (!fileName) {
        printf("%s", config.missing);
        return -1;
    }
    printf("Loading %s config from %s\n", config.kind, fileName);
    FILE* file = fopen(fileName, "r");
    if (!file) {
        printf("Failed to open switch config: %s\n", strerror(errno));
        return -1;
    }
    int failed = 0;
    char config_line[ConfigLineSize];
    while (fgets(config_line, sizeof config_line, file)) {
        if (config_line[0] == '#')
            printf("Ignoring comment: %s%s", config_line, config.commentEnd);
        else
            failed += config.apply(config_line);
    }
    if (ReadFailed(file, config.kind))
        ++failed;
    fclose(file);
    return failed;
}

}  // namespace

int openRegister(int port_id, int register_id)
{
    char path[PathSize];
    const int length = snprintf(path, sizeof path, "%s:%02x/%d", RegisterBase,
                                unsigned(port_id), register_id);
    // A cut path would name another register.
    if (length < 0 || length >= PathSize)
        return -1;
    return open(path, O_RDWR);
}

void closeRegister(int fd)
{
    if (fd > 0)
        close(fd);
}

int readRegister(int port_id, int register_id)
{
    char text[80] = {};
    const int fd = openRegister(port_id, register_id);
    if (fd <= 0)
        return 0;
    if (read(fd, text, 10) < 0)
        printf("Error reading: %s\n", strerror(errno));
    closeRegister(fd);
    return ParseRegisterText(text);
}

int writeRegister(int port_id, int register_id, int value)
{
    char text[80];
    const int length = snprintf(text, sizeof text, "%d", value);
    const int fd = openRegister(port_id, register_id);
    if (fd <= 0)
        return 1;
    int result = 0;
    if (write(fd, text, size_t(length)) < length) {
        printf("Error Writing: %s\n", strerror(errno));
        result = 1;
    }
    closeRegister(fd);
    return result;
}

int resetSwitch(int bOnlyReset)
{
    if (bOnlyReset) {
        printf("Bringing switch out of reset\n");
        RunShell("echo 190 > /sys/class/gpio/export");
        RunShell("echo out > /sys/class/gpio/gpio190/direction");
        usleep(100000);
        RunShell("echo 0 > /sys/class/gpio/gpio190/value");
        RunShell("echo 188 > /sys/class/gpio/export");
        RunShell("echo in > /sys/class/gpio/gpio188/direction");
        usleep(100000);
        RunShell("echo 1 > /sys/class/gpio/gpio190/value");
        usleep(100000);
        return 1;
    }

    printf("checking switch ID\n");
    for (int attempt = 1; attempt <= 3; ++attempt) {
        const int switch_id = readRegister(0, SWITCH_ID);
        if ((switch_id & 0xFFF0) == 0x2900) {
            printf("MARVELL MV88E6290 switch detected\n");
            return 1;
        }
        if (attempt < 3)
            printf(".");
        else
            printf("Detected Switch ID: 0x%08x\n", switch_id);
        fflush(stdout);
        sleep(1);
    }
    return 0;
}

void disableports()
{
    for (int port = 0; port < SWITCH_PORT_COUNT; ++port)
        writeRegister(port, PORT_CONTROL, readRegister(port, PORT_CONTROL) & 0x00FC);
    usleep(2000);
}

void enableports()
{
    for (int port = 0; port < SWITCH_PORT_COUNT; ++port)
        writeRegister(port, PORT_CONTROL, readRegister(port, PORT_CONTROL) | 0x0003);
}

void linkrelease()
{
    writeRegister(0, PORT_PHYS_CONTROL, readRegister(0, PORT_PHYS_CONTROL) | 0x0030);
    for (int port = 1; port < SWITCH_PORT_COUNT; ++port)
        writeRegister(port, PORT_PHYS_CONTROL, readRegister(port, PORT_PHYS_CONTROL) & 0xFFCF);
}

int loadSwitchConfig(const char* fileName)
{
    return LoadLines(fileName, SwitchFile) == 0 ? 0 : 1;
}

int loadVLanConfig(const char* fileName)
{
    const int failed = LoadLines(fileName, VlanFile);
    return failed < 0 ? 1 : failed;
}
