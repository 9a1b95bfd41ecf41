#include "file_store/data_directory.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "file_store/statuses.h"

namespace quorvane::platform {
namespace {

// absoluteEnvironment returns the variable's value when it is an absolute path. The XDG
// convention says relative values are invalid and must be ignored.
std::optional<std::filesystem::path> absoluteEnvironment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || value[0] != '/') return std::nullopt;
    return std::filesystem::path(value);
}

// A user database entry with the buffer its strings live in.
struct UserEntry {
    passwd entry{};
    std::vector<char> buffer;
};

std::optional<UserEntry> userEntry(uid_t uid) {
    long suggested = sysconf(_SC_GETPW_R_SIZE_MAX);
    UserEntry user;
    user.buffer.resize(suggested > 0 ? static_cast<std::size_t>(suggested) : 4096);
    passwd* found = nullptr;
    while (getpwuid_r(uid, &user.entry, user.buffer.data(), user.buffer.size(), &found) == ERANGE) {
        user.buffer.resize(user.buffer.size() * 2);
    }
    if (found == nullptr) return std::nullopt;
    return user;
}

std::optional<std::filesystem::path> passwordDatabaseHome() {
    std::optional<UserEntry> user = userEntry(getuid());
    if (!user || user->entry.pw_dir == nullptr || user->entry.pw_dir[0] != '/') {
        return std::nullopt;
    }
    return std::filesystem::path(user->entry.pw_dir);
}

// The file descriptor of one step of the walk, closed when the walk moves on or ends.
class Descriptor {
  public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        std::swap(fd_, other.fd_);
        return *this;
    }
    bool valid() const { return fd_ >= 0; }
    int get() const { return fd_; }

  private:
    int fd_;
};

// groupIsPrivate tells whether `gid` is the user's private group: the user's primary group,
// named after the user, listing no other member. Many systems give every user such a group and
// a umask that keeps group bits, so group access to it reaches nobody else.
bool groupIsPrivate(gid_t gid) {
    if (gid != getegid()) return false;
    std::optional<UserEntry> user = userEntry(geteuid());
    if (!user || user->entry.pw_name == nullptr) return false;
    long suggested = sysconf(_SC_GETGR_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 4096);
    group entry{};
    group* found = nullptr;
    while (getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) == ERANGE) {
        buffer.resize(buffer.size() * 2);
    }
    if (found == nullptr || found->gr_name == nullptr) return false;
    if (std::strcmp(found->gr_name, user->entry.pw_name) != 0) return false;
    for (char** member = found->gr_mem; member != nullptr && *member != nullptr; ++member) {
        if (std::strcmp(*member, user->entry.pw_name) != 0) return false;
    }
    return true;
}

// accessAcl tells whether the file open as `fd` carries an access ACL beyond its mode bits, or
// nothing when that cannot be known. With one, the mode's group bits are the ACL's mask: the most
// that any named user or group is granted. `fd` may be an O_PATH descriptor of a directory, which
// is reopened for reading (fgetxattr refuses O_PATH descriptors); a file's descriptor must be one
// opened for reading. Asks the descriptor, not a path, so it holds without /proc and cannot be
// sent elsewhere by a rename.
std::optional<bool> accessAcl(int fd, const struct stat& info) {
    Descriptor reopened;
    if (S_ISDIR(info.st_mode)) {
        reopened = Descriptor(::openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!reopened.valid()) return std::nullopt;
        fd = reopened.get();
    }
    ssize_t size = ::fgetxattr(fd, "system.posix_acl_access", nullptr, 0);
    if (size >= 0) return size > 0;
    // No ACL, or a file system where ACLs cannot exist. Anything else leaves it unknown.
    if (errno == ENODATA || errno == ENOTSUP) return false;
    return std::nullopt;
}

// openToOthers tells whether a user other than the owner has any of `otherBits` (some of S_IRWXO;
// the same access through the group bits counts too) on the file open as `fd`, described by `info`
// (see accessAcl for what `fd` must be). When the ACL cannot be read, the answer is yes.
bool openToOthers(int fd, const struct stat& info, mode_t otherBits) {
    if ((info.st_mode & otherBits) != 0) return true;
    const mode_t groupBits = otherBits << 3;
    if ((info.st_mode & groupBits) == 0) return false;
    std::optional<bool> acl = accessAcl(fd, info);
    return !acl || *acl || !groupIsPrivate(info.st_gid);
}

