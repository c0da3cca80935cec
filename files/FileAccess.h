#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "FileIdentity.h"
#include "HeldFolder.h"
#include "ReplacingFile.h"

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
    // A created file written to its end: starts what is not yet on its way to the medium,
    // so that the flush of Commit(), made later, waits for little. A hint only.
    virtual void StartFlush() {}
    // Why the last Commit() refused, when it was not a failure of the system.
    virtual CommitRefusal Refusal() const { return CommitRefusal::None; }
    // After a Commit() that replaced a file: a descriptor holding the replaced file, for the
    // caller to close where freeing its storage holds nothing up; -1 when none.
    virtual int TakeReplaced() { return -1; }
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
    // cannot be created. When folders holds path's folder, everything is done in that folder
    // and Commit() never replaces a source folders keeps; otherwise the folder is opened by
    // its name.
    virtual std::unique_ptr<PassFile> Create(const std::string& path,
                                             const OutputFolders* folders) = 0;
    // As Create, for the path of a file this pass holds open as its source: the lock held on
    // the source stands for the one Create takes on a file it replaces.
    virtual std::unique_ptr<PassFile> CreateOver(const std::string& path,
                                                 const OutputFolders* folders) {
        return Create(path, folders);
    }
    // Whether several threads may use it and its files at once: files opened, read and written
    // on workers of their own, a created file committed on another thread than the one that
    // wrote it.
    virtual bool SharedByThreads() const { return false; }
};

// The platform's files: exclusive advisory locks, never blocking on FIFOs or devices.
FileAccess& PosixFileAccess();

}  // namespace tralux
