// What a careful program sets up about its own process before it does anything else.
#pragma once

namespace wave::platform {

// Opens /dev/null on any of the standard descriptors 0, 1 and 2 that is closed,
// so that the first file or device the program opens cannot take its place and
// receive text meant for a terminal, or feed the program bytes of its own.
// Returns a bit (1 << fd) for each that was closed; 0 where the platform has no
// such descriptors.
unsigned OpenClosedStandardDescriptors();

}  // namespace wave::platform
