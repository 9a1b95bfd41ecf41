#include "file_store/store_database.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <string>

#include "file_store/data_directory.h"
#include "file_store/sqlite_statement.h"
#include "file_store/sqlite_store_open.h"
#include "file_store/sqlite_wiping_journal.h"
#include "file_store/sqlite_wiping_memory.h"
#include "file_store/statuses.h"

namespace quorvane::platform {
namespace {

// Marks a database as this helper's item store ("QVKC"), so another program's SQLite file put at
// our path is refused instead of being written into.
constexpr std::int64_t kApplicationId = 0x51564B43;
constexpr std::int64_t kSchemaVersion = 2;
// Format 1 had no write times; it is read as it is and upgraded by the first write.
constexpr std::int64_t kUndatedSchemaVersion = 1;

// Service, account and group are kept as blobs so they compare byte for byte, exactly as given.
// An absent access group is stored as has_access_group = 0 with an empty group, which keeps it
// distinct from a present empty group inside the primary key (NULLs would never collide).
constexpr const char* kCreateSchema = R"sql(
CREATE TABLE generic_passwords (
    service BLOB NOT NULL,
    account BLOB NOT NULL,
    has_access_group INTEGER NOT NULL,
    access_group BLOB NOT NULL,
    value BLOB NOT NULL,
    accessible TEXT,
    modified INTEGER,
    PRIMARY KEY (service, account, has_access_group, access_group)
) STRICT;
CREATE TABLE key_items (
    key_type TEXT NOT NULL,
    application_tag BLOB NOT NULL,
    value BLOB NOT NULL,
    access_control_flags INTEGER NOT NULL,
    PRIMARY KEY (key_type, application_tag)
) STRICT;
PRAGMA application_id = 1364609859;
PRAGMA user_version = 2;
)sql";
constexpr const char* kAddWriteTimes = R"sql(
ALTER TABLE generic_passwords ADD COLUMN modified INTEGER;
PRAGMA user_version = 2;
)sql";
// The rows of a format-1 store were all written by the time the file last changed: that time is
// what they keep once the store keeps times. Left without one, they would take the time of the
// upgrading write itself at their next load, and an old copy could then win over a newer one in
// the desktop keyring and overwrite it there.
constexpr const char* kDateUndatedRows = "UPDATE generic_passwords SET modified = ?1";
static_assert(kApplicationId == 1364609859);

// Where an identity's item lives and how its columns are named; identity parameters are ?1.. in
// the order bindIdentity binds them.
struct Table {
    const char* name;
    const char* identityColumns;
    const char* identityPlaceholders;
    const char* matchesIdentity;
};

constexpr Table kGenericPasswords{
    "generic_passwords", "service, account, has_access_group, access_group", "?1, ?2, ?3, ?4",
    "service = ?1 AND account = ?2 AND has_access_group = ?3 AND access_group = ?4"};
constexpr Table kKeyItems{"key_items", "key_type, application_tag", "?1, ?2",
                          "key_type = ?1 AND application_tag = ?2"};

const Table& tableOf(const ItemIdentity& identity) {
    return std::holds_alternative<KeyIdentity>(identity) ? kKeyItems : kGenericPasswords;
}

void bindIdentity(Statement& statement, const ItemIdentity& identity) {
    if (const auto* key = std::get_if<KeyIdentity>(&identity)) {
        statement.bindText(1, key->keyType);
        statement.bindBytes(2, key->applicationTag);
        return;
    }
    const auto& password = std::get<GenericPasswordIdentity>(identity);
    statement.bindBytes(1, password.service);
    statement.bindBytes(2, password.account);
    statement.bindInteger(3, password.accessGroup ? 1 : 0);
    statement.bindBytes(4, password.accessGroup ? std::string_view(*password.accessGroup) : "");
}

int singleInteger(sqlite3* db, const char* sql, std::int64_t* out) {
    Statement statement(db, sql);
    int result = statement.step();
    if (result != SQLITE_ROW) return result;
    *out = statement.columnInteger(0);
    return SQLITE_OK;
}

}  // namespace

