// zel-blocklog IMAGE LOG MOUNTPOINT: serves IMAGE as the one file
// MOUNTPOINT/card, for a loop device to put a file system on. Every write
// that reaches the card is applied to IMAGE and appended to LOG, every flush
// (the loop device turns a cache flush into an fsync of its file) too, each
// with the time it arrived, so that every state a power cut could leave on
// the card can be rebuilt from the image as it was and the log.
//
// A LOG record is a 24-byte header, little-endian: the kind ('W' write or
// 'F' flush), three zero bytes, the length (u32), the arrival time in
// CLOCK_REALTIME nanoseconds (u64) and the offset (u64); a write's bytes
// follow it. The layer is single-threaded, so records are in arrival order,
// and files are opened with direct I/O, so each write of the loop device
// arrives whole and at once.
#define FUSE_USE_VERSION 31
#include <fuse.h>
#include "serve_fuse.h"

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

const char kCardPath[] = "/card";

int g_image = -1;
int g_log = -1;

struct Record {
    char kind;
    char pad[3];
    uint32_t length;
    uint64_t timeNs;
    uint64_t offset;
};
static_assert(sizeof(Record) == 24, "the log's record header is 24 bytes");

bool WriteAll(int fd, const void* data, size_t size)
{
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t done = write(fd, bytes, size);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return false;
        bytes += done;
        size -= size_t(done);
    }
    return true;
}

bool Log(char kind, uint64_t offset, const char* data, size_t size)
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    Record record = {kind, {0, 0, 0}, uint32_t(size), uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec),
                     offset};
    return WriteAll(g_log, &record, sizeof record) && (size == 0 || WriteAll(g_log, data, size));
}

void* Init(fuse_conn_info* /*conn*/, fuse_config* config)
{
    config->direct_io = 1;
    config->attr_timeout = 0;
    return nullptr;
}

int GetAttr(const char* path, struct stat* info, fuse_file_info* /*fi*/)
{
    memset(info, 0, sizeof *info);
    if (strcmp(path, "/") == 0) {
        info->st_mode = S_IFDIR | 0755;
        info->st_nlink = 2;
        return 0;
    }
    if (strcmp(path, kCardPath) != 0)
        return -ENOENT;
    struct stat image;
    if (fstat(g_image, &image) != 0)
        return -errno;
    info->st_mode = S_IFREG | 0600;
    info->st_nlink = 1;
    info->st_size = image.st_size;
    return 0;
}

int ReadDir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t /*offset*/,
            fuse_file_info* /*fi*/, fuse_readdir_flags /*flags*/)
{
    if (strcmp(path, "/") != 0)
        return -ENOTDIR;
    fill(buffer, ".", nullptr, 0, fuse_fill_dir_flags(0));
    fill(buffer, "..", nullptr, 0, fuse_fill_dir_flags(0));
    fill(buffer, kCardPath + 1, nullptr, 0, fuse_fill_dir_flags(0));
    return 0;
}

int Open(const char* path, fuse_file_info* fi)
{
    if (strcmp(path, kCardPath) != 0)
        return -ENOENT;
    fi->direct_io = 1;
    return 0;
}

int Read(const char* /*path*/, char* buffer, size_t size, off_t offset, fuse_file_info* /*fi*/)
{
    const ssize_t done = pread(g_image, buffer, size, offset);
    return done < 0 ? -errno : int(done);
}

int Write(const char* /*path*/, const char* buffer, size_t size, off_t offset,
          fuse_file_info* /*fi*/)
{
    const ssize_t done = pwrite(g_image, buffer, size, offset);
    if (done < 0)
        return -errno;
    // A write the log cannot hold must fail: a state missing from the log
    // would pass unchecked.
    if (!Log('W', uint64_t(offset), buffer, size_t(done)))
        return -EIO;
    return int(done);
}

int Fsync(const char* /*path*/, int /*datasync*/, fuse_file_info* /*fi*/)
{
    return Log('F', 0, nullptr, 0) ? 0 : -EIO;
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc != 4) {
        fprintf(stderr, "usage: %s IMAGE LOG MOUNTPOINT\n", argv[0]);
        return 2;
    }
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    g_image = open(argv[1], O_RDWR | O_CLOEXEC);
    g_log = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
    if (g_image < 0 || g_log < 0) {
        fprintf(stderr, "%s: %s: %s\n", argv[0], g_image < 0 ? argv[1] : argv[2], strerror(errno));
        return 1;
    }

    fuse_operations operations = {};
    operations.init = Init;
    operations.getattr = GetAttr;
    operations.readdir = ReadDir;
    operations.open = Open;
    operations.read = Read;
    operations.write = Write;
    operations.fsync = Fsync;

    return ServeFuse(argv[0], "zel-blocklog", operations, argv[3]);
}
