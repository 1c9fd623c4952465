#include "tools/wave_render/room.h"

#include <sys/mman.h>

namespace wave::render {

namespace {

// Well above the runtime's reserve for exceptions and the render's own
// allocations; the helper threads' stacks are not counted, as the render does
// without the threads it cannot start.
constexpr std::size_t kStartRoomBytes = std::size_t{1} << 20;

}  // namespace

bool HasRoom(std::size_t bytes) {
    void* room = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (room == MAP_FAILED) return false;
    munmap(room, bytes);
    return true;
}

bool HasRoomToStart() {
    return HasRoom(kStartRoomBytes);
}

}  // namespace wave::render
