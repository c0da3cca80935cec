// The output check of the runs: every result named by the request's options, none of them a
// source or another file's result, the folders held and secured, and the overwrite question.

#include <filesystem>
#include <vector>

#include "files/SameFile.h"
#include "operations/Operations.h"
#include "operations/ResultFolders.h"

namespace tralux {
namespace {

namespace fs = std::filesystem;

bool ExistsAsFile(const std::string& path) {
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    return !error && fs::exists(status) && !fs::is_directory(status);
}

std::string Listed(const std::vector<FileData*>& files, const std::vector<bool>& chosen) {
    std::string text;
    for (size_t i = 0; i < files.size(); ++i) {
        if (chosen[i]) {
            text += "\r   " + files[i]->SourceFile;
        }
    }
    return text;
}

// The listed sources, looked up by the rule for what is written.
SameFileIndex SourceIndex(const std::vector<FileData*>& files) {
    SameFileIndex sources(SameFileRule::Writing);
    for (size_t i = 0; i < files.size(); ++i) {
        sources.Add(files[i]->SourceFile, i);
    }
    return sources;
}

}  // namespace

// The listed files whose result is now one of the sources: a link made since Prepare.
// Balance rewrites results and would take that source's samples for a result.
std::string Operations::ResultsThatAreSources(const std::vector<FileData*>& files) {
    const SameFileIndex sources = SourceIndex(files);
    std::string listed;
    for (const FileData* file : files) {
        if (!file->Ignored && sources.Find(file->ResultFile)) {
            listed += "\r   " + file->SourceFile;
        }
    }
    return listed;
}

bool Operations::CheckOutputFiles(const RunRequest& request) {
    request_ = request;
    const std::vector<FileData*> files = host_.Files();

    std::string chosenFolder;
    if (options_.samefolder == 2) {
        const std::optional<std::string> folder = host_.OutputFolderPrompt();
        if (!folder || folder->empty()) {
            return false;
        }
        chosenFolder = *folder;
    } else if (options_.samefolder != 1) {
        if (options_.outputdir.empty()) {
            host_.ShowError(messages::NoOutputFolder);
            return false;
        }
        chosenFolder = options_.outputdir;
    }

    std::vector<std::string> previous;
    previous.reserve(files.size());
    for (const FileData* file : files) {
        previous.push_back(file->ResultFile);
    }
    const auto restore = [&] {
        outputs_.Release();
        for (size_t i = 0; i < files.size(); ++i) {
            files[i]->ResultFile = previous[i];
        }
        host_.ResultNamesChanged();
    };

    for (FileData* file : files) {
        std::string folder = chosenFolder;
        if (options_.samefolder == 1) {
            folder = FolderPart(file->SourceFile, Paths);
            if (folder.empty()) {
                // A bare name lies in the current folder.
                folder = std::string(".") + Paths.Separator;
            }
        }
        file->ResultFile =
            JoinPath(folder, ResultFileName(file->SourceFile, options_, Paths), Paths);
    }
    // Held from here on: the checks below and every write of the run see the same folders.
    HoldOutputFolders(files);

    // A result may name no listed source, in any spelling.
    const SameFileIndex sources = SourceIndex(files);
    std::vector<PathIdentity> results;
    results.reserve(files.size());
    std::vector<bool> conflict(files.size(), false);
    bool anyConflict = false;
    for (size_t i = 0; i < files.size(); ++i) {
        results.push_back(IdentityOf(files[i]->ResultFile));
        conflict[i] = sources.Find(results.back()).has_value();
        anyConflict = anyConflict || conflict[i];
    }
    // Two files may not write one result either: the second would replace the first.
    const std::vector<bool> shared = SameFileIndex::Clashes(results, SameFileRule::Writing);
    bool anyShared = false;
    for (const bool clash : shared) {
        anyShared = anyShared || clash;
    }

    if (anyConflict) {
        host_.ShowError(messages::SameFiles + Listed(files, conflict));
        restore();
        return false;
    }
    if (anyShared) {
        host_.ShowError(messages::SharedResults + Listed(files, shared));
        restore();
        return false;
    }
    if (!SecureOutputFolders(files)) {
        restore();
        return false;
    }
    host_.ResultNamesChanged();

    if (options_.overwritewarn) {
        for (const FileData* file : files) {
            if (!ExistsAsFile(file->ResultFile)) {
                continue;
            }
            const Answer answer =
                Ask("Output file " + file->ResultFile + " already exists. Overwrite?", false);
            if (answer == Answer::No) {
                restore();
                return false;
            }
        }
    }
    return true;
}

}  // namespace tralux
