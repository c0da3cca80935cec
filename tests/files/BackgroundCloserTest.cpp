#include "files/BackgroundCloser.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "TempDir.h"

namespace tralux {
namespace {

bool IsOpen(int fd) {
    return ::fcntl(fd, F_GETFD) != -1 || errno != EBADF;
}

TEST(BackgroundCloser, EveryDescriptorGivenIsClosedByWaitAndByTheEnd) {
    test::TempDir dir;
    const std::string path = dir.File("held");
    int first = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    int second = ::open(path.c_str(), O_RDONLY);
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    {
        BackgroundCloser closer;
        closer.Close(-1);  // ignored
        closer.Close(first);
        closer.Close(second);
        closer.Wait();
        EXPECT_FALSE(IsOpen(first));
        EXPECT_FALSE(IsOpen(second));

        first = ::open(path.c_str(), O_RDONLY);
        ASSERT_GE(first, 0);
        closer.Close(first);
    }
    // Given just before the end: closed before the closer is gone.
    EXPECT_FALSE(IsOpen(first));
}

}  // namespace
}  // namespace tralux
