// The song's score as a Standard MIDI File, written with libsmf, which is loaded
// when a score is first asked for.
#pragma once

#include <string>

#include "tools/wave_render/encode.h"

namespace wave::render {

// Whether `name` (an extension or a --format value) asks for the score.
bool IsScoreFormat(std::string_view name);

// The score: format 1, a tempo track, then one track per arrangement row, named
// after its voice, every note at its step for its length. On failure returns
// false and sets `error`.
bool EncodeScore(EncodedFile& out, std::string& error);

}  // namespace wave::render
