#include "file_store/sqlite_store_open.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <mutex>

#include "file_store/sqlite_wiping_journal.h"

namespace quorvane::platform {
namespace {

// The file an open in progress must find at its path: whether the descriptor SQLite opened was
// looked at, and whether it was another file. Per thread, as SQLite opens a file on the thread
// that asked for it: item stores in other threads open theirs at the same time.
struct Expected {
    const PrivateStoreFile* file = nullptr;
    bool seen = false;
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
    expected.seen = true;
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

// stillAtPath tells whether the checked path, not following a final link, names the checked file.
bool stillAtPath(const PrivateStoreFile& checked) {
    struct stat info {};
    return ::lstat(checked.realPath.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
           info.st_dev == checked.device && info.st_ino == checked.inode;
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
    expected = {&checked, false, false};
    int result = sqlite3_open_v2(checked.realPath.c_str(), db, flags, vfsName);
    // SQLite opened no descriptor when it took one it kept open for the file at that path (a
    // connection of this process closed while another held a lock on the file), and opens none
    // that this hook knows when it spells the path otherwise. Then only the path can be checked.
    *replaced =
        expected.replaced || (result == SQLITE_OK && !expected.seen && !stillAtPath(checked));
    expected = {};
    return result;
}

}  // namespace quorvane::platform
