// Common ground of the service's unit suites. They run inside the board
// sandbox, so the stores use their real paths under /mnt/DATA and /mnt/NOR6;
// each test starts from empty partitions.
#pragma once

#include <QByteArray>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace vyrna_test {

constexpr const char* kKeysDir = "/mnt/DATA/vyrna/.ephKeys";
constexpr const char* kBackupDir = "/mnt/NOR6/vyrna/.backup";
constexpr const char* kItemsDir = "/mnt/DATA/vyrna/.secureStorage";

void WriteFile(const std::string& path, const QByteArray& bytes);
QByteArray ReadFile(const std::string& path);
bool Exists(const std::string& path);
// Names in a directory (hidden ones too), sorted; empty if it is missing.
std::vector<std::string> List(const std::string& dir);
// zlib's CRC-32, the independent reference.
unsigned int ZlibCrc(const QByteArray& bytes);
// What the ".CRC" file of a directory holding these contents must say.
QByteArray CrcText(const QByteArray& concatenated);
// Writes files and a matching ".CRC" into dir, as an intact store would be.
void WriteIntactStore(const std::string& dir,
                      const std::vector<std::pair<std::string, QByteArray>>& files);

// Takes a partition away (unmounted, mount point removed) and gives an
// empty one back; the sandbox's namespace is private to the suite.
void Unmount(const char* mountPoint);
void Remount(const char* mountPoint);

// Collects what the code under test writes to standard error.
class StderrCapture {
public:
    StderrCapture();
    ~StderrCapture();
    std::string text();

private:
    int m_saved = -1;
    int m_file = -1;
};

// Empties both partitions before each test.
class BoardTest : public ::testing::Test {
protected:
    void SetUp() override;
};

}  // namespace vyrna_test
