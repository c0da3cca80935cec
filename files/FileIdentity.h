#pragma once

#include <cstdint>

namespace tralux {

// Which file an open descriptor or a name stands for: its device and inode. A result is
// rewritten only while its name still leads to the very file the run last wrote there; a
// link or another file put there since is told apart by this.
struct FileIdentity {
    uint64_t Device = 0;
    uint64_t Inode = 0;
    bool Known = false;  // false: no file recorded (never created, or removed since)

    bool operator==(const FileIdentity&) const = default;
};

}  // namespace tralux
