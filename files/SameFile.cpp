#include "SameFile.h"

#include <sys/stat.h>

#include <filesystem>

namespace tralux {
namespace {

namespace fs = std::filesystem;

std::string Folded(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

std::string ResolvedKey(const std::string& path) {
    std::error_code error;
    fs::path full = fs::absolute(path, error);
    if (error) {
        full = path;
    }
    fs::path resolved = fs::weakly_canonical(full, error);
    if (error) {
        resolved = full.lexically_normal();
    }
    return Folded(resolved.string());
}

// The text as the rule compares it.
std::string TextKey(const PathIdentity& path, SameFileRule rule) {
    return rule == SameFileRule::Writing ? Folded(path.text) : path.text;
}

}  // namespace

PathIdentity IdentityOf(const std::string& path, SameFileRule rule) {
    PathIdentity identity;
    identity.text = path;
    if (rule == SameFileRule::Writing) {
        identity.key = ResolvedKey(path);
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        identity.id = FileId{info.st_dev, info.st_ino};
    }
    return identity;
}

bool SameFile(const PathIdentity& a, const PathIdentity& b, SameFileRule rule) {
    if (TextKey(a, rule) == TextKey(b, rule) || (a.id && b.id && *a.id == *b.id)) {
        return true;
    }
    return rule == SameFileRule::Writing && a.key == b.key;
}

void SameFileIndex::Add(const PathIdentity& path, size_t index) {
    byText_.emplace(TextKey(path, rule_), index);
    if (rule_ == SameFileRule::Writing) {
        byKey_.emplace(path.key, index);
    }
    if (path.id) {
        byId_.emplace(*path.id, index);
    }
}

std::optional<size_t> SameFileIndex::Find(const PathIdentity& path) const {
    if (const auto text = byText_.find(TextKey(path, rule_)); text != byText_.end()) {
        return text->second;
    }
    if (path.id) {
        if (const auto same = byId_.find(*path.id); same != byId_.end()) {
            return same->second;
        }
    }
    if (rule_ == SameFileRule::Writing) {
        if (const auto key = byKey_.find(path.key); key != byKey_.end()) {
            return key->second;
        }
    }
    return std::nullopt;
}

std::vector<bool> SameFileIndex::Clashes(const std::vector<PathIdentity>& paths,
                                         SameFileRule rule) {
    std::map<std::string, int> texts;
    std::map<std::string, int> keys;
    std::map<FileId, int> ids;
    for (const PathIdentity& path : paths) {
        ++texts[TextKey(path, rule)];
        if (rule == SameFileRule::Writing) {
            ++keys[path.key];
        }
        if (path.id) {
            ++ids[*path.id];
        }
    }
    std::vector<bool> clashes(paths.size(), false);
    for (size_t i = 0; i < paths.size(); ++i) {
        const PathIdentity& path = paths[i];
        clashes[i] = texts[TextKey(path, rule)] > 1 ||
                     (rule == SameFileRule::Writing && keys[path.key] > 1) ||
                     (path.id && ids[*path.id] > 1);
    }
    return clashes;
}

}  // namespace tralux
