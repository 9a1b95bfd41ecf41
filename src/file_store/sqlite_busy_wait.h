#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>

struct sqlite3;

namespace quorvane::platform {

// SqliteBusyWait decides how a helper waits when another helper holds the store's lock. SQLite's
// own busy timeout sleeps ever longer between tries (up to 100 ms) and gives up after a fixed
// time, however busy the store is: a helper that has waited a while tries rarely, newcomers try
// often and take the lock first, and with a few dozen helpers at work one of them can fail with
// "busy" although the others were making progress all along.
//
// Here a waiter tries again every few milliseconds, with jitter so waiters do not move in step,
// and gives up only when the store has not changed for `stallTimeout`: another helper's commit
// (the database file or its journal changing) starts the wait afresh. A store locked by a
// process that has stopped still fails after `stallTimeout`; a merely busy one never does.
class SqliteBusyWait {
  public:
    SqliteBusyWait(std::filesystem::path database, std::chrono::milliseconds stallTimeout);

    // install makes `db` wait this way; this object must outlive db's use.
    void install(sqlite3* db);

  private:
    // Called by SQLite with the number of times it was called for this lock; returns non-zero to
    // try again.
    static int onBusy(void* self, int attempts);
    bool keepWaiting(int attempts);
    // A value that changes whenever another helper commits (or starts or ends a transaction).
    std::uint64_t storeState() const;

    std::filesystem::path database_;
    std::filesystem::path journal_;
    std::chrono::milliseconds stallTimeout_;
    std::chrono::steady_clock::time_point lastChange_;
    std::uint64_t lastState_ = 0;
    std::uint32_t jitter_;
};

}  // namespace quorvane::platform
