// Puts the encoded bytes where the user asked, without leaving anything half-written.
#pragma once

#include <string>

#include "tools/wave_render/encode.h"

namespace wave::render {

// Whether `path` may be written as WriteOutput would write it, so that a render
// that could not be saved is refused before it starts; else `error` says why.
bool CheckOutput(const std::string& path, std::string& error);

// Writes `file` to standard output when `path` is "-", straight into a FIFO,
// device or descriptor (/dev/stdout, /dev/fd/N), and otherwise to a new file in
// the same folder that is put in place of `path` once complete, with the
// replaced file's mode, owner and group; when `path` is a symbolic link, in place
// of the file it points to, so that the link stays. A file the user may not
// write is refused, as cp refuses it; another user's file that the user may
// write is written into, so that it stays theirs. On failure nothing is left
// behind, an existing file is untouched, and `error` names the path (or the
// folder that cannot be written) and the reason.
bool WriteOutput(const std::string& path, const EncodedFile& file, std::string& error);

// Whether `path` ("-" for standard output) is a terminal: audio there would
// only fill the screen with bytes the terminal then answers.
bool IsTerminal(const std::string& path);

// Removes a temporary file still being written; safe to call from a signal handler.
void RemovePartialOutput();

}  // namespace wave::render
