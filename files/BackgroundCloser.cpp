#include "BackgroundCloser.h"

#include <unistd.h>

namespace tralux {

void BackgroundCloser::Close(int fd) {
    if (fd >= 0) {
        worker_.Post([fd] { ::close(fd); });
    }
}

}  // namespace tralux
