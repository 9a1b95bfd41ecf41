#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>

#include "crypto/secret_bytes.h"
#include "file_store/data_directory.h"
#include "file_store/item_identity.h"
#include "file_store/sqlite_busy_wait.h"
#include "file_store/statuses.h"

struct sqlite3;

namespace quorvane::platform {

// A found item's contents: its value bytes and, for a key item, its access-control flags.
struct StoredItem {
    SecretBytes value;
    std::int64_t accessControlFlags = 0;
    // When the value was written (generic passwords). A row written before the store kept times
    // has none of its own: it gets the time the file last changed before the store learnt to keep
    // them, the latest it can have been written (nothing when even that is unknown).
    std::optional<std::int64_t> modifiedMilliseconds;
};

// StoreDatabase keeps generic passwords and key items in one SQLite database file, shared by
// every helper process of the user. Each operation is one transaction (writes take the write lock
// at once), so concurrent processes see an item either before or after another's change, and a
// process killed mid-change leaves the item as it was before. A process that finds the store
// locked waits as long as other processes go on changing it, and fails with store_status::kBusy
// once the store has stood still, locked, for the stall timeout (see SqliteBusyWait).
//
// The store is opened for each operation and closed after it, so no stored value stays in
// SQLite's memory between operations, and the place is checked afresh each time: a store whose
// directory or file is not private to the user is refused with store_status::kNotPrivate (see
// checkStorePlace). Only add creates anything: the directory (0700) and the file (0600), whatever
// the umask. When the file is absent, the other operations answer
// store_status::kNotFound without creating it. A file that exists but is not this helper's store is
// never replaced: every operation then fails with a status of store_status (statuses.h) and
// leaves the file as it is. Failures leave the store unchanged.
//
// Not thread-safe: one thread at a time per object (the helper does all its work on one thread).
class StoreDatabase {
  public:
    static constexpr std::chrono::milliseconds kDefaultStallTimeout{10000};

    // `path` is the database file; nothing makes every operation fail with kNoLocation.
    explicit StoreDatabase(std::optional<std::filesystem::path> path,
                           std::chrono::milliseconds stallTimeout = kDefaultStallTimeout);
    ~StoreDatabase();
    StoreDatabase(const StoreDatabase&) = delete;
    StoreDatabase& operator=(const StoreDatabase&) = delete;

    // add creates the item; store_status::kDuplicate when one with this identity exists (left as it
    // was); kBadAttributes when `contents` carries no value.
    ItemStatus add(const ItemIdentity& identity, const ItemContents& contents);
    // update replaces the contents that `changes` carries in the item with this identity;
    // store_status::kNotFound when there is none.
    ItemStatus update(const ItemIdentity& identity, const ItemContents& changes);
    // find copies the item's contents into `found`, which is left untouched on any status but
    // store_status::kSuccess; store_status::kNotFound when there is no such item.
    ItemStatus find(const ItemIdentity& identity, StoredItem* found);
    // remove deletes the item; store_status::kNotFound when there is none.
    ItemStatus remove(const ItemIdentity& identity);

  private:
    enum class Access { read, write, create };
    // inTransaction opens the store, runs `body` in one transaction and closes the store again.
    template <class Body>
    ItemStatus inTransaction(Access access, Body body);
    template <class Body>
    ItemStatus inOpenTransaction(Access access, Body body);
    // open opens the database; with `create` it first makes the directory and the file.
    // Sets `absent` when the file does not exist and `create` is false.
    ItemStatus open(bool create, bool* absent);
    // prepareSchema checks that the open database is our store, creating the tables in an empty
    // database when `create` is set, and bringing a format-1 store to format 2 when `write` is
    // set; sets `present` when the tables are there.
    ItemStatus prepareSchema(bool create, bool write, bool* present);
    // fileChangedMilliseconds is when the open store file last changed, or nothing when it cannot
    // be looked at (or is no longer the file that was opened).
    std::optional<std::int64_t> fileChangedMilliseconds() const;

    std::optional<std::filesystem::path> path_;
    std::chrono::milliseconds stallTimeout_;
    sqlite3* db_ = nullptr;
    // How db_ waits for a lock another process holds; made for the file opened.
    std::optional<SqliteBusyWait> busyWait_;
    // The file db_ has open.
    PrivateStoreFile opened_;
    // Whether the open store keeps write times (format 2); a format-1 store read without
    // writing has none, and is upgraded by the first write.
    bool datedRows_ = false;
};

}  // namespace quorvane::platform
