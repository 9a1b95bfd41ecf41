#include "keyd/key_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quorvane::keyd {
namespace {

std::string systemError(const std::string& what, int error) {
    return what + " (" + std::strerror(error) + ")";
}

std::string fileName(uid_t user, KeyKind kind) {
    return std::to_string(user) + (kind == KeyKind::tpm ? ".tpm" : ".software");
}

// A key file is at most a TPM key item and its auth value; anything larger is not ours.
constexpr std::size_t kMaxFileSize = 4096;

}  // namespace

KeyFiles::KeyFiles(const std::string& path) {
    if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
        throw KeyFileError(systemError("the state directory " + path + " cannot be made", errno));
    }
    directory_ = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (directory_ < 0) {
        throw KeyFileError(systemError("the state directory " + path + " cannot be opened", errno));
    }
    struct stat status {};
    if (fstat(directory_, &status) != 0 || status.st_uid != geteuid() ||
        (status.st_mode & 077) != 0) {
        close(directory_);
        directory_ = -1;
        throw KeyFileError("the state directory " + path +
                           " must belong to this service's user and be closed to everyone else "
                           "(mode 0700)");
    }
}

KeyFiles::~KeyFiles() {
    if (directory_ >= 0) close(directory_);
}

std::optional<SecretBytes> KeyFiles::read(uid_t user, KeyKind kind) const {
    const std::string name = fileName(user, kind);
    // Non-blocking, so that a pipe in the file's place is refused below instead of holding the
    // service until somebody writes into it.
    const int fd = openat(directory_, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return std::nullopt;
        throw KeyFileError(systemError("the key file " + name + " cannot be opened", errno));
    }
    struct stat status {};
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_uid != geteuid() ||
        status.st_size <= 0 || static_cast<std::size_t>(status.st_size) > kMaxFileSize) {
        close(fd);
        throw KeyFileError("the key file " + name + " is not one this service wrote");
    }
    SecretBytes bytes(static_cast<std::size_t>(status.st_size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t got = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            const int error = got < 0 ? errno : EIO;
            close(fd);
            throw KeyFileError(systemError("the key file " + name + " cannot be read", error));
        }
        done += static_cast<std::size_t>(got);
    }
    close(fd);
    return bytes;
}

void KeyFiles::write(uid_t user, KeyKind kind, std::span<const std::uint8_t> bytes) const {
    const std::string name = fileName(user, kind);
    const std::string temporary = name + ".new";
    // A leftover of a write that was cut short holds nothing anyone waits for.
    unlinkat(directory_, temporary.c_str(), 0);
    const int fd = openat(directory_, temporary.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) throw KeyFileError(systemError("the key file " + name + " cannot be made", errno));
    std::size_t done = 0;
    int error = 0;
    while (done < bytes.size() && error == 0) {
        const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0)
            error = wrote < 0 ? errno : EIO;
        else
            done += static_cast<std::size_t>(wrote);
    }
    if (error == 0 && fsync(fd) != 0) error = errno;
    if (close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && renameat(directory_, temporary.c_str(), directory_, name.c_str()) != 0) {
        error = errno;
    }
    if (error != 0) {
        unlinkat(directory_, temporary.c_str(), 0);
        throw KeyFileError(systemError("the key file " + name + " cannot be written", error));
    }
    if (fsync(directory_) != 0) {
        throw KeyFileError(systemError("the key file " + name + " cannot be made lasting", errno));
    }
}

void KeyFiles::remove(uid_t user, KeyKind kind) const {
    const std::string name = fileName(user, kind);
    // Zeros over the key before its blocks are freed, so that the file system does not hand the
    // auth value or the scalar to whoever reads the disk later. Best effort: a journal or a flash
    // controller may still keep an old copy, which the documents say.
    const int fd = openat(directory_, name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        struct stat status {};
        if (fstat(fd, &status) == 0 && S_ISREG(status.st_mode) &&
            static_cast<std::size_t>(status.st_size) <= kMaxFileSize) {
            const std::uint8_t zeros[kMaxFileSize] = {};
            if (pwrite(fd, zeros, static_cast<std::size_t>(status.st_size), 0) >= 0) fsync(fd);
        }
        close(fd);
    }
    if (unlinkat(directory_, name.c_str(), 0) != 0) {
        if (errno == ENOENT) return;
        throw KeyFileError(systemError("the key file " + name + " cannot be deleted", errno));
    }
    if (fsync(directory_) != 0) {
        throw KeyFileError(
            systemError("the deletion of " + name + " cannot be made lasting", errno));
    }
}

}  // namespace quorvane::keyd
