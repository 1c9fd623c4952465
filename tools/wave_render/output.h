// Puts the encoded bytes where the user asked, without leaving anything half-written.
#pragma once

#include <string>

#include "tools/wave_render/encode.h"

namespace wave::render {

// Writes `file` to standard output when `path` is "-", straight into a FIFO or
// device, and otherwise to a temporary file in the same folder that is then
// renamed over `path`; when `path` is a symbolic link, over the file it points to,
// so that the link stays. On failure nothing is left behind, an existing file is
// untouched, and `error` names the path (or the folder that cannot be written)
// and the reason.
bool WriteOutput(const std::string& path, const EncodedFile& file, std::string& error);

// Whether `path` ("-" for standard output) is a terminal: audio there would
// only fill the screen with bytes the terminal then answers.
bool IsTerminal(const std::string& path);

// Removes a temporary file still being written; safe to call from a signal handler.
void RemovePartialOutput();

}  // namespace wave::render
