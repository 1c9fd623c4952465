// The fast path's shared types: a job as it runs (a lane), lanes side by side (a
// group), the notes a group keeps, the kernels' scratch, and the per-lane helpers.
//
// Spans, one word each; names that count or index them say frames or samples
// (a frame is a left and a right sample):
//   step     SND_UNIT_LEN frames of a track, one step code.
//   block    kBlockFrames frames, what a kernel processes for a group at once.
//   segment  the frames of a block within one step: a block holds one or two.
//   chunk    a few blocks, one task: a group's part of it, or its mix.
//   slot     the place of one chunk in a lane's output, which holds a few.
//   batch    values processed together before a check (sines, zero scans).
#pragma once

#include <cstdint>
#include <vector>

#include "synth/buffers.h"
#include "synth/track_renderer.h"

namespace wave::fast {

inline constexpr int kBlockFrames = 2048;
inline constexpr int kBlockSamples = 2 * kBlockFrames;
inline constexpr int kMaxGroupLanes = 4;
// A group's scratch holds a block of every lane: element 4 f + i is lane i at frame f.
inline constexpr int kGroupFrames = kMaxGroupLanes * kBlockFrames;
static_assert(kBlockFrames <= SND_UNIT_LEN, "a block holds at most one step boundary");
inline constexpr std::int64_t kLongAgo = INT64_MIN / 2;

using Float4 = float __attribute__((vector_size(16)));
using Int4 = std::int32_t __attribute__((vector_size(16)));
using UInt4 = std::uint32_t __attribute__((vector_size(16)));
using Double4 = double __attribute__((vector_size(32)));
using Int64x4 = std::int64_t __attribute__((vector_size(32)));

enum class StepMode { kRender, kSilent, kEnded };

// One job as it runs: its voice state, its echo chain's state and its output.
struct Lane {
    VoiceType type = VOICE_SINE;
    VoiceTraits voice = Voice(VOICE_SINE);
    SongTrack track;  // cut to the steps RenderTrack reads
    float volume = 0, left = 0, right = 0, detune = 0;

    float h = 0, l = 0, m = 0;  // phase, increment, amplitude, as RenderVoice's
    std::uint32_t noise = 0;    // NoiseRand's state before this lane's next draw
    StepMode mode = StepMode::kSilent;
    // The note struck at the last note-on, while only holds have followed it, or
    // -1; and how many frames have been rendered since that note-on.
    int note = -1;
    int note_frame = 0;

    float low_left = 0, low_right = 0;  // the low-pass's last output per channel
    // The last sample index where each echo's output was not zero.
    std::int64_t last_loud_sample1 = kLongAgo, last_loud_sample2 = kLongAgo;

