// Preloaded into wave-render to play a filesystem without unnamed files: opening
// a folder with O_TMPFILE fails with EOPNOTSUPP, as it does on filesystems that
// lack them. Every other open goes through.
#include <dlfcn.h>
#include <fcntl.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>

namespace {

template <typename Call>
Call Next(const char* name) {
    void* next = dlsym(RTLD_NEXT, name);
    Call call;
    std::memcpy(&call, &next, sizeof call);
    return call;
}

mode_t ModeArgument(int flags, va_list args) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(args, mode_t) : 0;
}

}  // namespace

// open or open64, named `name`, refusing an unnamed file.
int OpenRefusingTmpfile(const char* name, const char* path, int flags, va_list args) {
    const mode_t mode = ModeArgument(flags, args);
    if ((flags & O_TMPFILE) == O_TMPFILE) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return Next<int (*)(const char*, int, ...)>(name)(path, flags, mode);
}

extern "C" {

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const int fd = OpenRefusingTmpfile("open", path, flags, args);
    va_end(args);
    return fd;
}

int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const int fd = OpenRefusingTmpfile("open64", path, flags, args);
    va_end(args);
    return fd;
}
}
