#include "ReplacingFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace tralux {
namespace {

// Folder part of target including its separator, or "" for a name in the current folder.
std::string FolderOf(const std::string& target) {
    const size_t slash = target.rfind('/');
    return slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
}

std::string NameOf(const std::string& target) {
    const size_t slash = target.rfind('/');
    return slash == std::string::npos ? target : target.substr(slash + 1);
}

}  // namespace

ReplacingFile::ReplacingFile(std::string target) : target_(std::move(target)) {
    if (target_.empty() || target_.back() == '/') {
        Fail(EISDIR);
        return;
    }
    // Only a file (or a link, which is replaced) may stand at the target: renaming over a
    // device or a FIFO would take it away from everyone else.
    struct stat existing {};
    if (::lstat(target_.c_str(), &existing) == 0 && !S_ISREG(existing.st_mode) &&
        !S_ISLNK(existing.st_mode)) {
        Fail(S_ISDIR(existing.st_mode) ? EISDIR : EINVAL);
        return;
    }
    // A hidden name in the same folder, so that the rename stays on one file system; a name
    // already taken (an earlier crash, a planted link) is simply passed over.
    static std::atomic<unsigned> counter{0};
    const std::string stem =
        FolderOf(target_) + "." + NameOf(target_) + ".tmp-" + std::to_string(::getpid()) + "-";
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporary_ = stem + std::to_string(++counter);
        do {
            fd_ = ::open(temporary_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                         0666);
        } while (fd_ < 0 && errno == EINTR);
        if (fd_ >= 0 || errno != EEXIST) {
            break;
        }
    }
    if (fd_ < 0) {
        Fail(errno);
        temporary_.clear();
    }
}

ReplacingFile::~ReplacingFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    if (!committed_ && !temporary_.empty()) {
        ::unlink(temporary_.c_str());
    }
}

void ReplacingFile::Fail(int error) {
    if (error_ == 0) {
        error_ = error != 0 ? error : EIO;
    }
}

bool ReplacingFile::Write(const void* data, size_t size) {
    if (!Ready()) {
        return false;
    }
    const auto* at = static_cast<const char*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t put = ::write(fd_, at + done, size - done);
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put <= 0) {
            // A write that takes nothing without naming a cause means the medium is full.
            Fail(put < 0 ? errno : ENOSPC);
            return false;
        }
        done += static_cast<size_t>(put);
    }
    written_ += static_cast<int64_t>(size);
#ifdef __linux__
    // A big file starts on its way to the disk as it is written, so that the flush at Commit()
    // waits for its last part only. A hint: a failure shows at the flush.
    constexpr int64_t FlushStep = int64_t{8} << 20;
    if (written_ - flushStarted_ >= FlushStep) {
        ::sync_file_range(fd_, flushStarted_, 0, SYNC_FILE_RANGE_WRITE);
        flushStarted_ = written_;
    }
#endif
    return true;
}

bool ReplacingFile::Commit() {
    if (!Ready()) {
        return false;
    }
    // Some file systems report a failed write only at the flush or the close.
    if (::fsync(fd_) != 0 && errno != EINVAL) {
        Fail(errno);
    }
    const int closed = ::close(fd_);
    fd_ = -1;
    if (closed != 0 && errno != EINTR) {
        Fail(errno);
    }
    if (error_ != 0) {
        return false;
    }
    if (std::rename(temporary_.c_str(), target_.c_str()) != 0) {
        Fail(errno);
        return false;
    }
    committed_ = true;
    return true;
}

}  // namespace tralux
