#include "operations/OutputNaming.h"

#include <stdexcept>

namespace tralux {
namespace {

// Index just past the last break character, or 0.
size_t NameStart(const std::string& path, const PathStyle& style) {
    const size_t last = path.find_last_of(style.Breaks);
    return last == std::string::npos ? 0 : last + 1;
}

}  // namespace

std::string FileNamePart(const std::string& path, const PathStyle& style) {
    return path.substr(NameStart(path, style));
}

std::string FolderPart(const std::string& path, const PathStyle& style) {
    return path.substr(0, NameStart(path, style));
}

std::string ExtensionPart(const std::string& name, const PathStyle& style) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot < NameStart(name, style)) {
        return {};
    }
    return name.substr(dot);
}

std::string JoinPath(const std::string& folder, const std::string& name, const PathStyle& style) {
    if (folder.empty()) {
        throw std::invalid_argument("JoinPath needs a folder");
    }
    // Only the separator counts: a Windows drive such as C: still gets one.
    if (folder.back() == style.Separator) {
        return folder + name;
    }
    return folder + style.Separator + name;
}

std::string ResultFileName(const std::string& sourceFile, const Options& options,
                           const PathStyle& style) {
    std::string name = FileNamePart(sourceFile, style);
    if (options.addoutputext) {
        const std::string ext = ExtensionPart(name, style);
        name = name.substr(0, name.size() - ext.size()) + options.nameext + ext;
    }
    return name;
}

std::string AsciiUpper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
    return text;
}

}  // namespace tralux
