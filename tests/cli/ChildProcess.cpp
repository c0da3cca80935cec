#include "ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace tralux::test {
namespace {

void Check(bool ok, const char* what) {
    if (!ok) {
        throw std::runtime_error(std::string(what) + " failed");
    }
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& arguments, const ProcessSetup& setup) {
    int out[2];
    int err[2] = {-1, -1};
    int master = -1;
    int slave = -1;
    Check(::pipe2(out, O_CLOEXEC) == 0, "pipe");
    if (setup.outputClosed) {
        ::close(out[0]);
        out[0] = -1;
    }
    if (setup.terminal) {
        Check(::openpty(&master, &slave, nullptr, nullptr, nullptr) == 0, "openpty");
        ::fcntl(master, F_SETFD, FD_CLOEXEC);
        ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    } else {
        Check(::pipe2(err, O_CLOEXEC) == 0, "pipe");
    }

    std::vector<char*> argv;
    const std::string program = TRALUX_CLI_PATH;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);

    pid_ = ::fork();
    Check(pid_ >= 0, "fork");
    if (pid_ == 0) {
        // The child: only async-signal-safe calls until exec.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        signal(SIGINT, SIG_DFL);
        signal(SIGPIPE, SIG_DFL);
        signal(SIGHUP, SIG_DFL);
        if (setup.terminal) {
            ::setsid();
            ::ioctl(slave, TIOCSCTTY, 0);
            ::dup2(slave, 0);
            ::dup2(slave, 2);
        } else {
            const int null = ::open("/dev/null", O_RDONLY);
            ::dup2(null, 0);
            ::dup2(err[1], 2);
        }
        ::dup2(out[1], 1);
        if (!setup.workingFolder.empty() && ::chdir(setup.workingFolder.c_str()) != 0) {
            ::_exit(127);
        }
        ::setenv("LC_ALL", "C", 1);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    outFd_ = out[0];
    if (setup.terminal) {
        ::close(slave);
        errFd_ = master;
        if (!setup.typed.empty()) {
            Check(::write(master, setup.typed.data(), setup.typed.size()) ==
                      static_cast<ssize_t>(setup.typed.size()),
                  "write to terminal");
        }
    } else {
        ::close(err[1]);
        errFd_ = err[0];
    }
}

ChildProcess::~ChildProcess() {
    if (!reaped_ && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    if (outFd_ >= 0) {
        ::close(outFd_);
    }
    if (errFd_ >= 0) {
        ::close(errFd_);
    }
}

ProcessResult ChildProcess::Wait() {
    ProcessResult result;
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = (outFd_ >= 0 ? 1 : 0) + (errFd_ >= 0 ? 1 : 0);
    while (open > 0) {
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                // End of a pipe, or EIO once the terminal's last user has gone.
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

ProcessResult RunCli(const std::vector<std::string>& arguments, const ProcessSetup& setup) {
    ChildProcess child(arguments, setup);
    return child.Wait();
}

}  // namespace tralux::test
