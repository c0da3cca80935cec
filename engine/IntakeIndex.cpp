#include "IntakeIndex.h"

#include <sys/stat.h>

#include <optional>

namespace tralux {
namespace {

std::optional<std::pair<dev_t, ino_t>> IdOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    return std::pair{info.st_dev, info.st_ino};
}

}  // namespace

IntakeIndex::IntakeIndex(const std::vector<FileData*>& listed) {
    for (FileData* file : listed) {
        Add(*file);
    }
}

FileData* IntakeIndex::Find(const std::string& path) const {
    if (const auto text = byText_.find(path); text != byText_.end()) {
        return text->second;
    }
    if (const auto id = IdOf(path)) {
        if (const auto same = byId_.find(*id); same != byId_.end()) {
            return same->second;
        }
    }
    return nullptr;
}

void IntakeIndex::Add(FileData& file) {
    // The first of two spellings keeps its place, as a linear search would find it.
    byText_.emplace(file.SourceFile, &file);
    if (const auto id = IdOf(file.SourceFile)) {
        byId_.emplace(*id, &file);
    }
}

}  // namespace tralux
