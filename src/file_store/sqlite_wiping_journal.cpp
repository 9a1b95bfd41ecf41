#include "file_store/sqlite_wiping_journal.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>

namespace quorvane::platform {
namespace {

constexpr const char* kName = "quorvane-wiping-journal";
constexpr off_t kHeadBytes = 4096;

sqlite3_vfs* baseVfs = nullptr;
sqlite3_vfs wipingVfs{};

bool writeZeros(int fd, off_t from, off_t to) {
    static const char zeros[64 * 1024] = {};
    while (from < to) {
        std::size_t chunk = static_cast<std::size_t>(std::min<off_t>(to - from, sizeof zeros));
        ssize_t written = ::pwrite(fd, zeros, chunk, from);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        from += written;
    }
    return true;
}

// overwrite zeroes the regular file at `path`, head first (see the header). Best effort: a file
// that cannot be opened or written is deleted all the same.
void overwrite(const char* path) {
    int fd = ::open(path, O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return;
    struct stat info {};
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && info.st_size > 0) {
        off_t head = std::min(info.st_size, kHeadBytes);
        if (writeZeros(fd, 0, head) && ::fdatasync(fd) == 0 && head < info.st_size &&
            writeZeros(fd, head, info.st_size)) {
            (void)::fdatasync(fd);
        }
    }
    ::close(fd);
}

int wipingDelete(sqlite3_vfs*, const char* path, int syncDirectory) {
    overwrite(path);
    return baseVfs->xDelete(baseVfs, path, syncDirectory);
}

}  // namespace

void wipeAndRemove(const char* path) {
    overwrite(path);
    ::unlink(path);
}

const char* wipingJournalVfs() {
    static std::once_flag once;
    static const char* name = nullptr;
    std::call_once(once, [] {
        baseVfs = sqlite3_vfs_find(nullptr);
        if (baseVfs == nullptr) return;
        // A copy of the default VFS, its own data (the unix VFS keeps its I/O method finder
        // there) included, so every other method runs exactly as before.
        wipingVfs = *baseVfs;
        wipingVfs.pNext = nullptr;
        wipingVfs.zName = kName;
        wipingVfs.xDelete = wipingDelete;
        if (sqlite3_vfs_register(&wipingVfs, 0) == SQLITE_OK) name = kName;
    });
    return name;
}

}  // namespace quorvane::platform
