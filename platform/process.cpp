#include "platform/process.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace wave::platform {

void OpenClosedStandardDescriptors() {
#if !defined(_WIN32)
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open returns the lowest free descriptor: this one, as the lower ones are open.
        const int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened != fd && opened >= 0) close(opened);
    }
#endif
}

}  // namespace wave::platform
