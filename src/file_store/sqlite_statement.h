#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <span>
#include <string_view>

#include "file_store/statuses.h"

namespace quorvane::platform {

// statusOfSqlite maps an SQLite result code (primary or extended) to an item-store status:
// store_status::kSuccess for OK, ROW and DONE, otherwise one of store_status.
ItemStatus statusOfSqlite(int resultCode);

// Statement is one prepared statement, finalized on destruction. Bound data must outlive the
// statement's last step (it is bound without a copy). When preparing failed, binding does
// nothing and step returns the preparation's result code, so callers check once, after step.
class Statement {
  public:
    Statement(sqlite3* db, std::string_view sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // bindBytes binds data, an empty span as an empty blob (never as NULL).
    void bindBytes(int index, std::span<const std::uint8_t> bytes);
    void bindBytes(int index, std::string_view text);
    void bindText(int index, std::string_view text);
    void bindInteger(int index, std::int64_t value);
    void bindNull(int index);
    // step runs the statement one step: SQLITE_ROW, SQLITE_DONE or an error code.
    int step();
    std::span<const std::uint8_t> columnBytes(int column);
    std::int64_t columnInteger(int column);
    bool columnIsNull(int column);

  private:
    sqlite3_stmt* statement_ = nullptr;
    int prepareResult_;
};

// Transaction begins a transaction on construction (BEGIN IMMEDIATE for a writer, so two writers
// never both hold a read lock and deadlock on the upgrade) and rolls it back on destruction unless
// it was committed.
class Transaction {
  public:
    Transaction(sqlite3* db, bool write);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    // beginResult is the result code of BEGIN.
    int beginResult() const { return beginResult_; }
    // commit ends the transaction; a failed commit is rolled back on destruction.
    int commit();

  private:
    sqlite3* db_;
    int beginResult_;
    bool committed_ = false;
};

}  // namespace quorvane::platform
