#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "FileIdentity.h"

namespace tralux {

// An open WAV file as a pass uses it. Files are held with an exclusive lock while open.
class PassFile {
public:
    virtual ~PassFile() = default;
    // Reads up to size bytes; returns how many were read (fewer only at the end of the file).
    virtual size_t Read(void* buffer, size_t size) = 0;
    // Writes size bytes; returns false unless the file system took all of them.
    virtual bool Write(const void* buffer, size_t size) = 0;
    // Moves to an absolute offset; returns false on failure.
    virtual bool Seek(int64_t offset) = 0;
    // A created file: makes it whole under its name (see FileAccess::Create); false if it
    // could not. Files opened as they exist have nothing to do.
    virtual bool Commit() { return true; }
    // The file that is open, whatever its names have become since.
    virtual FileIdentity Identity() const = 0;
};

// Opens the files of a pass. The real one uses POSIX files; tests put a failing one in.
class FileAccess {
public:
    virtual ~FileAccess() = default;
    // For reading; nullptr if it cannot be opened. A file that exists is never opened for
    // writing: results are replaced through Create() and CreateOver().
    virtual std::unique_ptr<PassFile> OpenExisting(const std::string& path) = 0;
    // A new file that replaces whatever path names only on Commit(): until then the name keeps
    // what it held, and a file dropped without Commit() leaves nothing behind. nullptr if it
    // cannot be created.
    virtual std::unique_ptr<PassFile> Create(const std::string& path) = 0;
    // As Create, for the path of a file this pass holds open as its source: the lock held on
    // the source stands for the one Create takes on a file it replaces.
    virtual std::unique_ptr<PassFile> CreateOver(const std::string& path) { return Create(path); }
};

// The platform's files: exclusive advisory locks, never blocking on FIFOs or devices.
FileAccess& PosixFileAccess();

}  // namespace tralux
