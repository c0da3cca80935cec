#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tralux::posix {

// Opens a regular file and takes an exclusive lock on it without ever blocking: a folder,
// FIFO or device, or a file another process holds locked, gives -1. flags are the access
// flags (O_RDONLY); the descriptor is close-on-exec.
int OpenLocked(const std::string& path, int flags);
// Same for a path relative to an open folder (or AT_FDCWD).
int OpenLockedAt(int folder, const std::string& path, int flags);

// Reads until size bytes are in or the file ends; retries interrupted calls. Returns the
// number of bytes read (fewer only at the end of the file or on an error).
size_t ReadFully(int fd, void* buffer, size_t size);
// Same at an absolute offset, leaving the file position alone.
size_t ReadFullyAt(int fd, void* buffer, size_t size, int64_t offset);

}  // namespace tralux::posix
