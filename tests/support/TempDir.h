#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace tralux::test {

// A fresh folder under the system's temporary folder, removed with everything in it when
// the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    // Full path of a file name inside the folder.
    std::string File(const std::string& name) const { return (path_ / name).string(); }
    // The names in the folder, sorted: shows what a run left behind, temporaries included.
    std::vector<std::string> Names() const;

private:
    std::filesystem::path path_;
};

}  // namespace tralux::test
