#pragma once

#include <sys/types.h>

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tralux {

// Device and inode of an existing file, links followed: hard links share them.
using FileId = std::pair<dev_t, ino_t>;

// What the same-file rules compare of one path, looked up once.
struct PathIdentity {
    std::string text;  // the path as given
    // Absolute, links and relative parts resolved as far as the path exists, ASCII letters
    // folded: how a case-insensitive file system would tell the path apart.
    std::string key;
    std::optional<FileId> id;  // nullopt when nothing exists there (yet)
};

// The one answer to "is this the same file?". Two rules, by what is at stake:
// - Listing: the same path text, or the same file by device and inode (a link, another
//   spelling). Two files whose names differ only in letter case are two files.
// - Writing (a result or the export meeting a listed file or another result): also the same
//   text with ASCII letters folded, or the same resolved path with letters folded. A result
//   refused that might have been another file is the safe side.
enum class SameFileRule { Listing, Writing };

// The resolved key is looked up only for the writing rule: listing needs no more than the text
// and the device and inode.
PathIdentity IdentityOf(const std::string& path, SameFileRule rule = SameFileRule::Writing);

bool SameFile(const PathIdentity& a, const PathIdentity& b, SameFileRule rule);

// Paths looked up by the rule, each kept with the caller's index for it (a position in the
// list), so a new path costs one look-up rather than a comparison with every path.
class SameFileIndex {
public:
    explicit SameFileIndex(SameFileRule rule) : rule_(rule) {}

    // The first path added for a key keeps that key's index.
    void Add(const PathIdentity& path, size_t index);
    void Add(const std::string& path, size_t index) { Add(IdentityOf(path, rule_), index); }
    // The index of a path added earlier that names the same file; nullopt when none does.
    std::optional<size_t> Find(const PathIdentity& path) const;
    std::optional<size_t> Find(const std::string& path) const {
        return Find(IdentityOf(path, rule_));
    }
    SameFileRule Rule() const { return rule_; }

    // For each path, whether another path of the list names the same file by the rule.
    static std::vector<bool> Clashes(const std::vector<PathIdentity>& paths, SameFileRule rule);

private:
    SameFileRule rule_;
    std::map<std::string, size_t> byText_;  // the text, folded when writing
    std::map<std::string, size_t> byKey_;   // writing only
    std::map<FileId, size_t> byId_;
};

}  // namespace tralux
