#include "file_store/sqlite_wiping_memory.h"

#include <sqlite3.h>

#include <cstdlib>
#include <cstring>
#include <mutex>

#include "crypto/secret_bytes.h"

namespace quorvane::platform {
namespace {

// Each block carries its usable size in a header; 16 bytes keep the payload aligned as malloc's.
constexpr std::size_t kHeader = 16;

void* wipingMalloc(int size) {
    if (size <= 0) return nullptr;
    auto* block =
        static_cast<unsigned char*>(std::malloc(kHeader + static_cast<std::size_t>(size)));
    if (block == nullptr) return nullptr;
    std::memcpy(block, &size, sizeof size);
    return block + kHeader;
}

int wipingSize(void* payload) {
    if (payload == nullptr) return 0;
    int size = 0;
    std::memcpy(&size, static_cast<unsigned char*>(payload) - kHeader, sizeof size);
    return size;
}

void wipingFree(void* payload) {
    if (payload == nullptr) return;
    auto* block = static_cast<unsigned char*>(payload) - kHeader;
    wipeMemory(payload, static_cast<std::size_t>(wipingSize(payload)));
    std::free(block);
}

// realloc cannot wipe the block it gives up, so growth always copies into a fresh block.
void* wipingRealloc(void* payload, int size) {
    if (payload == nullptr) return wipingMalloc(size);
    void* fresh = wipingMalloc(size);
    if (fresh == nullptr) return nullptr;
    int old = wipingSize(payload);
    std::memcpy(fresh, payload, static_cast<std::size_t>(old < size ? old : size));
    wipingFree(payload);
    return fresh;
}

int wipingRoundup(int size) { return (size + 7) & ~7; }
int wipingInit(void*) { return SQLITE_OK; }
void wipingShutdown(void*) {}

}  // namespace

void useWipingSqliteMemory() {
    static std::once_flag once;
    std::call_once(once, [] {
        static const sqlite3_mem_methods methods{wipingMalloc,   wipingFree,    wipingRealloc,
                                                 wipingSize,     wipingRoundup, wipingInit,
                                                 wipingShutdown, nullptr};
        // SQLITE_MISUSE here means SQLite is running already; it then keeps its own allocator.
        sqlite3_config(SQLITE_CONFIG_MALLOC, &methods);
    });
}

}  // namespace quorvane::platform
