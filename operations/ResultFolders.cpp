// The folders a run writes into: held from the output check to the end of the run, locked
// against a second run, cleared of what killed runs left there.

#include "operations/ResultFolders.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>

#include "operations/Operations.h"

namespace tralux {
namespace {

std::string Shown(const std::string& folder) {
    return folder.empty() ? std::string(".") : folder;
}

}  // namespace

std::string ReadOnlyResults(const std::vector<FileData*>& files) {
    std::string listed;
    for (const FileData* file : files) {
        struct stat info {};
        if (::lstat(file->ResultFile.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
            continue;
        }
        const bool readOnly = (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0 ||
                              (::access(file->ResultFile.c_str(), W_OK) != 0 && errno == EACCES);
        if (readOnly) {
            listed += "\r   " + file->SourceFile;
        }
    }
    return listed;
}

namespace messages {

std::string OutputFolderMoved(const std::string& folder) {
    return "Output folder \"" + Shown(folder) +
           "\" has been moved or replaced while the files were checked:\rnothing has been "
           "written";
}

std::string OutputFolderBusy(const std::string& folder) {
    return "Output folder \"" + Shown(folder) +
           "\" is being written by another Tralux run:\rwait until it has ended, or choose "
           "another folder";
}

}  // namespace messages

void Operations::HoldOutputFolders(const std::vector<FileData*>& files) {
    outputs_.Release();
    for (const FileData* file : files) {
        outputs_.Hold(FolderOfPath(file->ResultFile));
        outputs_.Keep(file->SourceFile);
    }
}

bool Operations::SecureOutputFolders(const std::vector<FileData*>& files) {
    if (const std::string readOnly = ReadOnlyResults(files); !readOnly.empty()) {
        host_.ShowError(messages::ReadOnlyResults + readOnly);
        outputs_.Release();
        return false;
    }
    std::map<const HeldFolder*, std::vector<std::string>> names;
    for (const FileData* file : files) {
        names[outputs_.Find(FolderOfPath(file->ResultFile))].push_back(
            NameOfPath(file->ResultFile));
    }
    std::vector<FileIdentity> locked;  // one folder may be held under several spellings
    for (HeldFolder* folder : outputs_.Folders()) {
        // A folder that could not be opened fails the first write in it, as any folder that
        // cannot be written does.
        if (folder->Descriptor() < 0) {
            continue;
        }
        if (!folder->StillNamed()) {
            host_.ShowError(messages::OutputFolderMoved(folder->Path()));
            outputs_.Release();
            return false;
        }
        const bool lockedAlready =
            std::find(locked.begin(), locked.end(), folder->Identity()) != locked.end();
        if (!lockedAlready && !folder->Lock()) {
            host_.ShowError(messages::OutputFolderBusy(folder->Path()));
            outputs_.Release();
            return false;
        }
        locked.push_back(folder->Identity());
        // Only once the folder is this run's alone: no other run's file goes.
        folder->RemoveStaleTemporaries(names[folder]);
    }
    engine_.Outputs = &outputs_;
    return true;
}

}  // namespace tralux