StoreDatabase::StoreDatabase(std::optional<std::filesystem::path> path,
                             std::chrono::milliseconds stallTimeout)
    : path_(std::move(path)), stallTimeout_(stallTimeout) {}

StoreDatabase::~StoreDatabase() { sqlite3_close_v2(db_); }

namespace {

// removeJournalResidue wipes and removes a journal that SQLite will never roll back nor remove:
// one whose header is zero, left by a helper killed while it was wiping its journal, with old
// values still in its body. It works under the write lock, so a journal another helper is writing
// right now is never taken for residue; taking the lock first rolls back a hot journal, which
// SQLite then removes (wiped, through the VFS). Nothing to do, and no lock taken, when there is
// no journal (the common case). A store that cannot be locked now (busy, read-only) keeps it
// until a later open.
void removeJournalResidue(sqlite3* db, const std::filesystem::path& database) {
    const std::string journal = database.string() + "-journal";
    struct stat info {};
    if (::lstat(journal.c_str(), &info) != 0) return;
    if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return;
    if (::lstat(journal.c_str(), &info) == 0 && S_ISREG(info.st_mode)) {
        wipeAndRemove(journal.c_str());
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
}

}  // namespace

ItemStatus StoreDatabase::open(bool create, bool* absent) {
    if (db_ != nullptr) return store_status::kSuccess;
    if (!path_) return store_status::kNoLocation;

    PrivateStoreFile checked;
    ItemStatus status = checkStorePlace(*path_, create, absent, &checked);
    if (status != store_status::kSuccess || *absent) return status;

    useWipingSqliteMemory();
    // Without SQLITE_OPEN_CREATE: a file removed since the check above is an error, never a
    // fresh empty store made behind the caller's back. The path has no symbolic link left, and
    // NOFOLLOW keeps SQLite from following one put there since.
    sqlite3* db = nullptr;
    bool replaced = false;
    int result =
        openCheckedStore(checked, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW, &db, &replaced);
    if (replaced) {  // swapped between the check and the open
        sqlite3_close_v2(db);
        return store_status::kCannotOpen;
    }
    if (result != SQLITE_OK) {
        sqlite3_close_v2(db);
        return statusOfSqlite(result);
    }
    busyWait_.emplace(checked.realPath, stallTimeout_);
    busyWait_->install(db);
    sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
    // FULL: a commit is on disk when it returns, and a crash at any point leaves the old or the
    // new contents. secure_delete overwrites removed values in the file instead of leaving them
    // in free pages. temp_store keeps statement journals, which hold old values too, in (wiped)
    // memory instead of temporary files.
    result = sqlite3_exec(db,
                          "PRAGMA synchronous = FULL; PRAGMA secure_delete = ON; "
                          "PRAGMA temp_store = MEMORY;",
                          nullptr, nullptr, nullptr);
    if (result != SQLITE_OK) {
        sqlite3_close_v2(db);
        return statusOfSqlite(result);
    }
    removeJournalResidue(db, checked.realPath);
    db_ = db;
    opened_ = std::move(checked);
    return store_status::kSuccess;
}

ItemStatus StoreDatabase::prepareSchema(bool create, bool write, bool* present) {
    std::int64_t applicationId = 0;
    std::int64_t version = 0;
    std::int64_t objects = 0;
    int result = singleInteger(db_, "PRAGMA application_id", &applicationId);
    if (result == SQLITE_OK) result = singleInteger(db_, "PRAGMA user_version", &version);
    if (result == SQLITE_OK) {
        result = singleInteger(db_, "SELECT count(*) FROM sqlite_schema", &objects);
    }
    if (result != SQLITE_OK) return statusOfSqlite(result);

    if (applicationId == kApplicationId) {
        if (version > kSchemaVersion) return store_status::kNewerFormat;
        if (version == kUndatedSchemaVersion && write) {
            // Read before anything is written: this write changes the file too.
            const std::optional<std::int64_t> lastChange = fileChangedMilliseconds();
            result = sqlite3_exec(db_, kAddWriteTimes, nullptr, nullptr, nullptr);
            if (result != SQLITE_OK) return statusOfSqlite(result);
            if (lastChange) {
                Statement dating(db_, kDateUndatedRows);
                dating.bindInteger(1, *lastChange);
                result = dating.step();
                if (result != SQLITE_DONE) return statusOfSqlite(result);
            }
            version = kSchemaVersion;
        }
        if (version != kSchemaVersion && version != kUndatedSchemaVersion) {
            return store_status::kCorrupt;
        }
        datedRows_ = version == kSchemaVersion;
        *present = true;
        return store_status::kSuccess;
    }
    // Only a database with nothing in it (a file just made, or left empty by a helper that was
    // stopped before its first commit) becomes a store.
    if (applicationId != 0 || objects != 0) return store_status::kNotAStore;
    if (!create) return store_status::kSuccess;
    result = sqlite3_exec(db_, kCreateSchema, nullptr, nullptr, nullptr);
    if (result != SQLITE_OK) return statusOfSqlite(result);
    datedRows_ = true;
    *present = true;
    return store_status::kSuccess;
}

std::optional<std::int64_t> StoreDatabase::fileChangedMilliseconds() const {
    // Asked inside a transaction: no other helper can commit a change meanwhile.
    struct stat info {};
    if (::stat(opened_.realPath.c_str(), &info) != 0 || info.st_dev != opened_.device ||
        info.st_ino != opened_.inode) {
        return std::nullopt;
    }
    return std::int64_t{info.st_mtim.tv_sec} * 1000 + info.st_mtim.tv_nsec / 1000000;
}

template <class Body>
ItemStatus StoreDatabase::inTransaction(Access access, Body body) {
    ItemStatus status = inOpenTransaction(access, body);
    // The page cache, the lookaside slots and the statements' buffers held stored values (the
    // presence key's private bytes among them). Closing hands all of it to the wiping allocator,
    // so a serving helper keeps no stored value between operations. Reopening costs far less than
    // the operations that use the store.
    sqlite3_close_v2(db_);
    db_ = nullptr;
    return status;
}

template <class Body>
ItemStatus StoreDatabase::inOpenTransaction(Access access, Body body) {
    bool absent = false;
    ItemStatus status = open(access == Access::create, &absent);
    if (status != store_status::kSuccess) return status;
    if (absent) return store_status::kNotFound;

    Transaction transaction(db_, access != Access::read);
    if (transaction.beginResult() != SQLITE_OK) return statusOfSqlite(transaction.beginResult());
    bool present = false;
    status = prepareSchema(access == Access::create, access != Access::read, &present);
    if (status != store_status::kSuccess) return status;
    if (!present) return store_status::kNotFound;

    status = body();
    if (status != store_status::kSuccess) return status;  // rolled back on the way out
    return statusOfSqlite(transaction.commit());
}

ItemStatus StoreDatabase::add(const ItemIdentity& identity, const ItemContents& contents) {
    if (!contents.value) return store_status::kBadAttributes;
    return inTransaction(Access::create, [&]() -> ItemStatus {
        const Table& table = tableOf(identity);
        const bool isKey = std::holds_alternative<KeyIdentity>(identity);
        std::string sql =
            std::string("INSERT INTO ") + table.name + " (" + table.identityColumns +
            (isKey ? ", value, access_control_flags" : ", value, accessible, modified") +
            ") VALUES (" + table.identityPlaceholders + (isKey ? ", ?5, ?6)" : ", ?5, ?6, ?8)");
        Statement statement(db_, sql);
        bindIdentity(statement, identity);
        statement.bindBytes(5, contents.value->span());
        if (isKey) {
            statement.bindInteger(6, contents.accessControlFlags.value_or(0));
        } else {
            if (contents.accessible) {
                statement.bindText(6, *contents.accessible);
            } else {
                statement.bindNull(6);
            }
            if (contents.modifiedMilliseconds) {
                statement.bindInteger(8, *contents.modifiedMilliseconds);
            } else {
                statement.bindNull(8);
            }
        }
        int result = statement.step();
        if (result == SQLITE_CONSTRAINT &&
            sqlite3_extended_errcode(db_) == SQLITE_CONSTRAINT_PRIMARYKEY) {
            return store_status::kDuplicate;
        }
        return statusOfSqlite(result);
    });
}

ItemStatus StoreDatabase::update(const ItemIdentity& identity, const ItemContents& changes) {
    return inTransaction(Access::write, [&]() -> ItemStatus {
        const Table& table = tableOf(identity);
        const bool isKey = std::holds_alternative<KeyIdentity>(identity);
        // Parameters ?5.. follow the identity's; "value = value" keeps the statement valid (and
        // still counts the match) when nothing this class keeps is to change.
        std::string sql = std::string("UPDATE ") + table.name +
                          " SET value = " + (changes.value ? "?5" : "value");
        if (!isKey && changes.accessible) sql += ", accessible = ?6";
        if (isKey && changes.accessControlFlags) sql += ", access_control_flags = ?7";
        if (!isKey && changes.modifiedMilliseconds) sql += ", modified = ?8";
        sql += std::string(" WHERE ") + table.matchesIdentity;
        Statement statement(db_, sql);
        bindIdentity(statement, identity);
        if (changes.value) statement.bindBytes(5, changes.value->span());
        if (!isKey && changes.accessible) statement.bindText(6, *changes.accessible);
        if (isKey && changes.accessControlFlags)
            statement.bindInteger(7, *changes.accessControlFlags);
        if (!isKey && changes.modifiedMilliseconds) {
            statement.bindInteger(8, *changes.modifiedMilliseconds);
        }
        int result = statement.step();
        if (result != SQLITE_DONE) return statusOfSqlite(result);
        return sqlite3_changes(db_) > 0 ? store_status::kSuccess : store_status::kNotFound;
    });
}

ItemStatus StoreDatabase::find(const ItemIdentity& identity, StoredItem* found) {
    StoredItem item;
    ItemStatus status = inTransaction(Access::read, [&]() -> ItemStatus {
        const Table& table = tableOf(identity);
        const bool isKey = std::holds_alternative<KeyIdentity>(identity);
        const char* modified = !isKey && datedRows_ ? "modified" : "NULL";
        std::string sql = std::string("SELECT value, ") + (isKey ? "access_control_flags" : "0") +
                          ", " + modified + " FROM " + table.name + " WHERE " +
                          table.matchesIdentity;
        Statement statement(db_, sql);
        bindIdentity(statement, identity);
        int result = statement.step();
        if (result == SQLITE_DONE) return store_status::kNotFound;
        if (result != SQLITE_ROW) return statusOfSqlite(result);
        item.value = SecretBytes::copyOf(statement.columnBytes(0));
        item.accessControlFlags = statement.columnInteger(1);
        if (!statement.columnIsNull(2)) {
            item.modifiedMilliseconds = statement.columnInteger(2);
        } else if (!isKey) {
            item.modifiedMilliseconds = fileChangedMilliseconds();
        }
        return store_status::kSuccess;
    });
    if (status == store_status::kSuccess) *found = std::move(item);
    return status;
}

ItemStatus StoreDatabase::remove(const ItemIdentity& identity) {
    return inTransaction(Access::write, [&]() -> ItemStatus {
        const Table& table = tableOf(identity);
        std::string sql =
            std::string("DELETE FROM ") + table.name + " WHERE " + table.matchesIdentity;
        Statement statement(db_, sql);
        bindIdentity(statement, identity);
        int result = statement.step();
        if (result != SQLITE_DONE) return statusOfSqlite(result);
        return sqlite3_changes(db_) > 0 ? store_status::kSuccess : store_status::kNotFound;
    });
}

}  // namespace quorvane::platform
