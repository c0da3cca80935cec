#include "ReplacingFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

namespace tralux {
namespace {

// A short name whatever the target's length: a target of the longest name a folder allows
// still gets a temporary file beside it.
std::string TemporaryName(long pid, unsigned number) {
    return ".tralux-" + std::to_string(pid) + "-" + std::to_string(number) + ".tmp";
}

// The decimal number that text holds whole; -1 for anything else.
long WholeNumber(const std::string& text) {
    if (text.empty() || text.size() > 10 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return -1;
    }
    return std::stol(text);
}

// "PID-N" as a temporary name carries them; the process number, or 0.
long OwnerOf(const std::string& numbers) {
    const size_t dash = numbers.find('-');
    if (dash == std::string::npos || WholeNumber(numbers.substr(dash + 1)) < 0) {
        return 0;
    }
    const long pid = WholeNumber(numbers.substr(0, dash));
    return pid > 0 ? pid : 0;
}

bool StartsWith(const std::string& text, const std::string& start) {
    return text.size() >= start.size() && text.compare(0, start.size(), start) == 0;
}

}  // namespace

long TemporaryFileOwner(const std::string& name, const std::vector<std::string>& resultNames) {
    const std::string prefix = ".tralux-";
    const std::string suffix = ".tmp";
    if (StartsWith(name, prefix) && name.size() > prefix.size() + suffix.size() &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
        return OwnerOf(name.substr(prefix.size(), name.size() - prefix.size() - suffix.size()));
    }
    for (const std::string& result : resultNames) {
        const std::string earlier = "." + result + ".tmp-";
        if (StartsWith(name, earlier)) {
            return OwnerOf(name.substr(earlier.size()));
        }
    }
    return 0;
}

ReplacingFile::ReplacingFile(std::string target) : target_(std::move(target)) {
    ownFolder_ = std::make_unique<HeldFolder>(FolderOfPath(target_));
    folder_ = ownFolder_.get();
    Start();
}

ReplacingFile::ReplacingFile(const HeldFolder& folder, std::string target,
                             const std::vector<FileIdentity>* kept)
    : target_(std::move(target)), folder_(&folder), kept_(kept) {
    Start();
}

void ReplacingFile::Start() {
    name_ = NameOfPath(target_);
    if (name_.empty()) {
        Fail(EISDIR);
        return;
    }
    const int folder = folder_->Descriptor();
    if (folder < 0) {
        Fail(folder_->OpenError());
        return;
    }
    // Only a file (or a link, which is replaced) may stand at the target: renaming over a
    // device or a FIFO would take it away from everyone else.
    struct stat existing {};
    if (::fstatat(folder, name_.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0 &&
        !S_ISREG(existing.st_mode) && !S_ISLNK(existing.st_mode)) {
        Fail(S_ISDIR(existing.st_mode) ? EISDIR : EINVAL);
        return;
    }
    // A hidden name in the same folder, so that the rename stays on one file system; a name
    // already taken (an earlier crash, a planted link) is simply passed over.
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        temporaryName_ = TemporaryName(::getpid(), ++counter);
        do {
            fd_ = ::openat(folder, temporaryName_.c_str(),
                           O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        } while (fd_ < 0 && errno == EINTR);
        if (fd_ >= 0 || errno != EEXIST) {
            break;
        }
    }
    if (fd_ < 0) {
        Fail(errno);
        temporaryName_.clear();
        return;
    }
    temporary_ = folder_->Path() + temporaryName_;
}

ReplacingFile::~ReplacingFile() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
    if (replaced_ >= 0) {
        ::close(replaced_);
    }
    if (!committed_ && !temporaryName_.empty()) {
        ::unlinkat(folder_->Descriptor(), temporaryName_.c_str(), 0);
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

void ReplacingFile::StartFlush() {
#ifdef __linux__
    if (Ready() && written_ > flushStarted_) {
        ::sync_file_range(fd_, flushStarted_, 0, SYNC_FILE_RANGE_WRITE);
        flushStarted_ = written_;
    }
#endif
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
    // A folder moved away (or replaced by a link) keeps no result the user would look for.
    if (error_ == 0 && !folder_->StillNamed()) {
        refusal_ = CommitRefusal::FolderMoved;
        Fail(ENOENT);
    }
    const int folder = folder_->Descriptor();
    struct stat existing {};
    if (error_ == 0 && kept_ != nullptr &&
        ::fstatat(folder, name_.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0) {
        const FileIdentity standing{static_cast<uint64_t>(existing.st_dev),
                                    static_cast<uint64_t>(existing.st_ino), true};
        if (std::find(kept_->begin(), kept_->end(), standing) != kept_->end()) {
            refusal_ = CommitRefusal::NameIsAKeptFile;
            Fail(EEXIST);
        }
    }
    if (error_ == 0) {
#ifdef O_PATH
        // Held by path only, never opened: whatever stands at the name, opening it does nothing.
        replaced_ = ::openat(folder, name_.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
#endif
        if (::renameat(folder, temporaryName_.c_str(), folder, name_.c_str()) != 0) {
            Fail(errno);
        }
    }
    if (error_ != 0) {
        if (replaced_ >= 0) {
            ::close(replaced_);
            replaced_ = -1;
        }
        // Gone at once, from the folder it was made in, wherever that is now.
        ::unlinkat(folder, temporaryName_.c_str(), 0);
        temporaryName_.clear();
        return false;
    }
    committed_ = true;
    return true;
}

int ReplacingFile::TakeReplaced() {
    const int replaced = replaced_;
    replaced_ = -1;
    return replaced;
}

}  // namespace tralux
