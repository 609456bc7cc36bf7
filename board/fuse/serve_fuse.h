// Serves a FUSE file system at a mount point until it is unmounted or the
// process gets SIGINT, SIGTERM or SIGHUP: the loop shared by the board's
// FUSE stand-ins. Define FUSE_USE_VERSION 31 before including <fuse.h>.
#pragma once

#include <string>

// Returns the exit status for main(): 0 once unmounted cleanly, 1 when the
// file system could not be made or mounted or its loop failed.
inline int ServeFuse(const char* program, const char* name, const fuse_operations& operations,
                     const char* mountPoint)
{
    const std::string names = std::string("fsname=") + name + ",subtype=" + name;
    char* fuseArgv[] = {const_cast<char*>(program), const_cast<char*>("-o"),
                        const_cast<char*>(names.c_str())};
    fuse_args args = FUSE_ARGS_INIT(3, fuseArgv);
    fuse* fs = fuse_new(&args, &operations, sizeof operations, nullptr);
    if (!fs)
        return 1;
    int status = 1;
    if (fuse_mount(fs, mountPoint) == 0) {
        fuse_session* session = fuse_get_session(fs);
        fuse_set_signal_handlers(session);
        status = fuse_loop(fs) == 0 ? 0 : 1;
        fuse_remove_signal_handlers(session);
        fuse_unmount(fs);
    }
    fuse_destroy(fs);
    fuse_opt_free_args(&args);
    return status;
}
