// Advice to the system about the process's large buffers.
#pragma once

#include <cstddef>

namespace wave::platform {

// Asks for [start, start + bytes) to be backed by large pages where the system
// offers them, so that first touching a buffer of many megabytes takes a few
// page faults instead of one per 4 KiB. Call it before the memory is first
// touched; it changes no contents, and where there is no such advice it does nothing.
void AdviseLargePages(void* start, std::size_t bytes);

// Sets [start, start + bytes) to zero without bringing into memory the pages of
// it that the process never touched: the whole pages in it are given back to the
// system, which hands out zero pages when they are next read, and only the part
// pages at its two ends are written. For large static buffers, whose pages are
// private to the process; where there is no such call, the memory is written.
void ZeroPages(void* start, std::size_t bytes);

}  // namespace wave::platform
