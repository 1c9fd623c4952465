#include "platform/memory.h"

#include <cstdint>
#include <cstring>

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

void ZeroPages(void* start, std::size_t bytes) {
    auto* bytes_start = static_cast<unsigned char*>(start);
#if defined(__linux__)
    constexpr std::uintptr_t kPage = 4096;
    const auto address = reinterpret_cast<std::uintptr_t>(start);
    const auto first = (address + kPage - 1) & ~(kPage - 1);
    const auto end = (address + bytes) & ~(kPage - 1);
    // Private anonymous pages read as zero once given back. A page wholly inside a
    // static buffer holds nothing else, so nothing else is lost with it.
    if (end > first && madvise(reinterpret_cast<void*>(first), end - first, MADV_DONTNEED) == 0) {
        std::memset(bytes_start, 0, first - address);
        std::memset(reinterpret_cast<void*>(end), 0, address + bytes - end);
        return;
    }
#endif
    std::memset(bytes_start, 0, bytes);
}

}  // namespace wave::platform
