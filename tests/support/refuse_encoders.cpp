// Preloaded into wave-render to play a system without the encoder libraries:
// loading any library whose name mentions libsndfile or libsoxr fails, as it
// does where they are not installed. Every other load goes through.
#include <dlfcn.h>

#include <cstring>

extern "C" void* dlopen(const char* file, int mode) {
    if (file != nullptr && (std::strstr(file, "libsndfile") || std::strstr(file, "libsoxr"))) {
        return nullptr;
    }
    using Open = void* (*)(const char*, int);
    void* next = dlsym(RTLD_NEXT, "dlopen");
    Open open;
    std::memcpy(&open, &next, sizeof open);
    return open(file, mode);
}
