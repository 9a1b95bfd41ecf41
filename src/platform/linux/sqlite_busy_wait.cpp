#include "platform/linux/sqlite_busy_wait.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

namespace quorvane::platform {
namespace {

// What stat says about a file that changes when it is written, replaced, made or removed.
// stat only: opening and closing the database here would drop the POSIX locks SQLite holds on it.
std::uint64_t fileState(const std::filesystem::path& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) return 0x9e3779b97f4a7c15ULL;
    std::uint64_t state = static_cast<std::uint64_t>(info.st_ino);
    for (std::uint64_t part :
         {static_cast<std::uint64_t>(info.st_size), static_cast<std::uint64_t>(info.st_mtim.tv_sec),
          static_cast<std::uint64_t>(info.st_mtim.tv_nsec),
          static_cast<std::uint64_t>(info.st_ctim.tv_nsec)}) {
        state = (state ^ part) * 0x100000001b3ULL;
    }
    return state;
}

}  // namespace

SqliteBusyWait::SqliteBusyWait(std::filesystem::path database,
                               std::chrono::milliseconds stallTimeout)
    : database_(std::move(database)),
      journal_(database_.string() + "-journal"),
      stallTimeout_(stallTimeout),
      jitter_(static_cast<std::uint32_t>(::getpid()) * 2654435761U) {}

void SqliteBusyWait::install(sqlite3* db) {
    sqlite3_busy_handler(db, &SqliteBusyWait::onBusy, this);
}

int SqliteBusyWait::onBusy(void* self, int attempts) {
    return static_cast<SqliteBusyWait*>(self)->keepWaiting(attempts) ? 1 : 0;
}

std::uint64_t SqliteBusyWait::storeState() const {
    return fileState(database_) * 31 + fileState(journal_);
}

bool SqliteBusyWait::keepWaiting(int attempts) {
    const auto now = std::chrono::steady_clock::now();
    const std::uint64_t state = storeState();
    if (attempts == 0 || state != lastState_) {
        lastState_ = state;
        lastChange_ = now;
    } else if (now - lastChange_ >= stallTimeout_) {
        return false;
    }
    // 1, 2, 4 then 8 ms, each between half and the whole of it: short enough that a helper which
    // has waited long tries as often as one that just came, long enough to leave the processor to
    // the helper holding the lock.
    jitter_ = jitter_ * 1664525U + 1013904223U;
    const long ceilingMicroseconds = 1000L << std::min(attempts, 3);
    const long micros = ceilingMicroseconds / 2 + (jitter_ >> 8) % (ceilingMicroseconds / 2 + 1);
    const struct timespec pause = {0, micros * 1000};
    ::nanosleep(&pause, nullptr);
    return true;
}

}  // namespace quorvane::platform