    float* out = nullptr;      // the output slots: processed samples, to be mixed
    std::vector<char> silent;  // per block of the slots: the output is all zero
};

// A note-on resets every part of a voice's state, so from a note-on through the
// holds that follow it a voice without noise makes the same frames each time it
// plays that note. A group whose lanes play one track keeps them: per note, what
// each frame of its lanes puts into the echoes ([frame][lane], as in Scratch), as
// far as any playing of the note has needed so far, the amplitude at the end of
// each step (which carries on through a rest), and the phase state where they stop.
//
// A voice with noise makes different frames each time, but its phase and its
// amplitude still start again at a note-on: such a group keeps those instead.
struct NoteFrames {
    int capacity_frames = 0;  // the note's longest playing in the track
    int filled_frames = 0;
    float* left = nullptr;          // what each frame puts into the echoes, per channel;
    float* right = nullptr;         // the same array as `left` when the two gains are the same
    float* phase = nullptr;         // for a voice with noise, each frame's h and m instead
    float* amplitude = nullptr;     //   (m as the frame uses it, before its decay)
    float* m_after_step = nullptr;  // the lanes' amplitude at the end of each step
    float h_next[kMaxGroupLanes] = {}, l_next[kMaxGroupLanes] = {}, m_next[kMaxGroupLanes] = {};
};

// Up to four lanes of one voice type that play one track, processed side by
// side: element i of each vector belongs to lanes[i].
struct Group {
    VoiceTraits voice;
    std::vector<Lane*> lanes;
    std::vector<NoteFrames> notes;  // by note code; empty when the group keeps none
    // The echoes' last outputs: element 4 (n mod delay) + i holds sample n of lane
    // i, for the delays of the voice's chain.
    float* echo1 = nullptr;  // echo_delay1 x 4
    float* echo2 = nullptr;  // echo_delay2 x 4
};

// Scratch for one group's block, [frame][lane]: phases, amplitudes, noise values,
// waveform, and what goes into the echoes: float(gain * w * m) per channel.
struct Scratch {
    float h[kGroupFrames], m[kGroupFrames], r[kGroupFrames], w[kGroupFrames];
    float x_left[kGroupFrames], x_right[kGroupFrames];
    float s[kGroupFrames], b[kGroupFrames], c1[kGroupFrames];
    double a[kGroupFrames];
    float unused_lane[kBlockSamples];  // output of the lanes a group does not have
};

// Where a segment of a group's block takes what its frames put into the echoes
// from: the scratch, or the frames a group keeps of the note it replays; and,
// where the frames are computed, their phases and amplitudes: the scratch, or
// those a noisy group keeps of its note. Element 4 g + i of each is lane i at the
// segment's frame g.
struct SegmentInput {
    int first_frame = 0, frames = 0;  // within the block
    const float* left = nullptr;
    const float* right = nullptr;
    const float* h = nullptr;
    const float* m = nullptr;
};

// Sets the lane up for step `step` of its track: a note-on, hold, rest or the end.
void EnterStep(Lane& lane, std::int64_t step);

// What the phase stage records for a noisy voice per NoiseRand value: the noise
// value r, or for the noise voice its whole waveform, float(sin(r)).
const float* NoiseColumn(const VoiceTraits& voice);

// The scalar fallback of the phase stage, for a lane whose state the vector
// stage does not cover: AdvanceFrame, the noise draw and DecayAmplitude for
// `count` frames of one step, each frame's h, m and r stored `stride` apart.
void Phases(Lane& lane, float* h_out, float* m_out, float* r_out, int count, int stride);

// While 0 <= l <= 1/2 and -1/2 <= h < 1/2, the wrap h - trunc(h + 1/2) is exactly
// "subtract one when h >= 1/2", and float products and sums round as the double
// ones rounded to float do: the vector phase stage covers such lanes (null ones too).
bool VectorStageCovers(Lane* const (&lanes)[kMaxGroupLanes]);

// Phases for each of up to four lanes in turn, into [frame][lane] arrays; a null
// lane's elements become zero.
void PhasesOneByOne(Lane* const (&lanes)[kMaxGroupLanes], float* h_out, float* m_out, float* r_out,
                    int frames);

// Enters the step at `frame` if a step starts there; returns in `active` the
// group's lanes that render at `frame`.
void StartSegment(Group& group, std::int64_t frame, Lane* (&active)[kMaxGroupLanes]);

// The group's lanes have played `note` up to `to` frames after its note-on:
// where a step ends there, their amplitude is brought up to date.
void PlayOn(Group& group, const NoteFrames& note, int to);

// Frames of a step in which no lane can sound (see CanSound). Such a voice has an
// amplitude of zero and no step to raise it, or a phase and increment of zero in
// a voice silent there; either stays so through holds and rests until a note-on
// sets the whole state again. So the state is left as it is, never heard, and
// only the draws from NoiseRand are made.
void PassSilentFrames(Lane* const (&active)[kMaxGroupLanes], int frames);

// True when the echoes and the low-pass hold nothing but zeros at `first_sample`.
inline bool Quiet(const Lane& lane, std::int64_t first_sample) {
    const EffectChain& chain = lane.voice.chain;
    return lane.last_loud_sample1 < first_sample - chain.echo_delay1 &&
           lane.last_loud_sample2 < first_sample - chain.echo_delay2 && lane.low_left == 0 &&
           lane.low_right == 0;
}

}  // namespace wave::fast
