#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "FileIdentity.h"

namespace tralux {

// A folder results are written into, held open so that every file is created, renamed and
// removed in the very folder that was checked, whatever its name leads to later.
class HeldFolder {
public:
    // Opens path ("" for the current folder) as its name leads now, without following a link
    // at the moment of the open; OpenError() tells why it could not be.
    explicit HeldFolder(std::string path);
    ~HeldFolder();
    HeldFolder(const HeldFolder&) = delete;
    HeldFolder& operator=(const HeldFolder&) = delete;

    const std::string& Path() const { return path_; }
    int Descriptor() const { return fd_; }  // -1 when it could not be opened
    int OpenError() const { return openError_; }
    FileIdentity Identity() const { return identity_; }
    // Whether the folder's name still leads to it: not moved, removed or replaced since.
    bool StillNamed() const;
    // Takes an exclusive advisory lock on the folder until it is let go; false only when
    // another holder has one. A file system without such locks is taken as locked.
    bool Lock();
    // Removes the temporary files this program's runs left here when they were killed: ours
    // by name and owner, whose process no longer exists. resultNames: the names results take
    // here, after which earlier versions named their temporary files.
    void RemoveStaleTemporaries(const std::vector<std::string>& resultNames) const;

private:
    std::string path_;
    int fd_ = -1;
    int openError_ = 0;
    FileIdentity identity_;
};

// The folder part of a path as the file floor splits it: up to and including the last '/',
// "" for a bare name.
std::string FolderOfPath(const std::string& path);
std::string NameOfPath(const std::string& path);

// The folders one run writes into, held from its output check to its end, and the listed
// sources, which no result may be renamed over.
class OutputFolders {
public:
    // Holds folder (a result's FolderOfPath), opening it the first time it is named.
    HeldFolder& Hold(const std::string& folder);
    // The held folder for a result's FolderOfPath; nullptr when it is not held.
    const HeldFolder* Find(const std::string& folder) const;
    // A listed source, by what its name leads to now; a name that leads nowhere adds nothing.
    void Keep(const std::string& sourcePath);
    const std::vector<FileIdentity>& Kept() const { return kept_; }
    // Every folder held, in the order of their names.
    std::vector<HeldFolder*> Folders() const;
    // Lets every folder go (and its lock) and forgets the sources.
    void Release();

private:
    std::map<std::string, std::unique_ptr<HeldFolder>> folders_;
    std::vector<FileIdentity> kept_;
};

}  // namespace tralux
