#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace tralux::test {

// What a finished tralux-cli process left behind.
struct ProcessResult {
    int status = -1;  // exit status; -1 when it did not exit normally
    std::string out;
    std::string err;
};

// How the child is started. Without a terminal, standard input is /dev/null and both output
// streams are pipes.
struct ProcessSetup {
    std::string workingFolder{};  // empty: the test's own
    // Standard input and standard error on one pseudo-terminal; typed is written to it first.
    bool terminal = false;
    std::string typed{};
    // Standard output is a pipe whose reading end is already closed, as after `| head -c 0`:
    // every write to it fails.
    bool outputClosed = false;
};

// tralux-cli (the build's own) running with LC_ALL=C, so numbers use a full stop.
class ChildProcess {
public:
    ChildProcess(const std::vector<std::string>& arguments, const ProcessSetup& setup = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t Pid() const { return pid_; }
    // Reads everything the child writes until it ends, then reaps it.
    ProcessResult Wait();

private:
    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;  // the terminal's master side in terminal mode
    bool reaped_ = false;
};

// Runs tralux-cli to its end.
ProcessResult RunCli(const std::vector<std::string>& arguments, const ProcessSetup& setup = {});

}  // namespace tralux::test
