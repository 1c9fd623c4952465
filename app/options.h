// The player's command line: no arguments, but the usual --help and --version.
#pragma once

namespace wave {

// The value of HandleArguments when the program is to go on and play.
constexpr int kPlay = -1;

// With no arguments returns kPlay. Otherwise prints the help, the version or a
// one-line usage error and returns the exit status (0, or 2 for a usage error).
int HandleArguments(int argc, char** argv);

}  // namespace wave
