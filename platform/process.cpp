#include "platform/process.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace wave::platform {

unsigned OpenClosedStandardDescriptors() {
    unsigned closed = 0;
#if !defined(_WIN32)
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        closed |= 1u << fd;
        // open returns the lowest free descriptor: this one, as the lower ones are open.
        const int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened != fd && opened >= 0) close(opened);
    }
#endif
    return closed;
}

}  // namespace wave::platform
