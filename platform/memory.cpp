#include "platform/memory.h"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace wave::platform {

void AdviseLargePages([[maybe_unused]] void* start, [[maybe_unused]] std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // The advice applies to whole pages; large pages cover what it spans of
    // their own size and alignment.
    constexpr std::uintptr_t kPage = 4096;
    const auto first = (reinterpret_cast<std::uintptr_t>(start) + kPage - 1) & ~(kPage - 1);
    const auto end = (reinterpret_cast<std::uintptr_t>(start) + bytes) & ~(kPage - 1);
    // Only advice: where it is not taken, the memory works as before.
    if (end > first) madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
#endif
}

}  // namespace wave::platform
