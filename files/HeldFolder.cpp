#include "HeldFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "ReplacingFile.h"

namespace tralux {
namespace {

FileIdentity IdentityOf(const struct stat& info) {
    return {static_cast<uint64_t>(info.st_dev), static_cast<uint64_t>(info.st_ino), true};
}

// The name as the system takes it: "" is the current folder.
std::string OpenableName(const std::string& path) {
    return path.empty() ? std::string(".") : path;
}

// Results beside their sources may lie in as many folders as there are files, each held open
// for the run beside the file a pass has open: the limit on open files is raised as far as
// the system allows once many are held.
void AllowManyOpenFolders() {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

constexpr size_t ManyFolders = 16;

}  // namespace

HeldFolder::HeldFolder(std::string path) : path_(std::move(path)) {
    // The name is resolved first and the folder it leads to opened without following a link:
    // a link put in place meanwhile is refused, and the folder opened must still be the one
    // the name leads to.
    const std::string name = OpenableName(path_);
    char* resolved = ::realpath(name.c_str(), nullptr);
    if (resolved == nullptr) {
        openError_ = errno;
        return;
    }
    int fd;
    do {
        fd = ::open(resolved, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    const int error = errno;
    std::free(resolved);
    if (fd < 0) {
        openError_ = error;
        return;
    }
    struct stat opened {};
    struct stat named {};
    if (::fstat(fd, &opened) != 0 || ::stat(name.c_str(), &named) != 0 ||
        !(IdentityOf(opened) == IdentityOf(named))) {
        ::close(fd);
        openError_ = ENOENT;
        return;
    }
    fd_ = fd;
    identity_ = IdentityOf(opened);
}

HeldFolder::~HeldFolder() {
    if (fd_ >= 0) {
        ::close(fd_);  // also lets go of the lock
    }
}

bool HeldFolder::StillNamed() const {
    struct stat named {};
    return fd_ >= 0 && ::stat(OpenableName(path_).c_str(), &named) == 0 &&
           IdentityOf(named) == identity_;
}

bool HeldFolder::Lock() {
    if (fd_ < 0) {
        return true;  // nothing is written here: creating in it fails with OpenError()
    }
    int locked;
    do {
        locked = ::flock(fd_, LOCK_EX | LOCK_NB);
    } while (locked != 0 && errno == EINTR);
    return locked == 0 || errno != EWOULDBLOCK;
}

void HeldFolder::RemoveStaleTemporaries(const std::vector<std::string>& resultNames) const {
    if (fd_ < 0) {
        return;
    }
    // A listing of its own: the held descriptor keeps no reading position.
    const int listing = ::openat(fd_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing < 0) {
        return;
    }
    DIR* entries = ::fdopendir(listing);
    if (entries == nullptr) {
        ::close(listing);
        return;
    }
    const pid_t self = ::getpid();
    while (const dirent* entry = ::readdir(entries)) {
        const std::string name = entry->d_name;
        const long owner = TemporaryFileOwner(name, resultNames);
        // Only a process that no longer exists leaves its file for good; another run's file,
        // or one whose process cannot be asked, stays.
        if (owner <= 0 || owner == self || ::kill(static_cast<pid_t>(owner), 0) == 0 ||
            errno != ESRCH) {
            continue;
        }
        struct stat info {};
        if (::fstatat(fd_, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(info.st_mode) && info.st_uid == ::geteuid()) {
            ::unlinkat(fd_, name.c_str(), 0);
        }
    }
    ::closedir(entries);
}

std::string FolderOfPath(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string NameOfPath(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

HeldFolder& OutputFolders::Hold(const std::string& folder) {
    auto& held = folders_[folder];
    if (!held) {
        if (folders_.size() == ManyFolders) {
            AllowManyOpenFolders();
        }
        held = std::make_unique<HeldFolder>(folder);
    }
    return *held;
}

const HeldFolder* OutputFolders::Find(const std::string& folder) const {
    const auto found = folders_.find(folder);
    return found == folders_.end() ? nullptr : found->second.get();
}

void OutputFolders::Keep(const std::string& sourcePath) {
    struct stat info {};
    if (::stat(sourcePath.c_str(), &info) == 0) {
        kept_.push_back(IdentityOf(info));
    }
}

std::vector<HeldFolder*> OutputFolders::Folders() const {
    std::vector<HeldFolder*> held;
    for (const auto& [name, folder] : folders_) {
        held.push_back(folder.get());
    }
    return held;
}

void OutputFolders::Release() {
    folders_.clear();
    kept_.clear();
}

}  // namespace tralux
