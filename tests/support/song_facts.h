// What the tests know about the song, in one place: the report a render prints,
// the counts behind it and the pinned output. Each fact is worked out from the
// song data (app/song.h) or the synth's constants; the only values written down
// are the pinned output's, in tests/golden_pcm.sha256, tests/golden_wav.sha256
// and tests/golden_pcm.steps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace wave::test {

// The pitch factor of every detuned pass, worked out from the schedule's
// constants: from kFirstDetune, d = float(d + kDetuneStep) while d <= kLastDetune.
std::vector<float> DetuneSchedule();

struct SongCounts {
    int tracks;           // arrangement rows
    int passes;           // detuned passes
    int rendered_tracks;  // track renders of the whole song, one report line each
};
SongCounts Counts();

// The lines a render of the song reports ("detune = …" per pass, then "Render
// Track ch[N]" per row), each ending in a newline.
std::vector<std::string> RenderReport();

// What the player prints: "ALLOC = …" and "SND_UNIT_NUM = …", then RenderReport().
std::vector<std::string> PlayerReport();

// The pinned SHA-256 of the 16-bit PCM of all 180 s, and of the WAV file
// wave-render writes (lowercase hex; empty when the file cannot be read).
std::string PinnedPcmHash();
std::string PinnedWavHash();

// The tracks that have a note at `step` of the song data (not a rest, not after
// the end), as "4 bass (note 42), 1 kick (note 40)" in arrangement order, or
// "no track".
std::string TracksSoundingAt(int step);

// Where a 16-bit PCM stops being the pinned one. The pinned render is kept in
// two forms: a digest of every step of each channel, tests/golden_pcm.steps
// (committed, so it is there on a fresh clone), and a copy of the PCM in the
// build folder, written by a render that matched the pinned hash (exact to the
// frame, where it exists).
struct StepDigest {
    std::uint64_t left, right;
    friend bool operator==(const StepDigest&, const StepDigest&) = default;
};

// The digest of every step of the PCM (interleaved 16-bit stereo, `frames`
// frames) up to the last step that is not silent.
std::vector<StepDigest> StepDigests(const std::int16_t* pcm, std::size_t frames);

// The step digests as the .steps file holds them, and back; the parse gives an
// empty list when the text is not such a file.
std::string FormatStepDigests(const std::vector<StepDigest>& digests);
std::vector<StepDigest> ParseStepDigests(const std::string& text);

// A PCM the way it is pinned: its step digests and, where a copy is at hand, the
// samples themselves (empty otherwise).
struct PinnedPcm {
    std::vector<StepDigest> steps;
    std::vector<std::int16_t> samples;
};

// Says where `pcm` (interleaved, `frames` frames) first differs from `pinned`:
// the frame and its time, the channel, the step and the tracks that sound there.
// Empty when nothing differs.
std::string DescribeFirstDifference(const std::int16_t* pcm, std::size_t frames,
                                    const PinnedPcm& pinned);

// "mm:ss.mmm" for a frame at 44,100 frames per second.
std::string FrameTime(std::size_t frame);

// The pinned PCM as this checkout and build hold it (the files named above).
PinnedPcm LoadPinnedPcm();

// Keeps a copy of `pcm`, which matched the pinned hash, in the build folder for
// DescribeFirstDifference, unless an identical copy is there.
void KeepPinnedPcmCopy(const std::int16_t* pcm, std::size_t frames);

// Writes the step digests of `pcm` beside the copy, for a reviewer to put in
// tests/golden_pcm.steps once the new music is accepted. Returns its path.
std::string WriteNewStepDigests(const std::int16_t* pcm, std::size_t frames);

}  // namespace wave::test
