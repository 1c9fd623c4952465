#include "platform/room.h"

#if !defined(_WIN32)
#include <sys/mman.h>
#endif

namespace wave::platform {

namespace {

// Well above the runtime's reserve for exceptions and the render's own
// allocations; the helper threads' stacks are not counted, as the render does
// without the threads it cannot start.
constexpr std::size_t kStartRoomBytes = std::size_t{1} << 20;

}  // namespace

bool HasRoom([[maybe_unused]] std::size_t bytes) {
#if defined(_WIN32)
    return true;  // no limit is asked about there
#else
    void* room = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (room == MAP_FAILED) return false;
    munmap(room, bytes);
    return true;
#endif
}

bool HasRoomToStart() {
    return HasRoom(kStartRoomBytes);
}

}  // namespace wave::platform
