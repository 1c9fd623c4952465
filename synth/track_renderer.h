// The track renderer: one step-sequenced track, one voice, into TrackBuffer, then
// the track's effect chain and MixTrack.
#pragma once

#include <cstdint>
#include <span>

#include "synth/voices.h"

namespace wave {

// Step codes of a SongTrack; every other value is a note-on with that note number.
inline constexpr std::uint8_t SND_END = 255;
inline constexpr std::uint8_t SND_REST = 127;
inline constexpr std::uint8_t SND_HOLD = 0;

// A track of step codes. It ends at its end code, at SND_UNIT_NUM steps, or at
// its own length, whichever comes first.
using SongTrack = std::span<const std::uint8_t>;

// Phase increment of note n in cycles per frame: 0.00019219286 * 1.0594631^n in float steps.
float NoteIncrement(int n);

// The shared noisy-voice source: s = s * 214013 + 2531011, returns (s >> 16) & 0x7FFF.
int NoiseRand();
inline constexpr std::uint32_t kNoiseMultiplier = 214013u;
inline constexpr std::uint32_t kNoiseIncrement = 2531011u;
// One draw on a state, or on a vector of states: the next state, and the value it gives.
template <typename State>
constexpr State NextNoiseState(State s) {
    return s * kNoiseMultiplier + kNoiseIncrement;
}
template <typename State>
constexpr State NoiseBits(State s) {
    return (s >> 16) & 0x7FFF;
}
// Restarts NoiseRand from its start state (1); a run never needs it, tests and tools do.
void ResetNoiseRand();
// NoiseRand's state, and the state `draws` calls after `state`, found in O(log draws).
std::uint32_t NoiseRandState();
void SetNoiseRandState(std::uint32_t state);
std::uint32_t NoiseRandAfter(std::uint32_t state, std::uint64_t draws);

// The steps of `track` that RenderTrack reads: up to its end code, its length or
// SND_UNIT_NUM, whichever comes first.
SongTrack PlayedSteps(SongTrack track);

// The number of frames RenderTrack renders for `track`: its played steps less
// the rests.
std::uint64_t RenderedFrames(SongTrack track);

// Where RenderTrack's report line goes; the default writes it to standard output.
using ReportLineFn = void (*)(const char* line);
void SetReportLine(ReportLineFn report);
// Sends one line through the current report function.
void ReportLine(const char* line);
// Reports "Render Track ch[voice]", the line RenderTrack prints.
void ReportTrackLine(VoiceType voice);

// The sine the plain path computes with. kExact: the correctly rounded sine
// (synth/sine.h) that the output is defined by. kCLibrary: the C library's sin,
// as a straightforward implementation would call it; for timing only, since a C
// library's sin may differ from the exact one in the last place.
enum class PlainSine { kExact, kCLibrary };

// Writes the voice's samples for `track` into TrackBuffer: every rendered step is
// overwritten, other samples are left as they are. No effects, no mixing.
void RenderVoice(VoiceType type, SongTrack track, float left, float right, float detune,
                 PlainSine sine = PlainSine::kExact);

// Renders `track` with voice `type` at `detune` into TrackBuffer, runs the voice's
// effect chain (two echoes, and a low-pass for some) and adds it into MixBuffer
// at `volume`.
void RenderTrack(VoiceType type, SongTrack track, float volume, float left, float right,
                 float detune, PlainSine sine = PlainSine::kExact);

}  // namespace wave
