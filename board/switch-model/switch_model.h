// A behaving model of the board's Ethernet switch as its kernel shows it:
// one file per MDIO device and register (reads give hexadecimal text, writes
// take decimal text), and the sysfs GPIO files of the reset line. Every
// access is logged in order with a time, so tests can check sequences.
#pragma once

#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <utility>

struct SwitchModelOptions {
    std::string logPath;      // empty: no log
    unsigned identity = 0x2901;  // register 3 of the ports
    int busyReads = 3;        // reads that show the VTU busy bit after a load
    bool busyStuck = false;   // the busy bit never clears
    std::set<int> absentDevices;
    std::map<std::pair<int, int>, unsigned> initialValues;  // (device, register)

    // "log=PATH,id=HEX,busyreads=N,stuck,absent=HEX,DEV:REG=HEX", all
    // optional, devices in hex, registers in decimal. Returns an error text,
    // or an empty one.
    std::string parse(const std::string& text);
};

// What a path of the model's file system names.
struct SwitchNode {
    enum Kind { None, Directory, Register, GpioExport, GpioDirection, GpioValue } kind = None;
    int device = -1;    // Register
    int number = -1;    // Register: register number; Gpio*: line number
};

class SwitchModel {
public:
    static constexpr int DeviceCount = 32;
    static constexpr int RegisterCount = 32;

    explicit SwitchModel(const SwitchModelOptions& options);
    ~SwitchModel();
    SwitchModel(const SwitchModel&) = delete;
    SwitchModel& operator=(const SwitchModel&) = delete;

    bool logOpen() const { return m_log != nullptr || m_options.logPath.empty(); }

    SwitchNode lookup(const std::string& path) const;
    // Names in a directory; false when the path is no directory.
    bool list(const std::string& path, std::set<std::string>& names) const;

    // A read at offset 0: the whole text of the file, or a negative errno.
    int read(const SwitchNode& node, std::string& text);
    // A write at offset 0 of the whole text; 0 or a negative errno.
    int write(const SwitchNode& node, const std::string& text);

private:
    struct Gpio {
        bool output = false;
        int value = 0;
    };

    bool present(int device) const;
    void log(const char* format, ...) __attribute__((format(printf, 2, 3)));
    int readRegister(int device, int reg);
    int writeRegister(int device, int reg, const std::string& text);
    int writeGpio(const SwitchNode& node, const std::string& text);

    SwitchModelOptions m_options;
    unsigned m_registers[DeviceCount][RegisterCount] = {};
    int m_busyReadsLeft;  // -1: for ever
    std::map<int, Gpio> m_gpios;  // exported lines
    FILE* m_log = nullptr;
    double m_start;
};
