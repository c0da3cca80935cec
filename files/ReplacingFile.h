#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "FileIdentity.h"
#include "HeldFolder.h"

namespace tralux {

// Why a Commit() refused to give the new file its name, beyond a failure of the system.
enum class CommitRefusal {
    None,
    FolderMoved,     // the folder's name no longer leads to the folder written in
    NameIsAKeptFile  // the name now leads to a file that must not be replaced (a source)
};

// The one way Tralux writes a file a user can name: the bytes go to a new temporary file
// beside the target, created exclusively and never through a link, and only a complete file
// is renamed over the target. A failed or abandoned write leaves the target as it was, and a
// link standing at the target is replaced, never written through. Everything is done in the
// target's folder as it was opened, never through the folder's name again.
class ReplacingFile {
public:
    // Holds target's folder itself for the length of the write. Check Ready() before
    // writing. A folder, device or FIFO at the target is refused (EISDIR, EINVAL) before
    // anything is created.
    explicit ReplacingFile(std::string target);
    // target lies in folder, which the caller holds for the life of this object. Commit()
    // refuses to rename over a file in kept (by device and inode).
    ReplacingFile(const HeldFolder& folder, std::string target,
                  const std::vector<FileIdentity>* kept);
    // Removes the temporary file unless Commit() succeeded.
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    bool Ready() const { return fd_ >= 0 && error_ == 0; }
    // The temporary file's descriptor, for callers that position, read back or chmod it;
    // -1 when it could not be created or after Commit().
    int Descriptor() const { return fd_; }
    const std::string& Target() const { return target_; }
    const std::string& TemporaryPath() const { return temporary_; }
    // The folder written in, and the target's name there.
    int FolderDescriptor() const { return folder_ != nullptr ? folder_->Descriptor() : -1; }
    const std::string& Name() const { return name_; }

    // Appends size bytes; false unless the file system took all of them. A failure sticks:
    // every later Write and Commit fails too.
    bool Write(const void* data, size_t size);
    // Once the last Write: starts every byte not yet on its way to the medium there, without
    // waiting, so that Commit() made a while later finds little left to flush. A hint: a
    // failure shows at Commit().
    void StartFlush();
    // Flushes to the medium, closes and renames over the target. False on any failure, the
    // target then untouched.
    bool Commit();
    // After a Commit() that replaced a file: a descriptor (O_PATH) that still holds the file
    // the target named before, so that its storage is freed only when the caller closes it,
    // where that does not hold anyone up. -1 when none; the caller owns what it takes.
    int TakeReplaced();
    // errno of the first failure (ENOSPC for a write that took nothing); 0 while all is well.
    int Error() const { return error_; }
    CommitRefusal Refusal() const { return refusal_; }

private:
    void Start();
    void Fail(int error);

    std::string target_;
    std::string name_;
    std::unique_ptr<HeldFolder> ownFolder_;  // the path form's folder
    const HeldFolder* folder_ = nullptr;
    const std::vector<FileIdentity>* kept_ = nullptr;
    std::string temporaryName_;  // in the folder
    std::string temporary_;      // the same as a path, for messages and tests
    int fd_ = -1;
    int error_ = 0;
    CommitRefusal refusal_ = CommitRefusal::None;
    bool committed_ = false;
    int replaced_ = -1;         // the file the rename took the name from, until taken
    int64_t written_ = 0;       // bytes written so far
    int64_t flushStarted_ = 0;  // bytes already sent on their way to the disk
};

// The process that made name, when it is the name of a temporary file of this program: the
// present short form, or the form earlier versions built from one of resultNames. 0 when it
// is neither.
long TemporaryFileOwner(const std::string& name, const std::vector<std::string>& resultNames);

}  // namespace tralux
