#include "FileAccess.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "PosixFile.h"

static_assert(sizeof(off_t) == 8, "sample data offsets need 64-bit file positions");

namespace tralux {
namespace posix {

int OpenLocked(const std::string& path, int flags) {
    // O_NONBLOCK keeps the open itself from waiting on a FIFO or a terminal; anything that is
    // not a regular file is refused before it is read or written.
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        return -1;
    }
    // errno tells the caller why; the close must not change it.
    auto refuse = [fd](int error) {
        ::close(fd);
        errno = error;
        return -1;
    };
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return refuse(errno);
    }
    if (!S_ISREG(info.st_mode)) {
        return refuse(S_ISDIR(info.st_mode) ? EISDIR : EINVAL);
    }
    int locked;
    do {
        locked = ::flock(fd, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    if (locked != 0) {
        return refuse(errno);
    }
    return fd;
}

size_t ReadFully(int fd, void* buffer, size_t size) {
    auto* at = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < size) {
        const ssize_t got = ::read(fd, at + done, size - done);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        done += static_cast<size_t>(got);
    }
    return done;
}

size_t ReadFullyAt(int fd, void* buffer, size_t size, int64_t offset) {
    auto* at = static_cast<char*>(buffer);
    size_t done = 0;
    while (done < size) {
        const ssize_t got =
            ::pread(fd, at + done, size - done, static_cast<off_t>(offset + int64_t(done)));
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            break;
        }
        done += static_cast<size_t>(got);
    }
    return done;
}

bool WriteFully(int fd, const void* buffer, size_t size) {
    const auto* at = static_cast<const char*>(buffer);
    size_t done = 0;
    while (done < size) {
        const ssize_t put = ::write(fd, at + done, size - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            return false;
        }
        done += static_cast<size_t>(put);
    }
    return true;
}

}  // namespace posix

namespace {

FileIdentity IdentityOf(const struct stat& info) {
    return {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino), true};
}

class PosixPassFile final : public PassFile {
public:
    explicit PosixPassFile(int fd) : fd_(fd) {}
    ~PosixPassFile() override { ::close(fd_); }  // also releases the lock
    PosixPassFile(const PosixPassFile&) = delete;
    PosixPassFile& operator=(const PosixPassFile&) = delete;

    size_t Read(void* buffer, size_t size) override { return posix::ReadFully(fd_, buffer, size); }
    bool Write(const void* buffer, size_t size) override {
        return posix::WriteFully(fd_, buffer, size);
    }
    bool Seek(int64_t offset) override {
        return offset >= 0 && ::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) == offset;
    }
    FileIdentity Identity() const override {
        struct stat info {};
        return ::fstat(fd_, &info) == 0 ? IdentityOf(info) : FileIdentity{};
    }

private:
    int fd_;
};

// A result name that is a symbolic link, or one name of a file with several, belongs to a
// file someone keeps elsewhere (a master, a backup). The new result replaces the name; the
// file behind it is never written. Returns false when the name cannot be freed: the file
// behind it is in use, is not a regular file, or does not exist (a dangling link).
bool FreeNameForNewFile(const std::string& path) {
    struct stat name {};
    if (::lstat(path.c_str(), &name) != 0) {
        return true;  // nothing there yet
    }
    const bool linked = S_ISLNK(name.st_mode) || (S_ISREG(name.st_mode) && name.st_nlink > 1);
    if (!linked) {
        return true;
    }
    const int held = posix::OpenLocked(path, O_RDONLY);
    if (held < 0) {
        return false;
    }
    const bool removed = ::unlink(path.c_str()) == 0;
    ::close(held);
    return removed;
}

class PosixFiles final : public FileAccess {
public:
    std::unique_ptr<PassFile> OpenExisting(const std::string& path, bool forWriting) override {
        // A source may be listed by a link; a file rewritten in place is only ever a result,
        // and a link put in its place leads to a file that is not.
        const int fd = posix::OpenLocked(path, forWriting ? O_RDWR | O_NOFOLLOW : O_RDONLY);
        if (fd < 0) {
            return nullptr;
        }
        return std::make_unique<PosixPassFile>(fd);
    }

    std::unique_ptr<PassFile> Create(const std::string& path) override {
        if (!FreeNameForNewFile(path)) {
            return nullptr;
        }
        // Emptied only once the lock is held, so a file another process (or this pass, as
        // its source under another name) has open is never cut short.
        // A link made after the name was freed is neither followed nor emptied.
        const int fd = posix::OpenLocked(path, O_RDWR | O_CREAT | O_NOFOLLOW);
        if (fd < 0) {
            return nullptr;
        }
        struct stat info {};
        if (::fstat(fd, &info) != 0 || info.st_nlink > 1) {
            ::close(fd);
            return nullptr;
        }
        int cut;
        do {
            cut = ::ftruncate(fd, 0);
        } while (cut != 0 && errno == EINTR);
        if (cut != 0) {
            ::close(fd);
            return nullptr;
        }
        return std::make_unique<PosixPassFile>(fd);
    }

    bool Remove(const std::string& path, const FileIdentity& identity) override {
        struct stat name {};
        if (!identity.Known || ::lstat(path.c_str(), &name) != 0 || IdentityOf(name) != identity) {
            return false;
        }
        return ::unlink(path.c_str()) == 0;
    }
};

}  // namespace

FileAccess& PosixFileAccess() {
    // Stateless; one instance serves every engine.
    static PosixFiles files;
    return files;
}

}  // namespace tralux
