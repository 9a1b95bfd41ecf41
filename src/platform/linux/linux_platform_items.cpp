#include "platform/linux/linux_platform.h"

namespace quorvane::platform {

class SqliteItemStore {};

LinuxPlatform::LinuxPlatform() = default;
LinuxPlatform::~LinuxPlatform() = default;

SqliteItemStore& LinuxPlatform::store() {
    if (!store_) store_ = std::make_unique<SqliteItemStore>();
    return *store_;
}

OSStatus LinuxPlatform::itemAdd(const AttributeSet&) { return -1; }
OSStatus LinuxPlatform::itemUpdate(const AttributeSet&, const AttributeSet&) { return -1; }
OSStatus LinuxPlatform::itemCopyMatching(const AttributeSet&, ItemResult*) { return -1; }
OSStatus LinuxPlatform::itemDelete(const AttributeSet&) { return -1; }

Platform& defaultPlatform() {
    static LinuxPlatform platform;
    return platform;
}

}  // namespace quorvane::platform
