#include "board_fixture.h"

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

namespace vyrna_test {

namespace fs = std::filesystem;

void WriteFile(const std::string& path, const QByteArray& bytes)
{
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.constData(), bytes.size());
    ASSERT_TRUE(out.good()) << path;
}

QByteArray ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return QByteArray(content.data(), static_cast<int>(content.size()));
}

bool Exists(const std::string& path)
{
    return fs::exists(path);
}

std::vector<std::string> List(const std::string& dir)
{
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(dir, error))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

unsigned int ZlibCrc(const QByteArray& bytes)
{
    return static_cast<unsigned int>(
        crc32(0L, reinterpret_cast<const Bytef*>(bytes.constData()), static_cast<uInt>(bytes.size())));
}

QByteArray CrcText(const QByteArray& concatenated)
{
    char text[16];
    snprintf(text, sizeof text, "%X", ZlibCrc(concatenated));
    return QByteArray(text);
}

void WriteIntactStore(const std::string& dir,
                      const std::vector<std::pair<std::string, QByteArray>>& files)
{
    auto sorted = files;
    std::sort(sorted.begin(), sorted.end());
    QByteArray all;
    for (const auto& [name, content] : sorted) {
        WriteFile(dir + "/" + name, content);
        all += content;
    }
    WriteFile(dir + "/.CRC", CrcText(all));
}

void Unmount(const char* mountPoint)
{
    ASSERT_EQ(umount2(mountPoint, MNT_DETACH), 0) << mountPoint;
    ASSERT_EQ(rmdir(mountPoint), 0) << mountPoint;
}

void Remount(const char* mountPoint)
{
    ASSERT_EQ(mkdir(mountPoint, 0755), 0) << mountPoint;
    ASSERT_EQ(mount("tmpfs", mountPoint, "tmpfs", 0, "mode=0755"), 0) << mountPoint;
}

StderrCapture::StderrCapture()
{
    fflush(stderr);
    m_saved = dup(2);
    char name[] = "/tmp/vyrna-stderr-XXXXXX";
    m_file = mkstemp(name);
    unlink(name);
    dup2(m_file, 2);
}

StderrCapture::~StderrCapture()
{
    fflush(stderr);
    dup2(m_saved, 2);
    close(m_saved);
    close(m_file);
}

std::string StderrCapture::text()
{
    fflush(stderr);
    std::string result;
    char buffer[4096];
    ssize_t n;
    for (off_t offset = 0; (n = pread(m_file, buffer, sizeof buffer, offset)) > 0; offset += n)
        result.append(buffer, static_cast<size_t>(n));
    return result;
}

void BoardTest::SetUp()
{
    for (const char* mountPoint : {"/mnt/DATA", "/mnt/NOR6"}) {
        if (!fs::exists(mountPoint))
            Remount(mountPoint);
        for (const auto& entry : fs::directory_iterator(mountPoint))
            fs::remove_all(entry.path());
    }
}

}  // namespace vyrna_test
