#include "switch_model.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <ctime>

namespace {

const char* const MdioDir = "/mdio_bus/2188000.ethernet/device";
const char* const DevicePrefix = "2188000.ethernet:";
constexpr int GlobalDevice = 0x1B;
constexpr int VtuOperation = 5;
constexpr unsigned VtuBusy = 0x8000;

double Now()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

// A whole non-negative number in `base`, at most `max`; trailing line ends
// and blanks are allowed, as `echo` writes them.
bool ParseNumber(const std::string& text, int base, long max, long& value)
{
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ')
        return false;
    char* end = nullptr;
    errno = 0;
    value = strtol(text.c_str(), &end, base);
    if (end == text.c_str() || errno != 0 || value > max)
        return false;
    for (; *end; ++end)
        if (*end != '\n' && *end != ' ' && *end != '\t')
            return false;
    return true;
}

std::string Trimmed(const std::string& text)
{
    const size_t end = text.find_last_not_of(" \t\n");
    return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

// "gpioN" -> N, or -1.
int GpioNumber(const std::string& name)
{
    long number;
    if (name.compare(0, 4, "gpio") != 0 || !ParseNumber(name.substr(4), 10, 1023, number))
        return -1;
    return std::to_string(number) == name.substr(4) ? int(number) : -1;
}

}  // namespace

std::string SwitchModelOptions::parse(const std::string& text)
{
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(',', start);
        if (end == std::string::npos)
            end = text.size();
        const std::string item = text.substr(start, end - start);
        start = end + 1;
        if (item.empty())
            continue;
        const size_t eq = item.find('=');
        const std::string name = item.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : item.substr(eq + 1);
        long number, device, reg;
        if (name == "log") {
            logPath = value;
        } else if (name == "stuck" && eq == std::string::npos) {
            busyStuck = true;
        } else if (name == "id" && ParseNumber(value, 16, 0xFFFF, number)) {
            identity = unsigned(number);
        } else if (name == "busyreads" && ParseNumber(value, 10, 1000000, number)) {
            busyReads = int(number);
        } else if (name == "absent" && ParseNumber(value, 16, 31, number)) {
            absentDevices.insert(int(number));
        } else if (name.find(':') != std::string::npos &&
                   ParseNumber(name.substr(0, name.find(':')), 16, 31, device) &&
                   ParseNumber(name.substr(name.find(':') + 1), 10, 31, reg) &&
                   ParseNumber(value, 16, 0xFFFF, number)) {
            initialValues[{int(device), int(reg)}] = unsigned(number);
        } else {
            return "bad option '" + item + "'";
        }
    }
    return "";
}

SwitchModel::SwitchModel(const SwitchModelOptions& options)
    : m_options(options), m_busyReadsLeft(options.busyStuck ? -1 : options.busyReads),
      m_start(Now())
{
    for (int port = 0; port <= 8; ++port)
        m_registers[port][3] = options.identity;
    for (const auto& [where, value] : options.initialValues)
        m_registers[where.first][where.second] = value;
    if (!options.logPath.empty())
        m_log = fopen(options.logPath.c_str(), "w");
}

SwitchModel::~SwitchModel()
{
    if (m_log)
        fclose(m_log);
}

void SwitchModel::log(const char* format, ...)
{
    if (!m_log)
        return;
    fprintf(m_log, "%.6f ", Now() - m_start);
    va_list args;
    va_start(args, format);
    vfprintf(m_log, format, args);
    va_end(args);
    fputc('\n', m_log);
    fflush(m_log);
}

SwitchNode SwitchModel::lookup(const std::string& path) const
{
    SwitchNode node;
    const std::string mdio = MdioDir;
    if (path == "/" || path == "/mdio_bus" || path == "/mdio_bus/2188000.ethernet" ||
        path == mdio || path == "/gpio") {
        node.kind = SwitchNode::Directory;
        return node;
    }
    if (path == "/gpio/export") {
        node.kind = SwitchNode::GpioExport;
        return node;
    }
    if (path.compare(0, 6, "/gpio/") == 0) {
        const std::string rest = path.substr(6);
        const size_t slash = rest.find('/');
        const int line = GpioNumber(rest.substr(0, slash));
        if (line < 0 || !m_gpios.count(line))
            return node;
        node.number = line;
        if (slash == std::string::npos)
            node.kind = SwitchNode::Directory;
        else if (rest.substr(slash + 1) == "direction")
            node.kind = SwitchNode::GpioDirection;
        else if (rest.substr(slash + 1) == "value")
            node.kind = SwitchNode::GpioValue;
        return node;
    }
    const std::string prefix = mdio + "/" + DevicePrefix;
    if (path.compare(0, prefix.size(), prefix) != 0)
        return node;
    const std::string rest = path.substr(prefix.size());
    // Exactly two lower-case hex digits, as the kernel names the devices.
    long device;
    if (rest.size() < 2 || !isxdigit(rest[0]) || !isxdigit(rest[1]) || isupper(rest[0]) ||
        isupper(rest[1]) || !ParseNumber(rest.substr(0, 2), 16, DeviceCount - 1, device) ||
        !present(int(device)))
        return node;
    node.device = int(device);
    if (rest.size() == 2) {
        node.kind = SwitchNode::Directory;
        return node;
    }
    long reg;
    const std::string name = rest.substr(3);
    if (rest[2] != '/' || !ParseNumber(name, 10, RegisterCount - 1, reg) ||
        std::to_string(reg) != name)
        return node;
    node.kind = SwitchNode::Register;
    node.number = int(reg);
    return node;
}

