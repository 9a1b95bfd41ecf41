#pragma once

#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

// Direct access to a helper's item store file, for tests that must see or shape what is on disk.
namespace quorvane::testing {

inline std::filesystem::path storeFile(const std::string& dataHome) {
    return std::filesystem::path(dataHome) / "quorvane" / "keychain.sqlite3";
}

inline std::string fileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// writeFile makes a file private to the user (mode 0600), as the helper's own store files are.
inline void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
    std::filesystem::permissions(
        path, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

// StoreDatabase opens an existing store file with SQLite for inspection or tampering.
class StoreDatabase {
  public:
    explicit StoreDatabase(const std::filesystem::path& path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
            throw std::runtime_error("cannot open store");
        }
        sqlite3_busy_timeout(db_, 10000);
    }
    ~StoreDatabase() { sqlite3_close_v2(db_); }
    StoreDatabase(const StoreDatabase&) = delete;
    StoreDatabase& operator=(const StoreDatabase&) = delete;

    // text runs a query and returns its first column of the first row as text ("" for none).
    std::string text(const std::string& sql) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
            throw std::runtime_error(sqlite3_errmsg(db_));
        }
        std::string result;
        if (sqlite3_step(statement) == SQLITE_ROW) {
            const void* data = sqlite3_column_blob(statement, 0);
            result.assign(static_cast<const char*>(data ? data : ""),
                          static_cast<std::size_t>(sqlite3_column_bytes(statement, 0)));
        }
        sqlite3_finalize(statement);
        return result;
    }

    // setValue replaces the raw value bytes of the generic password (service, account).
    void setValue(const std::string& service, const std::string& account,
                  const std::string& value) {
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db_,
                           "UPDATE generic_passwords SET value = ?3 WHERE service = ?1 AND "
                           "account = ?2",
                           -1, &statement, nullptr);
        sqlite3_bind_blob(statement, 1, service.data(), static_cast<int>(service.size()),
                          SQLITE_TRANSIENT);
        sqlite3_bind_blob(statement, 2, account.data(), static_cast<int>(account.size()),
                          SQLITE_TRANSIENT);
        sqlite3_bind_blob(statement, 3, value.data(), static_cast<int>(value.size()),
                          SQLITE_TRANSIENT);
        int result = sqlite3_step(statement);
        sqlite3_finalize(statement);
        if (result != SQLITE_DONE || sqlite3_changes(db_) != 1) {
            throw std::runtime_error("no such item to tamper with");
        }
    }

  private:
    sqlite3* db_ = nullptr;
};

}  // namespace quorvane::testing
