#pragma once

#include <sys/types.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "FileData.h"

namespace tralux {

// The listed sources as intake compares a new path with them: the same path text, or the same
// file by device and inode (a link, another spelling of the path). Built once per intake, so
// adding many files costs one look-up each rather than a comparison with every listed file.
class IntakeIndex {
public:
    IntakeIndex() = default;
    explicit IntakeIndex(const std::vector<FileData*>& listed);

    // The listed file that path names, or nullptr.
    FileData* Find(const std::string& path) const;
    // Lists file; its SourceFile is looked at now.
    void Add(FileData& file);

private:
    std::map<std::string, FileData*> byText_;
    std::map<std::pair<dev_t, ino_t>, FileData*> byId_;
};

}  // namespace tralux
