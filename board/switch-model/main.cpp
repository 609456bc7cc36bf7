// zel-switch-model MOUNTPOINT [OPTIONS]: serves the switch model as a FUSE
// file system with the directories "mdio_bus" and "gpio", for the board
// sandbox to bind at their sysfs places. Runs in the foreground and single-
// threaded, so accesses are handled and logged in the order they arrive; it
// ends with its parent or on SIGTERM.
#define FUSE_USE_VERSION 31
#include <fuse.h>
#include "serve_fuse.h"

#include <sys/prctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <algorithm>
#include <cstring>
#include <set>
#include <string>

#include "switch_model.h"

namespace {

SwitchModel* g_model = nullptr;

// Per open file: the text of the last read at offset 0, so that a reader
// that reads in pieces sees one consistent value.
struct OpenFile {
    SwitchNode node;
    std::string text;
};

void* Init(fuse_conn_info* /*conn*/, fuse_config* config)
{
    // GPIO directories appear on export; never remember that a name was
    // missing.
    config->negative_timeout = 0;
    config->direct_io = 1;
    return nullptr;
}

int GetAttr(const char* path, struct stat* info, fuse_file_info* /*fi*/)
{
    const SwitchNode node = g_model->lookup(path);
    memset(info, 0, sizeof *info);
    switch (node.kind) {
    case SwitchNode::None: return -ENOENT;
    case SwitchNode::Directory:
        info->st_mode = S_IFDIR | 0755;
        info->st_nlink = 2;
        return 0;
    case SwitchNode::GpioExport: info->st_mode = S_IFREG | 0200; break;
    default: info->st_mode = S_IFREG | 0644; break;
    }
    info->st_nlink = 1;
    info->st_size = 4096;  // as sysfs attributes report
    return 0;
}

int ReadDir(const char* path, void* buffer, fuse_fill_dir_t fill, off_t /*offset*/,
            fuse_file_info* /*fi*/, fuse_readdir_flags /*flags*/)
{
    std::set<std::string> names;
    if (!g_model->list(path, names))
        return -ENOTDIR;
    fill(buffer, ".", nullptr, 0, fuse_fill_dir_flags(0));
    fill(buffer, "..", nullptr, 0, fuse_fill_dir_flags(0));
    for (const std::string& name : names)
        fill(buffer, name.c_str(), nullptr, 0, fuse_fill_dir_flags(0));
    return 0;
}

int Open(const char* path, fuse_file_info* fi)
{
    const SwitchNode node = g_model->lookup(path);
    if (node.kind == SwitchNode::None)
        return -ENOENT;
    if (node.kind == SwitchNode::Directory)
        return -EISDIR;
    fi->fh = reinterpret_cast<uint64_t>(new OpenFile{node, {}});
    fi->direct_io = 1;
    return 0;
}

int Release(const char* /*path*/, fuse_file_info* fi)
{
    delete reinterpret_cast<OpenFile*>(fi->fh);
    return 0;
}

int Read(const char* /*path*/, char* buffer, size_t size, off_t offset, fuse_file_info* fi)
{
    OpenFile* file = reinterpret_cast<OpenFile*>(fi->fh);
    if (offset == 0) {
        const int status = g_model->read(file->node, file->text);
        if (status < 0)
            return status;
    }
    if (size_t(offset) >= file->text.size())
        return 0;
    const size_t count = std::min(size, file->text.size() - size_t(offset));
    memcpy(buffer, file->text.data() + offset, count);
    return int(count);
}

int Write(const char* /*path*/, const char* buffer, size_t size, off_t offset,
          fuse_file_info* fi)
{
    // Like sysfs attributes: one write of the whole text at the start.
    if (offset != 0)
        return -EINVAL;
    const int status =
        g_model->write(reinterpret_cast<OpenFile*>(fi->fh)->node, std::string(buffer, size));
    return status < 0 ? status : int(size);
}

int Truncate(const char* path, off_t /*size*/, fuse_file_info* /*fi*/)
{
    // Shell redirections truncate first; attributes have nothing to cut.
    const SwitchNode node = g_model->lookup(path);
    if (node.kind == SwitchNode::None)
        return -ENOENT;
    return node.kind == SwitchNode::Directory ? -EISDIR : 0;
}

int Create(const char* /*path*/, mode_t /*mode*/, fuse_file_info* /*fi*/)
{
    return -EACCES;  // sysfs directories take no new files
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc < 2 || argc > 3) {
        fprintf(stderr, "usage: %s MOUNTPOINT [OPTIONS]\n", argv[0]);
        return 2;
    }
    // The sandbox that started the model owns it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);

    SwitchModelOptions options;
    const std::string error = options.parse(argc == 3 ? argv[2] : "");
    if (!error.empty()) {
        fprintf(stderr, "%s: %s\n", argv[0], error.c_str());
        return 2;
    }
    SwitchModel model(options);
    if (!model.logOpen()) {
        fprintf(stderr, "%s: cannot write the log %s: %s\n", argv[0], options.logPath.c_str(),
                strerror(errno));
        return 1;
    }
    g_model = &model;

    fuse_operations operations = {};
    operations.init = Init;
    operations.getattr = GetAttr;
    operations.readdir = ReadDir;
    operations.open = Open;
    operations.release = Release;
    operations.read = Read;
    operations.write = Write;
    operations.truncate = Truncate;
    operations.create = Create;

    return ServeFuse(argv[0], "zel-switch-model", operations, argv[1]);
}
