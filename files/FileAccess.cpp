#include "FileAccess.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "PosixFile.h"
#include "ReplacingFile.h"

static_assert(sizeof(off_t) == 8, "sample data offsets need 64-bit file positions");

namespace tralux {
namespace posix {

int OpenLocked(const std::string& path, int flags) {
    return OpenLockedAt(AT_FDCWD, path, flags);
}

int OpenLockedAt(int folder, const std::string& path, int flags) {
    // O_NONBLOCK keeps the open itself from waiting on a FIFO or a terminal; anything that is
    // not a regular file is refused before it is read or written.
    int fd;
    do {
        fd = ::openat(folder, path.c_str(), flags | O_NONBLOCK | O_CLOEXEC, 0666);
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
    bool Write(const void*, size_t) override { return false; }  // opened for reading only
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

// A result written beside its name and renamed over it when whole. A link at the name is
// replaced, never followed, so the file behind it is never written. A plain file at the name
// is held locked until the rename: one that another program has open is not replaced.
class ReplacingPassFile final : public PassFile {
public:
    explicit ReplacingPassFile(const std::string& path) : file_(path) {}
    ReplacingPassFile(const HeldFolder& folder, const std::string& path,
                      const std::vector<FileIdentity>& kept)
        : file_(folder, path, &kept) {}
    ~ReplacingPassFile() override {
        if (heldTarget_ >= 0) {
            ::close(heldTarget_);
        }
    }
    ReplacingPassFile(const ReplacingPassFile&) = delete;
    ReplacingPassFile& operator=(const ReplacingPassFile&) = delete;

    bool Ready() const { return file_.Ready(); }
    int Error() const { return file_.Error(); }
    // Locks the plain file that stands at the name, found in the folder written in; false
    // (errno set) when another process holds it.
    bool LockTarget() {
        struct stat name {};
        if (::fstatat(file_.FolderDescriptor(), file_.Name().c_str(), &name, AT_SYMLINK_NOFOLLOW) !=
                0 ||
            !S_ISREG(name.st_mode) || name.st_nlink != 1) {
            return true;
        }
        heldTarget_ =
            posix::OpenLockedAt(file_.FolderDescriptor(), file_.Name(), O_RDONLY | O_NOFOLLOW);
        return heldTarget_ >= 0;
    }
    size_t Read(void*, size_t) override { return 0; }
    bool Write(const void* buffer, size_t size) override { return file_.Write(buffer, size); }
    bool Seek(int64_t offset) override {
        return offset >= 0 && file_.Descriptor() >= 0 &&
               ::lseek(file_.Descriptor(), static_cast<off_t>(offset), SEEK_SET) == offset;
    }
    bool Commit() override { return file_.Commit(); }
    void StartFlush() override { file_.StartFlush(); }
    CommitRefusal Refusal() const override { return file_.Refusal(); }
    int TakeReplaced() override {
        // The lock goes now, as it would with the file; the storage with the descriptor taken.
        if (heldTarget_ >= 0) {
            ::close(heldTarget_);
            heldTarget_ = -1;
        }
        return file_.TakeReplaced();
    }
    // The temporary file, which becomes the file at the name on Commit().
    FileIdentity Identity() const override {
        struct stat info {};
        return file_.Descriptor() >= 0 && ::fstat(file_.Descriptor(), &info) == 0 ? IdentityOf(info)
                                                                                  : FileIdentity{};
    }

private:
    ReplacingFile file_;
    int heldTarget_ = -1;
};

class PosixFiles final : public FileAccess {
public:
    std::unique_ptr<PassFile> OpenExisting(const std::string& path) override {
        // A source may be listed by a link.
        const int fd = posix::OpenLocked(path, O_RDONLY);
        if (fd < 0) {
            return nullptr;
        }
        return std::make_unique<PosixPassFile>(fd);
    }

    std::unique_ptr<PassFile> Create(const std::string& path,
                                     const OutputFolders* folders) override {
        return Replacing(path, folders, true);
    }
    std::unique_ptr<PassFile> CreateOver(const std::string& path,
                                         const OutputFolders* folders) override {
        return Replacing(path, folders, false);
    }
    bool SharedByThreads() const override { return true; }

private:
    static std::unique_ptr<PassFile> Replacing(const std::string& path,
                                               const OutputFolders* folders, bool lockTarget) {
        const HeldFolder* held = folders != nullptr ? folders->Find(FolderOfPath(path)) : nullptr;
        auto file = held != nullptr
                        ? std::make_unique<ReplacingPassFile>(*held, path, folders->Kept())
                        : std::make_unique<ReplacingPassFile>(path);
        // The system's reason goes to the caller; the clean-up must not change it.
        int error = 0;
        if (!file->Ready()) {
            error = file->Error();
        } else if (lockTarget && !file->LockTarget()) {
            error = errno;
        }
        if (error != 0) {
            file.reset();
            errno = error;
            return nullptr;
        }
        return file;
    }
};

}  // namespace

FileAccess& PosixFileAccess() {
    // Stateless; one instance serves every engine.
    static PosixFiles files;
    return files;
}

}  // namespace tralux
