// What a companion program needs to know of the terminal it writes to.
#pragma once

namespace wave::platform {

// The width in columns of the terminal open on `fd`, or 0 when it is not a
// terminal or does not say.
int TerminalColumns(int fd);

}  // namespace wave::platform
