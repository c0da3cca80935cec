#pragma once

#include <signal.h>
#include <sys/resource.h>

namespace tralux::test {

// Files of this process cannot grow past a size while the object lives: a write that would
// take one further gets only the bytes up to the limit, the next none, as on a disk that has
// just filled up. The signal such a write raises is ignored meanwhile.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        previousSignal_ = ::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &previous_);
        rlimit limit = previous_;
        limit.rlim_cur = bytes;
        active_ = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &previous_);
        ::signal(SIGXFSZ, previousSignal_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

    bool Active() const { return active_; }

private:
    rlimit previous_{};
    sighandler_t previousSignal_ = SIG_DFL;
    bool active_ = false;
};

}  // namespace tralux::test
