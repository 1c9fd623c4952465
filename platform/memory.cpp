#include "platform/memory.h"

#include <cstdint>
#include <cstring>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace wave::platform {

namespace {

// The whole pages inside [start, start + bytes): their first and end addresses,
// first >= end when there is none.
struct WholePages {
    std::uintptr_t first, end;
};
[[maybe_unused]] WholePages WholePagesIn(const void* start, std::size_t bytes) {
    constexpr std::uintptr_t kPage = 4096;
    const auto address = reinterpret_cast<std::uintptr_t>(start);
    return {(address + kPage - 1) & ~(kPage - 1), (address + bytes) & ~(kPage - 1)};
}

}  // namespace

void AdviseLargePages([[maybe_unused]] void* start, [[maybe_unused]] std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // The advice applies to whole pages; large pages cover what it spans of
    // their own size and alignment.
    const WholePages pages = WholePagesIn(start, bytes);
    // Only advice: where it is not taken, the memory works as before.
    if (pages.end > pages.first) {
        madvise(reinterpret_cast<void*>(pages.first), pages.end - pages.first, MADV_HUGEPAGE);
    }
#endif
}

void ZeroPages(void* start, std::size_t bytes) {
    auto* bytes_start = static_cast<unsigned char*>(start);
#if defined(__linux__)
    const WholePages pages = WholePagesIn(start, bytes);
    // Private anonymous pages read as zero once given back. A page wholly inside a
    // static buffer holds nothing else, so nothing else is lost with it.
    if (pages.end > pages.first && madvise(reinterpret_cast<void*>(pages.first),
                                           pages.end - pages.first, MADV_DONTNEED) == 0) {
        const auto address = reinterpret_cast<std::uintptr_t>(start);
        std::memset(bytes_start, 0, pages.first - address);
        std::memset(reinterpret_cast<void*>(pages.end), 0, address + bytes - pages.end);
        return;
    }
#endif
    std::memset(bytes_start, 0, bytes);
}

}  // namespace wave::platform
