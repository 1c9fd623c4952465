// The voice stage of the kernels: per segment of a group's block, its lanes'
// phases and amplitudes; then their waveform and what each frame puts into the
// echoes; and the frames of the notes a group keeps. In the scratch, lane i of
// frame f is element 4 f + i. Templates over an instruction set (see simd.h).
#pragma once

#include <algorithm>
#include <cstdint>

#include "synth/fast/lane.h"
#include "synth/fast/simd.h"
#include "synth/fast/sines.h"

namespace wave::fast {

// The vector phase stage's state: element i belongs to lane i.
struct PhaseVectors {
    Float4 h{}, l{}, m{}, g{}, o{};
    UInt4 noise{};
    Int4 active{};  // -1 for a lane that renders, 0 for one that does not
};

// AdvanceFrame, the noise draw and DecayAmplitude (synth/voices.h, Phases in
// lane.cpp) for `frames` frames of four lanes at once, storing each frame's h, m
// (and r). kStep: the voice has an amplitude step; kNoise: it draws noise;
// kEveryLane: all four lanes render, so nothing is masked.
template <class V, bool kStep, bool kNoise, bool kEveryLane>
[[gnu::always_inline]] inline void AdvanceFrames(PhaseVectors& v, double amplitude_step,
                                                 const float* noise_values, float* h_out,
                                                 float* m_out, float* r_out, int frames) {
    for (int j = 0; j < frames; ++j) {
        v.l = v.l * v.g;
        const Float4 sum = v.h + v.l;
        v.h = sum >= 0.5f ? sum - 1.0f : sum;
        if constexpr (kStep) v.m = V::RoundToFloat(V::Widen(v.m) + amplitude_step);
        Float4 h_kept = v.h, m_kept = v.m;
        if constexpr (!kEveryLane) {
            h_kept = (Float4)((Int4)v.h & v.active);
            m_kept = (Float4)((Int4)v.m & v.active);
        }
        __builtin_memcpy(h_out + kMaxGroupLanes * j, &h_kept, sizeof h_kept);
        __builtin_memcpy(m_out + kMaxGroupLanes * j, &m_kept, sizeof m_kept);
        if constexpr (kNoise) {
            v.noise = NextNoiseState(v.noise);
            const UInt4 index = NoiseBits(v.noise);
            Float4 r = {noise_values[index[0]], noise_values[index[1]], noise_values[index[2]],
                        noise_values[index[3]]};
            if constexpr (!kEveryLane) r = (Float4)((Int4)r & v.active);
            __builtin_memcpy(r_out + kMaxGroupLanes * j, &r, sizeof r);
        }
        v.m = v.m * v.o;
    }
}

template <class V, bool kStep, bool kNoise>
[[gnu::always_inline]] inline void AdvanceFramesOf(bool every_lane, PhaseVectors& v,
                                                   double amplitude_step, const float* noise_values,
                                                   float* h_out, float* m_out, float* r_out,
                                                   int frames) {
    if (every_lane) {
        AdvanceFrames<V, kStep, kNoise, true>(v, amplitude_step, noise_values, h_out, m_out, r_out,
                                              frames);
    } else {
        AdvanceFrames<V, kStep, kNoise, false>(v, amplitude_step, noise_values, h_out, m_out, r_out,
                                               frames);
    }
}

// Loads the rendering lanes' state into `v`; returns their voice, or null when
// no lane renders.
template <class V>
[[gnu::always_inline]] inline const VoiceTraits* GatherLanes(Lane* const (&lanes)[kMaxGroupLanes],
                                                             PhaseVectors& v) {
    const VoiceTraits* voice = nullptr;
    for (int i = 0; i < kMaxGroupLanes; ++i) {
        const Lane* lane = lanes[i];
        if (!lane) continue;
        v.h[i] = lane->h;
        v.l[i] = lane->l;
        v.m[i] = lane->m;
        v.g[i] = lane->voice.increment_factor;
        v.o[i] = lane->voice.amplitude_factor;
        v.noise[i] = lane->noise;
        v.active[i] = -1;
        voice = &lane->voice;
    }
    return voice;
}

template <class V>
[[gnu::always_inline]] inline void ScatterLanes(const PhaseVectors& v,
                                                Lane* const (&lanes)[kMaxGroupLanes]) {
    for (int i = 0; i < kMaxGroupLanes; ++i) {
        Lane* lane = lanes[i];
        if (!lane) continue;
        lane->h = v.h[i];
        lane->l = v.l[i];
        lane->m = v.m[i];
        lane->noise = v.noise[i];
    }
}

// Phases for up to four lanes side by side, for `frames` frames from frame
// `first_frame` of the scratch. A null lane is not rendering: its elements
// become zero. Lanes the vector stage does not cover take the scalar fallback.
template <class V>
void PhasesGroup(Lane* const (&lanes)[kMaxGroupLanes], Scratch& s, int first_frame, int frames) {
    float* h_out = s.h + kMaxGroupLanes * first_frame;
    float* m_out = s.m + kMaxGroupLanes * first_frame;
    float* r_out = s.r + kMaxGroupLanes * first_frame;
    if (!VectorStageCovers(lanes)) {
        PhasesOneByOne(lanes, h_out, m_out, r_out, frames);
        return;
    }
    PhaseVectors v;
    const VoiceTraits* voice = GatherLanes<V>(lanes, v);
    const bool step = voice && voice->amplitude_step != 0;
    const bool noisy = voice && voice->draws_noise;
    const double amplitude_step = step ? voice->amplitude_step : 0.0;
    const float* noise_values = noisy ? NoiseColumn(*voice) : nullptr;
    const bool every_lane = (v.active[0] & v.active[1] & v.active[2] & v.active[3]) != 0;
    if (step) {
        AdvanceFramesOf<V, true, false>(every_lane, v, amplitude_step, noise_values, h_out, m_out,
                                        r_out, frames);
    } else if (noisy) {
        AdvanceFramesOf<V, false, true>(every_lane, v, amplitude_step, noise_values, h_out, m_out,
                                        r_out, frames);
    } else {
        AdvanceFramesOf<V, false, false>(every_lane, v, amplitude_step, noise_values, h_out, m_out,
                                         r_out, frames);
    }
    ScatterLanes<V>(v, lanes);
}

// ---- waveforms

// Wave::kPmLead over n elements from `from`: Waveform's case in track_renderer.cpp.
template <class V>
[[gnu::always_inline]] inline void PmLeadWaveform(Scratch& s, const float* h, int from, int n) {
    double* a = s.a + from;
    float* sine = s.s + from;
    float* b = s.b + from;
    float* c1 = s.c1 + from;
    for (int i = 0; i < n; ++i)
        a[i] = PmModulatorArgument(PmPhase(h[i]));
    SineToFloat<V>(a, sine, n);
    for (int i = 0; i < n; ++i) {
        b[i] = PmFeedback(sine[i]);
        a[i] = PmCarrierArgument(b[i], PmPhase(h[i]));
    }
    SineToFloat<V>(a, c1, n);
    for (int i = 0; i < n; ++i)
        a[i] = PmDriftArgument(b[i], PmPhase(h[i]));
    FloatMinusSine<V>(c1, a, s.w + from, n);
}

// The waveform of the segment's frames into the scratch, from their phases (and
// noise values): Waveform in track_renderer.cpp, four lanes at a time. The noise
// voice's waveform is the scratch's noise values as they are (see NoiseColumn).
template <class V>
void Waveform(Wave wave, Scratch& s, const SegmentInput& input) {
    const int from = kMaxGroupLanes * input.first_frame;
    const int n = kMaxGroupLanes * input.frames;
    const float* h = input.h;
    const float* r = s.r + from;
    float* w = s.w + from;
    double* a = s.a + from;
    switch (wave) {
        case Wave::kPulse:
            for (int i = 0; i < n; ++i)
                w[i] = PulseLevel(h[i]);
            return;
        case Wave::kSoftSaw:
            for (int i = 0; i < n; ++i)
                a[i] = SoftSawArgument(h[i]);
            SineToFloat<V>(a, w, n);
            return;
        case Wave::kPmLead:
            PmLeadWaveform<V>(s, h, from, n);
            return;
        case Wave::kSineOfSine: {
            float* sine = s.s + from;
            for (int i = 0; i < n; ++i)
                a[i] = SineArgument(h[i]);
            SineToFloat<V>(a, sine, n);
            for (int i = 0; i < n; ++i)
                a[i] = sine[i];
            SineToFloat<V>(a, w, n);
            return;
        }
        case Wave::kJitterSine:
            for (int i = 0; i < n; ++i)
                a[i] = JitterArgument(h[i], r[i]);
            SineToFloat<V>(a, w, n);
            return;
        case Wave::kNoise:
            return;
        case Wave::kSine:
            for (int i = 0; i < n; ++i)
                a[i] = SineArgument(h[i]);
            SineToFloat<V>(a, w, n);
            return;
    }
}

// What the segment's frames put into the echoes, into the scratch:
// float(left * (w * m)) and float(right * (w * m)), w * m exact in double; as
// RenderVoice stores its samples. A wide vector holds whole frames: element j
// belongs to lane j mod 4.
template <class V>
void Amplify(const Group& group, Scratch& s, const SegmentInput& input) {
    float left[kMaxGroupLanes] = {}, right[kMaxGroupLanes] = {};
    for (std::size_t i = 0; i < group.lanes.size(); ++i) {
        left[i] = group.lanes[i]->left;
        right[i] = group.lanes[i]->right;
    }
    typename V::FloatW left_w, right_w;
    for (int j = 0; j < V::kWidth; ++j) {
        left_w[j] = left[j % kMaxGroupLanes];
        right_w[j] = right[j % kMaxGroupLanes];
    }
    const typename V::DoubleW left_gain = V::WidenW(left_w), right_gain = V::WidenW(right_w);
    const int from = kMaxGroupLanes * input.first_frame;
    const int n = kMaxGroupLanes * input.frames;
    const float* w = (group.voice.wave == Wave::kNoise ? s.r : s.w) + from;
    const float* m = input.m;
    float* x_left = s.x_left + from;
    float* x_right = s.x_right + from;
    int i = 0;
    for (; i + V::kWidth <= n; i += V::kWidth) {
        const typename V::DoubleW v = LoadFloatsW<V>(w + i) * LoadFloatsW<V>(m + i);
        StoreW<V>(x_left + i, V::RoundToFloatW(left_gain * v));
        StoreW<V>(x_right + i, V::RoundToFloatW(right_gain * v));
    }
    for (; i < n; ++i) {  // a last frame that fills only part of a wide vector
        const double v = double{w[i]} * m[i];
        x_left[i] = Round(double{left[i % kMaxGroupLanes]} * v);
        x_right[i] = Round(double{right[i % kMaxGroupLanes]} * v);
    }
}

// ---- the notes a group keeps

// Makes the group's frames of `note` reach `frames` frames after its note-on,
// computing what is missing from where they stop, `scratch` as the workspace.
template <class V>
void FillNote(Group& group, NoteFrames& note, int frames, Scratch& scratch) {
    if (note.filled_frames >= frames) return;
    Lane lanes[kMaxGroupLanes];
    Lane* active[kMaxGroupLanes] = {};
    for (std::size_t i = 0; i < group.lanes.size(); ++i) {
        Lane& lane = lanes[i];
        lane.voice = group.voice;
        lane.h = note.h_next[i];
        lane.l = note.l_next[i];
        lane.m = note.m_next[i];
        active[i] = &lane;
    }
    while (note.filled_frames < frames) {
        // Segments end where steps do, to note the amplitude there.
        const int count = std::min({kBlockFrames, frames - note.filled_frames,
                                    SND_UNIT_LEN - note.filled_frames % SND_UNIT_LEN});
        PhasesGroup<V>(active, scratch, 0, count);
        const std::size_t at = kMaxGroupLanes * std::size_t(note.filled_frames);
        if (group.voice.draws_noise) {
            // The noise drawn here is thrown away: the lanes draw their own.
            std::copy_n(scratch.h, kMaxGroupLanes * count, note.phase + at);
            std::copy_n(scratch.m, kMaxGroupLanes * count, note.amplitude + at);
        } else {
            const SegmentInput input{0, count, nullptr, nullptr, scratch.h, scratch.m};
            Waveform<V>(group.voice.wave, scratch, input);
            Amplify<V>(group, scratch, input);
            std::copy_n(scratch.x_left, kMaxGroupLanes * count, note.left + at);
            if (note.right != note.left) {  // the same frames when the gains are the same
                std::copy_n(scratch.x_right, kMaxGroupLanes * count, note.right + at);
            }
        }
        note.filled_frames += count;
        if (note.filled_frames % SND_UNIT_LEN == 0) {
            float* m = note.m_after_step + kMaxGroupLanes * (note.filled_frames / SND_UNIT_LEN - 1);
            for (std::size_t i = 0; i < group.lanes.size(); ++i)
                m[i] = lanes[i].m;
        }
    }
    for (std::size_t i = 0; i < group.lanes.size(); ++i) {
        note.h_next[i] = lanes[i].h;
        note.l_next[i] = lanes[i].l;
        note.m_next[i] = lanes[i].m;
    }
}

// The `frames` frames of the segment from the group's frames of the note its
// lanes are playing, which run to the end of a step or of the block: where they
// are kept, filled in as far as needed. Afterwards the lanes' phase and increment
// are out of date: they are next used after a note-on or a rest, which set them
// again. The amplitude carries on through a rest, so at the end of a step it is
// brought up to date (PlayOn).
template <class V>
void RecallNote(Group& group, SegmentInput& input, Scratch& scratch) {
    const Lane& lead = *group.lanes[0];
    NoteFrames& note = group.notes[static_cast<std::size_t>(lead.note)];
    const int from = lead.note_frame;
    FillNote<V>(group, note, from + input.frames, scratch);
    const std::size_t at = kMaxGroupLanes * std::size_t(from);
    input.left = note.left + at;
    input.right = note.right + at;
    PlayOn(group, note, from + input.frames);
}

// NoiseRand's values of `frames` frames of the lanes, looked up in `column`: lane
// i's at r_out[4 f + i]. A null lane is one the group does not have: nothing
// reads its values, which come from a state of zero. Four frames of every lane at
// once: each state jumps four draws ahead. Steps and blocks, and so segments, are
// whole multiples of four frames.
static_assert(SND_UNIT_LEN % 4 == 0 && kBlockFrames % 4 == 0 && SND_BUF_LEN / 2 % 4 == 0);
template <class V>
[[gnu::always_inline]] inline void NoiseValues(Lane* const (&lanes)[kMaxGroupLanes],
                                               const float* column, float* r_out, int frames) {
    using UInt32x16 = std::uint32_t __attribute__((vector_size(64)));
    constexpr std::uint32_t a2 = kNoiseMultiplier * kNoiseMultiplier;
    constexpr std::uint32_t c2 = kNoiseIncrement * kNoiseMultiplier + kNoiseIncrement;
    constexpr std::uint32_t a4 = a2 * a2, c4 = c2 * a2 + c2;
    UInt32x16 state{};  // element 4 j + i: lane i's draw j of the four
    for (int i = 0; i < kMaxGroupLanes; ++i) {
        std::uint32_t noise = lanes[i] ? lanes[i]->noise : 0;
        for (int j = 0; j < 4; ++j) {
            noise = NextNoiseState(noise);
            state[4 * j + i] = noise;
        }
    }
    for (int f = 0; f < frames; f += 4) {
        // NoiseBits written out: a wide vector is never passed to a function that
        // is not inlined, whose copies may disagree on how to pass it.
        const UInt32x16 index = (state >> 16) & 0x7FFFu;
        V::Gather16(column, index, r_out + kMaxGroupLanes * f);
        state = state * a4 + c4;
    }
    for (Lane* lane : lanes) {
        if (lane) lane->noise = NoiseRandAfter(lane->noise, static_cast<std::uint64_t>(frames));
    }
}

// For a voice with noise, as RecallNote: the segment's phases and amplitudes
// from the group's frames of the note its lanes are playing, where they are kept,
// and the lanes' noise values drawn into the scratch.
template <class V>
void RecallPhases(Group& group, Lane* const (&active)[kMaxGroupLanes], SegmentInput& input,
                  Scratch& s, Scratch& scratch) {
    const Lane& lead = *group.lanes[0];
    NoteFrames& note = group.notes[static_cast<std::size_t>(lead.note)];
    const int from = lead.note_frame;
    FillNote<V>(group, note, from + input.frames, scratch);
    const std::size_t at = kMaxGroupLanes * std::size_t(from);
    input.h = note.phase + at;
    input.m = note.amplitude + at;
    NoiseValues<V>(active, NoiseColumn(group.voice),
                   s.r + kMaxGroupLanes * std::size_t(input.first_frame), input.frames);
    PlayOn(group, note, from + input.frames);
}

// ---- one block of a group's voices

// RenderVoice's part of a group's block of `frames` frames from `first_frame`
// (of the buffer): each segment from the kept frames of the note the lanes play,
// or computed here into the scratch. Sets audible[i] when lane i can sound in
// the block, and in `inputs` where each segment's frames are; returns how many
// segments there are.
template <class V>
[[gnu::always_inline]] inline int BlockVoices(Group& group, std::int64_t first_frame, int frames,
                                              Scratch& s, Scratch& notes,
                                              bool (&audible)[kMaxGroupLanes],
                                              SegmentInput (&inputs)[2]) {
    const int lanes = static_cast<int>(group.lanes.size());
    int segments = 0;  // a block is shorter than a step, so it holds at most two
    int computed[2];   // the segments computed here, not replayed
    int computed_segments = 0;
    int silent[2];  // the segments in which no lane can sound
    int silent_segments = 0;
    for (int f = 0; f < frames;) {
        const std::int64_t frame = first_frame + f;
        const int segment_frames =
            std::min(frames - f, SND_UNIT_LEN - static_cast<int>(frame % SND_UNIT_LEN));
        Lane* active[kMaxGroupLanes] = {};
        StartSegment(group, frame, active);
        // The lanes play one track, so they are all at the same point of it.
        const Lane& lead = *group.lanes[0];
        SegmentInput& input = inputs[segments++];
        const int at = kMaxGroupLanes * f;
        input = {f, segment_frames, s.x_left + at, s.x_right + at, s.h + at, s.m + at};
        const bool kept = !group.notes.empty() && lead.mode == StepMode::kRender && lead.note >= 0;
        if (kept && !group.voice.draws_noise) {
            RecallNote<V>(group, input, notes);
            std::fill_n(audible, lanes, true);
        } else if (kept) {
            RecallPhases<V>(group, active, input, s, notes);
            std::fill_n(audible, lanes, true);
            computed[computed_segments++] = segments - 1;
        } else {
            bool can_sound = false;
            for (int i = 0; i < lanes; ++i) {
                if (!active[i]) continue;
                const bool can = CanSound(group.voice, active[i]->h, active[i]->l, active[i]->m);
                audible[i] |= can;
                can_sound |= can;
            }
            if (can_sound) {
                PhasesGroup<V>(active, s, f, segment_frames);
                computed[computed_segments++] = segments - 1;
            } else {
                PassSilentFrames(active, segment_frames);
                silent[silent_segments++] = segments - 1;
            }
        }
        f += segment_frames;
    }
    if (std::none_of(audible, audible + lanes, [](bool a) { return a; })) return segments;
    for (int k = 0; k < silent_segments; ++k) {
        const SegmentInput& input = inputs[silent[k]];
        const std::size_t at = kMaxGroupLanes * std::size_t(input.first_frame);
        std::fill_n(s.x_left + at, kMaxGroupLanes * input.frames, 0.0f);
        std::fill_n(s.x_right + at, kMaxGroupLanes * input.frames, 0.0f);
    }
    for (int c = 0; c < computed_segments; ++c) {
        const SegmentInput& input = inputs[computed[c]];
        Waveform<V>(group.voice.wave, s, input);
        Amplify<V>(group, s, input);
    }
    return segments;
}

}  // namespace wave::fast
