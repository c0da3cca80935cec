#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tralux {

// The one way Tralux writes a file a user can name: the bytes go to a new temporary file
// beside the target, created exclusively and never through a link, and only a complete file
// is renamed over the target. A failed or abandoned write leaves the target as it was, and a
// link standing at the target is replaced, never written through.
class ReplacingFile {
public:
    // Creates the temporary file in target's folder. Check Ready() before writing. A folder,
    // device or FIFO at the target is refused (EISDIR, EINVAL) before anything is created.
    explicit ReplacingFile(std::string target);
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

    // Appends size bytes; false unless the file system took all of them. A failure sticks:
    // every later Write and Commit fails too.
    bool Write(const void* data, size_t size);
    // Flushes to the medium, closes and renames over the target. False on any failure, the
    // target then untouched.
    bool Commit();
    // errno of the first failure (ENOSPC for a write that took nothing); 0 while all is well.
    int Error() const { return error_; }

private:
    void Fail(int error);

    std::string target_;
    std::string temporary_;
    int fd_ = -1;
    int error_ = 0;
    bool committed_ = false;
    int64_t written_ = 0;       // bytes written so far
    int64_t flushStarted_ = 0;  // bytes already sent on their way to the disk
};

}  // namespace tralux
