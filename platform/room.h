// Whether memory can still be had, asked before work that cannot fail cleanly
// without it.
#pragma once

#include <cstddef>

namespace wave::platform {

// Whether `bytes` more could be mapped now (under a limit on the address space,
// or on committed memory). The mapping is never touched, so it costs nothing.
bool HasRoom(std::size_t bytes);

// Whether the program has room to start: short of about a megabyte, the C++
// runtime has no reserve from which to report an allocation that fails, and
// any that fails would end the program instead.
bool HasRoomToStart();

}  // namespace wave::platform
