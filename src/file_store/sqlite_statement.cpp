#include "file_store/sqlite_statement.h"

#include "file_store/statuses.h"

namespace quorvane::platform {
namespace {

// SQLite binds a null pointer as NULL; empty data needs a pointer that is not null.
constexpr std::uint8_t kNoBytes[1] = {0};

}  // namespace

ItemStatus statusOfSqlite(int resultCode) {
    switch (resultCode & 0xff) {
        case SQLITE_OK:
        case SQLITE_ROW:
        case SQLITE_DONE:
            return store_status::kSuccess;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return store_status::kBusy;
        case SQLITE_NOTADB:
            return store_status::kNotAStore;
        case SQLITE_CORRUPT:
            return store_status::kCorrupt;
        case SQLITE_CANTOPEN:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return store_status::kCannotOpen;
        case SQLITE_READONLY:
            return store_status::kReadOnly;
        case SQLITE_IOERR:
        case SQLITE_FULL:
            return store_status::kIoError;
        default:
            return store_status::kInternal;
    }
}

Statement::Statement(sqlite3* db, std::string_view sql)
    : prepareResult_(
          sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &statement_, nullptr)) {}

Statement::~Statement() { sqlite3_finalize(statement_); }

void Statement::bindBytes(int index, std::span<const std::uint8_t> bytes) {
    if (statement_ == nullptr) return;
    const void* data = bytes.empty() ? kNoBytes : bytes.data();
    sqlite3_bind_blob64(statement_, index, data, bytes.size(), SQLITE_STATIC);
}

void Statement::bindBytes(int index, std::string_view text) {
    bindBytes(index, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
}

void Statement::bindText(int index, std::string_view text) {
    if (statement_ == nullptr) return;
    const char* data = text.empty() ? reinterpret_cast<const char*>(kNoBytes) : text.data();
    sqlite3_bind_text64(statement_, index, data, text.size(), SQLITE_STATIC, SQLITE_UTF8);
}

void Statement::bindInteger(int index, std::int64_t value) {
    if (statement_ == nullptr) return;
    sqlite3_bind_int64(statement_, index, value);
}

void Statement::bindNull(int index) {
    if (statement_ == nullptr) return;
    sqlite3_bind_null(statement_, index);
}

int Statement::step() {
    // An empty or failed preparation leaves no statement; its result code stands for the step.
    if (statement_ == nullptr) return prepareResult_ == SQLITE_OK ? SQLITE_MISUSE : prepareResult_;
    return sqlite3_step(statement_);
}

std::span<const std::uint8_t> Statement::columnBytes(int column) {
    const void* data = sqlite3_column_blob(statement_, column);
    auto size = static_cast<std::size_t>(sqlite3_column_bytes(statement_, column));
    if (data == nullptr || size == 0) return {};
    return {static_cast<const std::uint8_t*>(data), size};
}

std::int64_t Statement::columnInteger(int column) {
    return sqlite3_column_int64(statement_, column);
}

bool Statement::columnIsNull(int column) {
    return sqlite3_column_type(statement_, column) == SQLITE_NULL;
}

Transaction::Transaction(sqlite3* db, bool write)
    : db_(db),
      beginResult_(
          sqlite3_exec(db, write ? "BEGIN IMMEDIATE" : "BEGIN", nullptr, nullptr, nullptr)) {}

Transaction::~Transaction() {
    // After some errors SQLite has rolled back already; ROLLBACK would then only fail.
    if (beginResult_ == SQLITE_OK && !committed_ && sqlite3_get_autocommit(db_) == 0) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
}

int Transaction::commit() {
    int result = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
    if (result == SQLITE_OK) committed_ = true;
    return result;
}

}  // namespace quorvane::platform
