#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "files/FileAccess.h"

namespace tralux::test {

// Real files underneath, with every write recorded and one chosen write made to fail, as a
// full disk would. Write numbers count across all files the access opened, from 1. With Shared
// set, runs may use it from several threads at once; the records are then kept under a lock.
class FakeFileAccess : public FileAccess {
public:
    struct WriteRecord {
        std::string Path;
        size_t Size;
    };

    std::unique_ptr<PassFile> OpenExisting(const std::string& path) override {
        Record([&] {
            Opened.push_back(path);
            OpenedBy.push_back(std::this_thread::get_id());
        });
        auto file = PosixFileAccess().OpenExisting(path);
        return file ? std::make_unique<File>(*this, path, std::move(file)) : nullptr;
    }
    std::unique_ptr<PassFile> Create(const std::string& path,
                                     const OutputFolders* folders) override {
        Record([&] {
            Created.push_back(path);
            CreatedBy.push_back(std::this_thread::get_id());
        });
        if (RefuseCreate) {
            return nullptr;
        }
        auto file = PosixFileAccess().Create(path, folders);
        return file ? std::make_unique<File>(*this, path, std::move(file)) : nullptr;
    }

    std::unique_ptr<PassFile> CreateOver(const std::string& path,
                                         const OutputFolders* folders) override {
        Record([&] {
            Created.push_back(path);
            CreatedBy.push_back(std::this_thread::get_id());
        });
        if (RefuseCreate) {
            return nullptr;
        }
        auto file = PosixFileAccess().CreateOver(path, folders);
        return file ? std::make_unique<File>(*this, path, std::move(file)) : nullptr;
    }

    bool SharedByThreads() const override { return Shared; }
    // How many files were created so far, read while others may be creating them.
    size_t CreatedCount() {
        size_t count = 0;
        Record([&] { count = Created.size(); });
        return count;
    }

    int FailWrite = 0;  // the number of the write that fails; 0: none
    // Every write to the file created under this name fails; empty: none.
    std::string FailWritesTo;
    bool Shared = false;
    bool RefuseCreate = false;
    bool FailCommit = false;  // a created file cannot be made whole under its name
    // Runs as a created file is about to take its name, with that name: between the
    // temporary file's creation and its rename.
    std::function<void(const std::string&)> BeforeCommit;
    int Commits = 0;
    std::vector<std::string> Opened;
    std::vector<std::thread::id> OpenedBy;  // the thread that opened each
    std::vector<std::string> Created;
    std::vector<std::thread::id> CreatedBy;  // the thread that created each
    std::vector<WriteRecord> Writes;         // the writes that were attempted, in order
    std::vector<size_t> Reads;               // requested sizes

private:
    class File : public PassFile {
    public:
        File(FakeFileAccess& owner, std::string path, std::unique_ptr<PassFile> real)
            : owner_(owner), path_(std::move(path)), real_(std::move(real)) {}
        size_t Read(void* buffer, size_t size) override {
            owner_.Record([&] { owner_.Reads.push_back(size); });
            return real_->Read(buffer, size);
        }
        bool Write(const void* buffer, size_t size) override {
            size_t number = 0;
            owner_.Record([&] {
                owner_.Writes.push_back({path_, size});
                number = owner_.Writes.size();
            });
            if (static_cast<int>(number) == owner_.FailWrite || path_ == owner_.FailWritesTo) {
                // Half goes through, as when the disk fills up in the middle of a write.
                real_->Write(buffer, size / 2);
                return false;
            }
            return real_->Write(buffer, size);
        }
        bool Seek(int64_t offset) override { return real_->Seek(offset); }
        bool Commit() override {
            owner_.Record([&] { ++owner_.Commits; });
            if (owner_.BeforeCommit) {
                owner_.BeforeCommit(path_);
            }
            return !owner_.FailCommit && real_->Commit();
        }
        CommitRefusal Refusal() const override { return real_->Refusal(); }
        FileIdentity Identity() const override { return real_->Identity(); }

    private:
        FakeFileAccess& owner_;
        std::string path_;
        std::unique_ptr<PassFile> real_;
    };

    template <typename Change>
    void Record(Change change) {
        std::lock_guard<std::mutex> lock(mutex_);
        change();
    }
    std::mutex mutex_;
};

}  // namespace tralux::test