// A directory that holds one of the store's own places: whoever may change its entries may swap
// the store for their own.
bool holdsSafely(int fd, const struct stat& info) {
    return S_ISDIR(info.st_mode) && (info.st_uid == geteuid() || info.st_uid == 0) &&
           !openToOthers(fd, info, S_IWOTH);
}

bool missing(int error) { return error == ENOENT || error == ENOTDIR; }

// A symbolic link in a directory nobody else may write was made by the user or by root; one made
// by anybody else (possible in a shared sticky directory) is not followed.
bool trustedLink(const struct stat& link) { return link.st_uid == geteuid() || link.st_uid == 0; }

// openStoreDirectory opens (making it first with `create`) the store directory `name` inside the
// checked data directory `data`, following a trusted symbolic link.
ItemStatus openStoreDirectory(const Descriptor& data, const char* name, bool create, bool* absent,
                              Descriptor* opened) {
    struct stat link {};
    if (::fstatat(data.get(), name, &link, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) return store_status::kDirectoryFailed;
        if (!create) {
            *absent = true;
            return store_status::kSuccess;
        }
        if (::mkdirat(data.get(), name, 0700) == 0) {
            // mkdir's mode passes through the umask; the directory must be private whatever it is.
            if (::fchmodat(data.get(), name, 0700, 0) != 0) return store_status::kDirectoryFailed;
        } else if (errno != EEXIST) {  // another helper may have made it a moment ago
            return store_status::kDirectoryFailed;
        }
        if (::fstatat(data.get(), name, &link, AT_SYMLINK_NOFOLLOW) != 0) {
            return store_status::kDirectoryFailed;
        }
    }
    const bool isLink = S_ISLNK(link.st_mode);
    if (isLink && !trustedLink(link)) return store_status::kNotPrivate;
    Descriptor directory(
        ::openat(data.get(), name, O_PATH | O_DIRECTORY | O_CLOEXEC | (isLink ? 0 : O_NOFOLLOW)));
    if (!directory.valid()) {
        if (!create && missing(errno)) {
            *absent = true;
            return store_status::kSuccess;
        }
        return store_status::kDirectoryFailed;
    }
    if (isLink) {
        // The link leads elsewhere: whoever can change entries where it leads could swap the
        // directory behind it.
        Descriptor holder(::openat(directory.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        struct stat info {};
        if (!holder.valid() || ::fstat(holder.get(), &info) != 0) {
            return store_status::kDirectoryFailed;
        }
        if (!holdsSafely(holder.get(), info)) return store_status::kNotPrivate;
    }
    struct stat info {};
    if (::fstat(directory.get(), &info) != 0) return store_status::kDirectoryFailed;
    if (info.st_uid != geteuid() || openToOthers(directory.get(), info, S_IWOTH)) {
        return store_status::kNotPrivate;
    }
    *opened = std::move(directory);
    return store_status::kSuccess;
}

// openStoreFile opens (making it first with `create`) the store file `name` inside the checked
// store directory, following a trusted symbolic link, and checks the file itself.
ItemStatus openStoreFile(const Descriptor& directory, const char* name, bool create, bool* absent,
                         Descriptor* opened, bool* linked) {
    struct stat link {};
    if (::fstatat(directory.get(), name, &link, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) return store_status::kCannotOpen;
        if (!create) {
            *absent = true;
            return store_status::kSuccess;
        }
        // O_EXCL: only the process that really makes the file sets its mode; an existing store
        // is never truncated or re-moded. SQLite gives its journal the same mode as this file.
        Descriptor made(::openat(directory.get(), name,
                                 O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
        if (made.valid()) {
            if (::fchmod(made.get(), 0600) != 0) return store_status::kCannotOpen;  // the umask
        } else if (errno != EEXIST) {
            return errno == EROFS ? store_status::kReadOnly : store_status::kCannotOpen;
        }
        if (::fstatat(directory.get(), name, &link, AT_SYMLINK_NOFOLLOW) != 0) {
            return store_status::kCannotOpen;
        }
    }
    *linked = S_ISLNK(link.st_mode);
    if (*linked && !trustedLink(link)) return store_status::kNotPrivate;
    // O_PATH: looking never blocks (a FIFO planted at the path) and needs no read permission.
    Descriptor file(
        ::openat(directory.get(), name, O_PATH | O_CLOEXEC | (*linked ? 0 : O_NOFOLLOW)));
    if (!file.valid()) {
        if (!create && missing(errno)) {
            *absent = true;
            return store_status::kSuccess;
        }
        return store_status::kCannotOpen;
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) return store_status::kCannotOpen;
    if (info.st_uid != geteuid()) return store_status::kNotPrivate;
    // Now known to be a regular file (O_NONBLOCK all the same, should it have been swapped for a
    // FIFO since): opened for reading, for its ACL and to tighten its mode.
    Descriptor readable(::openat(directory.get(), name,
                                 O_RDONLY | O_NONBLOCK | O_CLOEXEC | (*linked ? 0 : O_NOFOLLOW)));
    struct stat again {};
    if (!readable.valid() || ::fstat(readable.get(), &again) != 0 || again.st_dev != info.st_dev ||
        again.st_ino != info.st_ino) {
        return store_status::kCannotOpen;
    }
    // What others may have planted in a file they could write cannot be known: refused. A file
    // of the user's own that others could only read is made private and used: refusing it would
    // only leave the secrets readable by them.
    if (openToOthers(readable.get(), info, S_IWOTH)) return store_status::kNotPrivate;
    if (openToOthers(readable.get(), info, S_IROTH)) {
        if (::fchmod(readable.get(), 0600) != 0 || ::fstat(readable.get(), &info) != 0 ||
            openToOthers(readable.get(), info, S_IROTH | S_IWOTH)) {
            return store_status::kNotPrivate;
        }
    }
    *opened = std::move(file);
    return store_status::kSuccess;
}

// realPathOf resolves `path` to a path without symbolic links and checks that it names the file
// open as `file`, in a directory that nobody else may change.
ItemStatus realPathOf(const std::filesystem::path& path, const Descriptor& file, bool linked,
                      PrivateStoreFile* checked) {
    struct stat info {};
    if (::fstat(file.get(), &info) != 0) return store_status::kCannotOpen;
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) return store_status::kCannotOpen;
    std::filesystem::path real(resolved);
    Descriptor holder(::open(real.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat holderInfo {};
    struct stat named {};
    if (!holder.valid() || ::fstat(holder.get(), &holderInfo) != 0 ||
        ::fstatat(holder.get(), real.filename().c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
        return store_status::kCannotOpen;
    }
    // Something changed the path while it was walked.
    if (named.st_dev != info.st_dev || named.st_ino != info.st_ino) {
        return store_status::kCannotOpen;
    }
    if (linked && !holdsSafely(holder.get(), holderInfo)) return store_status::kNotPrivate;
    *checked = {std::move(real), info.st_dev, info.st_ino};
    return store_status::kSuccess;
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

ItemStatus makePrivateDirectory(const std::filesystem::path& directory) {
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
    return store_status::kSuccess;
}

ItemStatus checkStorePlace(const std::filesystem::path& storeFile, bool create, bool* absent,
                           PrivateStoreFile* checked) {
    const std::filesystem::path storeDirectory = storeFile.parent_path();
    const std::filesystem::path dataHome = storeDirectory.parent_path();
    if (create) {
        ItemStatus status = makePrivateDirectory(dataHome);
        if (status != store_status::kSuccess) return status;
    }
    // The data directory is named by the user's own settings, so links on the way to it count.
    Descriptor data(::open(dataHome.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!data.valid()) {
        if (!create && missing(errno)) {
            *absent = true;
            return store_status::kSuccess;
        }
        return store_status::kDirectoryFailed;
    }
    struct stat info {};
    if (::fstat(data.get(), &info) != 0) return store_status::kDirectoryFailed;
    if (!holdsSafely(data.get(), info)) return store_status::kNotPrivate;

    Descriptor directory;
    ItemStatus status =
        openStoreDirectory(data, storeDirectory.filename().c_str(), create, absent, &directory);
    if (status != store_status::kSuccess || *absent) return status;
    Descriptor file;
    bool linked = false;
    status = openStoreFile(directory, storeFile.filename().c_str(), create, absent, &file, &linked);
    if (status != store_status::kSuccess || *absent) return status;
    return realPathOf(storeFile, file, linked, checked);
}

}  // namespace quorvane::platform
