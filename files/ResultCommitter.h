#pragma once

#include <memory>

#include "FileAccess.h"
#include "SerialWorker.h"

namespace tralux {

// Makes a finished result whole under its name (flush to the medium, close, rename) on a thread
// of its own, so that a run goes on with its next file while the disk catches up. One commit at
// a time: whoever starts one collects its outcome with Finish before the next.
class ResultCommitter {
public:
    struct Outcome {
        bool Whole = false;
        CommitRefusal Refusal = CommitRefusal::None;
        // The file the name held before, for the caller to close (see PassFile::TakeReplaced);
        // -1 when none.
        int Replaced = -1;
    };

    ResultCommitter() = default;
    ~ResultCommitter();  // waits for a commit in hand and closes what it replaced
    ResultCommitter(const ResultCommitter&) = delete;
    ResultCommitter& operator=(const ResultCommitter&) = delete;

    // Starts committing output, which was written to its end. held, when given, stays open
    // until the commit is done: the source of a rewrite, whose lock stands for the one on the
    // file it replaces. Only when nothing is Pending().
    void Start(std::unique_ptr<PassFile> output, std::unique_ptr<PassFile> held);
    bool Pending() const { return pending_; }
    // Waits for the commit in hand and gives its outcome. Only when Pending().
    Outcome Finish();

private:
    SerialWorker worker_;
    // Touched by the worker only between Start and the Wait in Finish.
    std::unique_ptr<PassFile> output_;
    std::unique_ptr<PassFile> held_;
    Outcome outcome_;
    bool pending_ = false;
};

}  // namespace tralux
