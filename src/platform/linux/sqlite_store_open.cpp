#include "platform/linux/sqlite_store_open.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/linux/sqlite_wiping_journal.h"

namespace quorvane::platform {
namespace {

// The file an open in progress must find at its path, and whether it found another. Per thread:
// SQLite opens in the thread that asked, and another thread's open must not clear or replace it.
struct Expected {
    const PrivateStoreFile* file = nullptr;
    bool replaced = false;
};
thread_local Expected expected;

sqlite3_syscall_ptr systemOpen = nullptr;

// checkedOpen is the unix VFS's open: SQLite opens every file through it. Re-checking the path
// after SQLite opened it would leave a moment in which the path could be swapped back; looking at
// the descriptor SQLite is about to use leaves none.
int checkedOpen(const char* path, int flags, int mode) {
    int fd = reinterpret_cast<int (*)(const char*, int, int)>(systemOpen)(path, flags, mode);
    if (fd < 0 || expected.file == nullptr ||
        std::strcmp(path, expected.file->realPath.c_str()) != 0) {
        return fd;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_dev != expected.file->device ||
        info.st_ino != expected.file->inode) {
        ::close(fd);
        expected.replaced = true;
        errno = EACCES;
        return -1;
    }
    return fd;
}

}  // namespace

int openCheckedStore(const PrivateStoreFile& checked, int flags, sqlite3** db, bool* replaced) {
    const char* vfsName = wipingJournalVfs();
    static std::once_flag once;
    std::call_once(once, [vfsName] {
        sqlite3_vfs* vfs = sqlite3_vfs_find(vfsName);
        if (vfs == nullptr || vfs->iVersion < 3 || vfs->xSetSystemCall == nullptr) return;
        systemOpen = vfs->xGetSystemCall(vfs, "open");
        if (systemOpen != nullptr &&
            vfs->xSetSystemCall(vfs, "open", reinterpret_cast<sqlite3_syscall_ptr>(checkedOpen)) !=
                SQLITE_OK) {
            systemOpen = nullptr;
        }
    });
    // Without the hook the open cannot be checked, so it is not made.
    if (systemOpen == nullptr) {
        *db = nullptr;
        return SQLITE_CANTOPEN;
    }
    expected = {&checked, false};
    int result = sqlite3_open_v2(checked.realPath.c_str(), db, flags, vfsName);
    *replaced = expected.replaced;
    expected = {};
    return result;
}

}  // namespace quorvane::platform
