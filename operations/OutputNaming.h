#pragma once

#include <string>
#include <string_view>

#include "settings/Options.h"

namespace tralux {

// How paths are taken apart and joined. Pieces break after any of Breaks; a join adds
// Separator. Paths are plain text here: nothing is resolved.
struct PathStyle {
    char Separator;
    std::string_view Breaks;
};

inline constexpr PathStyle PosixPathStyle{'/', "/"};
inline constexpr PathStyle WindowsPathStyle{'\\', "\\:"};
inline constexpr PathStyle NativePathStyle = PosixPathStyle;

// The part after the last break character (the whole path when there is none).
std::string FileNamePart(const std::string& path, const PathStyle& style = NativePathStyle);
// The part up to and including the last break character (empty when there is none).
std::string FolderPart(const std::string& path, const PathStyle& style = NativePathStyle);
// From the last full stop of the name on, the stop included; empty when the last full stop
// is not after the last break character.
std::string ExtensionPart(const std::string& name, const PathStyle& style = NativePathStyle);

// folder + name, with a Separator between them unless folder already ends in one.
// Throws std::invalid_argument for an empty folder, which would name a file at the root.
std::string JoinPath(const std::string& folder, const std::string& name,
                     const PathStyle& style = NativePathStyle);

// The file name a source's result gets: its own name, with nameext put in front of the
// extension when addoutputext is set.
std::string ResultFileName(const std::string& sourceFile, const Options& options,
                           const PathStyle& style = NativePathStyle);

// Upper-cases the ASCII letters a to z only.
std::string AsciiUpper(std::string text);

}  // namespace tralux