bool SwitchModel::list(const std::string& path, std::set<std::string>& names) const
{
    const SwitchNode node = lookup(path);
    if (node.kind != SwitchNode::Directory)
        return false;
    if (path == "/") {
        names = {"mdio_bus", "gpio"};
    } else if (path == "/mdio_bus") {
        names = {"2188000.ethernet"};
    } else if (path == "/mdio_bus/2188000.ethernet") {
        names = {"device"};
    } else if (path == MdioDir) {
        char name[32];
        for (int device = 0; device < DeviceCount; ++device) {
            if (present(device)) {
                snprintf(name, sizeof name, "%s%02x", DevicePrefix, unsigned(device));
                names.insert(name);
            }
        }
    } else if (path == "/gpio") {
        names.insert("export");
        for (const auto& gpio : m_gpios)
            names.insert("gpio" + std::to_string(gpio.first));
    } else if (node.device >= 0) {
        for (int reg = 0; reg < RegisterCount; ++reg)
            names.insert(std::to_string(reg));
    } else {
        names = {"direction", "value"};
    }
    return true;
}

bool SwitchModel::present(int device) const
{
    // The ports and the global device, as the switch answers on the bus.
    return (device <= 8 || device == GlobalDevice) && !m_options.absentDevices.count(device);
}

int SwitchModel::readRegister(int device, int reg)
{
    unsigned& value = m_registers[device][reg];
    // The switch clears the busy bit when its VLAN table operation is done;
    // here that is after a number of reads, or never.
    if (device == GlobalDevice && reg == VtuOperation && (value & VtuBusy)) {
        if (m_busyReadsLeft == 0)
            value &= ~VtuBusy;
        else if (m_busyReadsLeft > 0)
            --m_busyReadsLeft;
    }
    log("read %02x %d 0x%04x", unsigned(device), reg, value);
    return int(value);
}

int SwitchModel::read(const SwitchNode& node, std::string& text)
{
    char buffer[16];
    switch (node.kind) {
    case SwitchNode::Register:
        snprintf(buffer, sizeof buffer, "0x%04x\n", unsigned(readRegister(node.device, node.number)));
        text = buffer;
        return 0;
    case SwitchNode::GpioDirection:
        text = m_gpios[node.number].output ? "out\n" : "in\n";
        return 0;
    case SwitchNode::GpioValue:
        text = m_gpios[node.number].value ? "1\n" : "0\n";
        return 0;
    case SwitchNode::GpioExport:
        return -EIO;  // write-only
    default:
        return -EISDIR;
    }
}

int SwitchModel::writeRegister(int device, int reg, const std::string& text)
{
    long value;
    if (!ParseNumber(text, 10, 0xFFFF, value)) {
        log("refused write %02x %d '%s'", unsigned(device), reg, Trimmed(text).c_str());
        return -EINVAL;
    }
    m_registers[device][reg] = unsigned(value);
    if (device == GlobalDevice && reg == VtuOperation && (value & VtuBusy))
        m_busyReadsLeft = m_options.busyStuck ? -1 : m_options.busyReads;
    log("write %02x %d 0x%04x", unsigned(device), reg, unsigned(value));
    return 0;
}

int SwitchModel::writeGpio(const SwitchNode& node, const std::string& text)
{
    const std::string word = Trimmed(text);
    long number;
    switch (node.kind) {
    case SwitchNode::GpioExport:
        if (!ParseNumber(text, 10, 1023, number)) {
            log("refused gpio export '%s'", word.c_str());
            return -EINVAL;
        }
        if (m_gpios.count(int(number))) {
            log("refused gpio export %ld", number);
            return -EBUSY;
        }
        m_gpios[int(number)] = Gpio();
        log("gpio export %ld", number);
        return 0;
    case SwitchNode::GpioDirection: {
        Gpio& gpio = m_gpios[node.number];
        if (word == "in" || word == "out") {
            gpio.output = word == "out";
        } else if (word == "high" || word == "low") {
            gpio.output = true;
            gpio.value = word == "high";
        } else {
            log("refused gpio gpio%d/direction '%s'", node.number, word.c_str());
            return -EINVAL;
        }
        log("gpio gpio%d/direction %s", node.number, word.c_str());
        return 0;
    }
    case SwitchNode::GpioValue: {
        Gpio& gpio = m_gpios[node.number];
        if (!gpio.output || !ParseNumber(text, 10, 1, number)) {
            log("refused gpio gpio%d/value '%s'", node.number, word.c_str());
            return gpio.output ? -EINVAL : -EPERM;
        }
        gpio.value = int(number);
        log("gpio gpio%d/value %ld", node.number, number);
        return 0;
    }
    default:
        return -EISDIR;
    }
}

int SwitchModel::write(const SwitchNode& node, const std::string& text)
{
    if (node.kind == SwitchNode::Register)
        return writeRegister(node.device, node.number, text);
    return writeGpio(node, text);
}
