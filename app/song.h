// The song: seven step-sequenced tracks, the arrangement that voices them and
// the four detuned passes that render it into MixBuffer.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "synth/fast_renderer.h"
#include "synth/track_renderer.h"

namespace wave {

inline constexpr int kSongSteps = 640;  // every track: 40 rows of 16 steps, then the end code
inline constexpr int kRowSteps = 16;
inline constexpr int kTrackCount = 7;

using TrackData = std::array<std::uint8_t, kSongSteps + 1>;

// Track n of the song, 0 to 6.
SongTrack SongTrackData(int n);

// What track n of the song plays, in a word or two ("kick", "lead").
const char* SongTrackName(int n);

// One note as its track plays it: from its note-on to the next note-on, rest
// or end code. Four ints, so that a list of them reads as an int array.
struct SongNote {
    int track;       // 0 to 6, as SongTrackData numbers them
    int note;        // note number
    int first_step;  // the step of its note-on; step k starts at frame k * SND_UNIT_LEN
    int steps;       // the note-on and the holds after it
};

// Every note of every track, track by track and in time within a track.
std::vector<SongNote> SongNotes();

struct ArrangementEntry {
    VoiceType voice;
    int track;
    float volume;
    float left;
    float right;
};

inline constexpr std::array<ArrangementEntry, kTrackCount> kArrangement = {{
    {VOICE_PULSE, 6, 0.052f, 0.8f, 0.7f},
    {VOICE_PULSE, 5, 0.052f, 0.8f, 0.7f},
    {VOICE_PULSE, 4, 0.052f, 0.8f, 0.7f},
    {VOICE_SINE_OF_SINE, 3, 0.06f, 0.8f, 1.0f},
    {VOICE_PM_LEAD, 2, 0.07f, 1.0f, 1.0f},
    {VOICE_JITTER_SINE, 1, 0.22f, 0.8f, 1.0f},
    {VOICE_NOISE, 0, 0.22f, 0.7f, 1.0f},
}};

// The detune schedule: from 0.997, d = float(d + 0.002) while d <= 1.004.
inline constexpr float kFirstDetune = 0.997f;
inline constexpr float kDetuneStep = 0.002f;
inline constexpr float kLastDetune = 1.004f;

// The number of detuned passes the song is rendered in.
int DetunePassCount();

// For the renders below: every arrangement row is heard, or only row `solo`
// (0 to 6), with the others rendered at volume 0. They still draw from NoiseRand
// as in the whole song, so the row sounds exactly as it does in the mix: its stem.
inline constexpr int kEveryRow = -1;

// How far RenderSong has come: the fraction of the work done, from 0 to 1, and
// how many of the song's track renders it has finished.
struct SongProgress {
    double fraction;
    int tracks_done;
    int tracks;
};
using SongProgressFn = std::function<void(const SongProgress&)>;

// Renders every arrangement row in every detune pass into MixBuffer, reports a
// line per pass and per track, then scales MixBuffer by 1 / passes. Returns the
// number of passes. `use` says what becomes of the mix afterwards (see MixUse).
// `threads` > 1 renders on that many threads, with the same result. `progress`
// is called on the calling thread as the render goes on.
int RenderSong(MixUse use, int threads = 1, FastPathIsa isa = FastPathIsa::kBest,
               const SongProgressFn& progress = {}, int solo = kEveryRow);

// RenderSong(MixUse::kPcm16, ...) and then ConvertMixToPcm16, for a MixBuffer
// that holds only +0 (as at the start of the process, or after ClearBuffers):
// the mix is made chunk by chunk elsewhere and only its 16-bit samples are
// stored, so MixBuffer is written no further than the 16-bit samples of the
// sound. Leaves the 16-bit PCM in MixBuffer (MixPcmBytes).
struct Pcm16Song {
    int passes;
    std::size_t samples;  // every 16-bit sample from here on is zero
};
Pcm16Song RenderSongToPcm16(int threads = 1, FastPathIsa isa = FastPathIsa::kBest,
                            const SongProgressFn& progress = {}, int solo = kEveryRow);

// The same, the straightforward way: one RenderTrack call after another, with
// the plain path's sines (see PlainSine).
int RenderSongReference(PlainSine sine = PlainSine::kExact);

}  // namespace wave
