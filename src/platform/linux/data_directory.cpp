#include "platform/linux/data_directory.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/linux/statuses.h"

namespace quorvane::platform {
namespace {

// absoluteEnvironment returns the variable's value when it is an absolute path. The XDG
// convention says relative values are invalid and must be ignored.
std::optional<std::filesystem::path> absoluteEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/') return std::nullopt;
    return std::filesystem::path(value);
}

std::optional<std::filesystem::path> passwordDatabaseHome() {
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 4096);
    passwd entry{};
    passwd* found = nullptr;
    while (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == ERANGE) {
        buffer.resize(buffer.size() * 2);
    }
    if (found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/') {
        return std::nullopt;
    }
    return std::filesystem::path(found->pw_dir);
}

}  // namespace

std::optional<std::filesystem::path> itemStorePath() {
    std::optional<std::filesystem::path> dataHome = absoluteEnvironment("XDG_DATA_HOME");
    if (!dataHome) {
        std::optional<std::filesystem::path> home = absoluteEnvironment("HOME");
        if (!home) home = passwordDatabaseHome();
        if (!home) return std::nullopt;
        dataHome = *home / ".local" / "share";
    }
    return *dataHome / "quorvane" / "keychain.sqlite3";
}

OSStatus makePrivateDirectory(const std::filesystem::path& directory) {
    std::filesystem::path partial;
    for (const std::filesystem::path& component : directory) {
        partial /= component;
        if (::mkdir(partial.c_str(), 0700) == 0) {
            // mkdir's mode passes through the umask; the directory must be private whatever it is.
            if (::chmod(partial.c_str(), 0700) != 0) return store_status::kDirectoryFailed;
            continue;
        }
        // Another helper may have made it a moment ago; any existing directory will do.
        struct stat info {};
        if (::stat(partial.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            return store_status::kDirectoryFailed;
        }
    }
    return errSecSuccess;
}

}  // namespace quorvane::platform
