#include "synth/fast_renderer.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <new>
#include <thread>
#include <vector>

#include "synth/buffers.h"
#include "synth/simd.h"
#include "synth/sine.h"
#include "synth/sine_block.h"

namespace wave {

namespace {

using simd::f32x4;
using simd::f64x4;

constexpr int kBlockFrames = 2048;
constexpr int kBlockSamples = 2 * kBlockFrames;
constexpr int kMaxGroupLanes = 4;
constexpr int kGroupFrames = kMaxGroupLanes * kBlockFrames;
constexpr std::int64_t kLongAgo = INT64_MIN / 2;

constexpr double kPi = 3.1415927f;
constexpr double kTwoPi = 6.2831855f;
constexpr double kPmDepth = 0.4f;

float Round(double x) {
    return static_cast<float>(x);
}

enum class StepMode { kRender, kSilent, kEnded };

// One job as it runs: its voice state, its echo rings and its output.
struct Lane {
    int order = 0;  // the job's place in the list, which is the mixing order
    VoiceType voice = VOICE_SINE;
    SongTrack track;  // cut to the steps RenderTrack reads
    float volume = 0, left = 0, right = 0, detune = 0;
    float g = 1, o = 1;  // per-frame increment and amplitude factors

    float h = 0, l = 0, m = 0;
    std::uint32_t noise = 0;
    StepMode mode = StepMode::kSilent;

    float low_left = 0, low_right = 0;  // the low-pass's last output per channel
    std::int64_t last_loud1 = kLongAgo,
                 last_loud2 = kLongAgo;  // sample index of the last non-zero output

    float* out = nullptr;      // this chunk's processed samples, to be mixed
    std::vector<char> silent;  // per block of the chunk: the output is all zero
};

// Scratch for one group's block: phases, amplitudes, noise values, waveform.
struct Scratch {
    float h[kGroupFrames], m[kGroupFrames], r[kGroupFrames], w[kGroupFrames];
    float s[kGroupFrames], b[kGroupFrames], c1[kGroupFrames];
    double a[kGroupFrames];
    float unused_lane[kBlockSamples];  // output of the lanes a group does not have
};

bool SilentAtPhaseZero(VoiceType voice) {
    return voice != VOICE_PULSE && voice != VOICE_JITTER_SINE && voice != VOICE_NOISE;
}

void EnterStep(Lane& lane, std::int64_t step) {
    if (step >= static_cast<std::int64_t>(lane.track.size())) {
        lane.mode = StepMode::kEnded;
        return;
    }
    const std::uint8_t code = lane.track[static_cast<std::size_t>(step)];
    if (code == SND_REST) {
        lane.h = 0;
        lane.l = 0;
        lane.mode = StepMode::kSilent;
        return;
    }
    if (code != SND_HOLD) {
        lane.l = Round(double{NoteIncrement(code)} * lane.detune);
        lane.m = 1.0f;
        lane.h = 0;
    }
    lane.mode = StepMode::kRender;
}

// For every value i that NoiseRand can return: r = float(i / 32767.0), and the
// noise voice's whole waveform, float(sin(r)).
struct NoiseTables {
    float value[32768];
    float sine[32768];
};

const NoiseTables& Noise() {
    static const NoiseTables* tables = [] {
        static NoiseTables t;
        for (int i = 0; i < 32768; ++i) {
            t.value[i] = Round(i / 32767.0);
            t.sine[i] = SineThen(t.value[i], Round);
        }
        return &t;
    }();
    return *tables;
}

// What the phase stage records for a noisy voice: the noise value, or for the
// noise voice its finished waveform.
const float* NoiseColumn(VoiceType voice) {
    return voice == VOICE_NOISE ? Noise().sine : Noise().value;
}

// The per-frame recurrences of one lane for `count` frames of one step.
// Returns whether any of these frames can make a sound.
bool Phases(Lane& lane, float* h_out, float* m_out, float* r_out, int count, int stride) {
    const bool pm = lane.voice == VOICE_PM_LEAD;
    const bool noisy = lane.voice == VOICE_JITTER_SINE || lane.voice == VOICE_NOISE;
    const bool zero_at_origin = SilentAtPhaseZero(lane.voice);
    const float* noise_column = NoiseColumn(lane.voice);
    float h = lane.h, l = lane.l, m = lane.m;
    std::uint32_t noise = lane.noise;
    bool audible = false;
    for (int j = 0; j < count; ++j) {
        l = Round(double{l} * lane.g);
        h = Round(double{l} + h);
        h = Round(h - std::trunc(h + 0.5));
        if (pm) m = Round(m + 0.00002);
        h_out[j * stride] = h;
        m_out[j * stride] = m;
        if (noisy) {
            noise = noise * 214013u + 2531011u;
            r_out[j * stride] = noise_column[(noise >> 16) & 0x7FFF];
        }
        audible |= m != 0 && (h != 0 || !zero_at_origin);
        m = Round(double{m} * lane.o);
    }
    lane.h = h;
    lane.l = l;
    lane.m = m;
    lane.noise = noise;
    return audible;
}

using Float4 = float __attribute__((vector_size(16)));
using Int4 = std::int32_t __attribute__((vector_size(16)));
using UInt4 = std::uint32_t __attribute__((vector_size(16)));
using Double4 = double __attribute__((vector_size(32)));

// Phases for up to four lanes side by side, for `count` frames from frame
// `offset`, into the scratch arrays where lane i of frame f is element 4 f + i.
// A null lane is not rendering: its elements become zero. While 0 <= l <= 1/2
// and -1/2 <= h < 1/2, the wrap h - trunc(h + 1/2) is exactly "subtract one
// when h >= 1/2", and float products and sums round as the double ones rounded
// to float do.
void PhasesGroup(Lane* const (&lanes)[kMaxGroupLanes], Scratch& s, int offset, int count,
                 bool (&audible)[kMaxGroupLanes]) {
    float* h_out = s.h + kMaxGroupLanes * offset;
    float* m_out = s.m + kMaxGroupLanes * offset;
    float* r_out = s.r + kMaxGroupLanes * offset;
    Float4 h{}, l{}, m{}, g{}, o{};
    UInt4 noise{};
    Int4 active{}, sounds_at_origin{};
    bool simple = true, pm = false, noisy = false;
    const float* noise_values = nullptr;
    for (int i = 0; i < kMaxGroupLanes; ++i) {
        const Lane* lane = lanes[i];
        if (!lane) continue;
        h[i] = lane->h;
        l[i] = lane->l;
        m[i] = lane->m;
        g[i] = lane->g;
        o[i] = lane->o;
        noise[i] = lane->noise;
        active[i] = -1;
        sounds_at_origin[i] = SilentAtPhaseZero(lane->voice) ? 0 : -1;
        pm = lane->voice == VOICE_PM_LEAD;
        noisy = lane->voice == VOICE_JITTER_SINE || lane->voice == VOICE_NOISE;
        if (noisy) noise_values = NoiseColumn(lane->voice);
        simple &= lane->l >= 0.0f && lane->l <= 0.5f && lane->h >= -0.5f && lane->h < 0.5f;
    }
    if (!simple) {
        for (int i = 0; i < kMaxGroupLanes; ++i) {
            if (lanes[i]) {
                audible[i] |=
                    Phases(*lanes[i], h_out + i, m_out + i, r_out + i, count, kMaxGroupLanes);
            } else {
                for (int j = 0; j < count; ++j) {
                    h_out[kMaxGroupLanes * j + i] = m_out[kMaxGroupLanes * j + i] =
                        r_out[kMaxGroupLanes * j + i] = 0;
                }
            }
        }
        return;
    }
    Int4 loud{};
    for (int j = 0; j < count; ++j) {
        l = l * g;
        const Float4 sum = h + l;
        h = sum >= 0.5f ? sum - 1.0f : sum;
        if (pm) m = __builtin_convertvector(__builtin_convertvector(m, Double4) + 0.00002, Float4);
        const Float4 h_kept = (Float4)((Int4)h & active);
        const Float4 m_kept = (Float4)((Int4)m & active);
        __builtin_memcpy(h_out + kMaxGroupLanes * j, &h_kept, sizeof h_kept);
        __builtin_memcpy(m_out + kMaxGroupLanes * j, &m_kept, sizeof m_kept);
        if (noisy) {
            noise = noise * 214013u + 2531011u;
            const UInt4 index = (noise >> 16) & 0x7FFF;
            const Float4 r = {noise_values[index[0]], noise_values[index[1]],
                              noise_values[index[2]], noise_values[index[3]]};
            const Float4 r_kept = (Float4)((Int4)r & active);
            __builtin_memcpy(r_out + kMaxGroupLanes * j, &r_kept, sizeof r_kept);
        }
        loud |= (m_kept != 0.0f) & ((h_kept != 0.0f) | sounds_at_origin);
        m = m * o;
    }
    if (!noisy) std::fill_n(r_out, kMaxGroupLanes * count, 0.0f);
    for (int i = 0; i < kMaxGroupLanes; ++i) {
        Lane* lane = lanes[i];
        if (!lane) continue;
        lane->h = h[i];
        lane->l = l[i];
        lane->m = m[i];
        lane->noise = noise[i];
        audible[i] |= loud[i] != 0;
    }
}

// The waveform of `n` frames from their phases (and noise values).
void Waveform(VoiceType voice, Scratch& s, int n) {
    switch (voice) {
        case VOICE_PULSE:
            for (int i = 0; i < n; ++i)
                s.w[i] = s.h[i] <= 0.2 ? 1.0f : -1.0f;
            return;
        case VOICE_SOFT_SAW:
            for (int i = 0; i < n; ++i)
                s.a[i] = Round(2.0 * s.h[i]);
            SineToFloat(s.a, s.w, n);
            return;
        case VOICE_PM_LEAD:
            for (int i = 0; i < n; ++i)
                s.a[i] = Round(kPmDepth * (2.0 * (s.h[i] * kPi)));
            SineToFloat(s.a, s.s, n);
            for (int i = 0; i < n; ++i) {
                s.b[i] = Round(3.0 * s.s[i]);
                s.a[i] = Round(s.b[i] + 2.0 * (s.h[i] * kPi));
            }
            SineToFloat(s.a, s.c1, n);
            for (int i = 0; i < n; ++i)
                s.a[i] = s.b[i] + 0.02 * (s.h[i] * kPi);
            FloatMinusSine(s.c1, s.a, s.w, n);
            return;
        case VOICE_SINE_OF_SINE:
            for (int i = 0; i < n; ++i)
                s.a[i] = Round(kTwoPi * s.h[i]);
            SineToFloat(s.a, s.s, n);
            for (int i = 0; i < n; ++i)
                s.a[i] = s.s[i];
            SineToFloat(s.a, s.w, n);
            return;
        case VOICE_JITTER_SINE:
            for (int i = 0; i < n; ++i)
                s.a[i] = 0.1 * s.r[i] + 2.0 * s.h[i] * kPi;
            SineToFloat(s.a, s.w, n);
            return;
        case VOICE_NOISE:
            std::copy_n(s.r, n, s.w);  // the phase stage looked the waveform up
            return;
        default:
            for (int i = 0; i < n; ++i)
                s.a[i] = Round(kTwoPi * s.h[i]);
            SineToFloat(s.a, s.w, n);
            return;
    }
}

// True when the echo rings and the low-pass hold nothing but zeros at sample `first`.
bool Quiet(const Lane& lane, std::int64_t first) {
    return lane.last_loud1 < first - kEchoDelay1 && lane.last_loud2 < first - kEchoDelay2 &&
           lane.low_left == 0 && lane.low_right == 0;
}

// Up to four lanes of one voice type, processed side by side: element i of each
// vector below belongs to lanes[i].
struct Group {
    VoiceType voice;
    std::vector<Lane*> lanes;
    // The echoes' last outputs: slot n mod delay holds sample n of every lane.
    float* echo1 = nullptr;  // kEchoDelay1 x 4
    float* echo2 = nullptr;  // kEchoDelay2 x 4
};

// 4 x 4 transpose: row k of the result is element k of every input.
[[gnu::always_inline]] inline void Transpose(Float4 (&v)[4]) {
    const Float4 t0 = __builtin_shufflevector(v[0], v[1], 0, 4, 1, 5);
    const Float4 t1 = __builtin_shufflevector(v[0], v[1], 2, 6, 3, 7);
    const Float4 t2 = __builtin_shufflevector(v[2], v[3], 0, 4, 1, 5);
    const Float4 t3 = __builtin_shufflevector(v[2], v[3], 2, 6, 3, 7);
    v[0] = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
    v[1] = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
    v[2] = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
    v[3] = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

[[gnu::always_inline]] inline Float4 RoundToFloat(Double4 v) {
    return __builtin_convertvector(v, Float4);
}
[[gnu::always_inline]] inline Double4 Widen(Float4 v) {
    return __builtin_convertvector(v, Double4);
}

// What the chain of a group carries from sample to sample within a block.
struct ChainState {
    Double4 left_gain, right_gain;
    Float4 low_left, low_right;  // the low-pass's last outputs
    UInt4 bits1{}, bits2{};      // or-ed bits of every y1 and y2
};

// One sample of every lane: y1 = x + 0.3 y1[-15000], y2 = y1 + 0.3 y2[-25000].
// Without the first echo (its input and ring all zero) y1 is zero.
template <bool kFirstEcho>
[[gnu::always_inline]] inline Float4 Echoes(ChainState& c, Float4 x, float* past1, float* past2) {
    const Double4 feedback = Double4{} + double{kEchoFeedback};
    Double4 y1 = {};
    if constexpr (kFirstEcho) {
        Float4 e1;
        __builtin_memcpy(&e1, past1, sizeof e1);
        const Float4 y1f = RoundToFloat(feedback * Widen(e1) + Widen(x));
        __builtin_memcpy(past1, &y1f, sizeof y1f);
        c.bits1 |= (UInt4)y1f;
        y1 = Widen(y1f);
    }
    Float4 e2;
    __builtin_memcpy(&e2, past2, sizeof e2);
    const Float4 y2 = RoundToFloat(feedback * Widen(e2) + y1);
    __builtin_memcpy(past2, &y2, sizeof y2);
    c.bits2 |= (UInt4)y2;
    return y2;
}

// z = y + 0.2 (z[-2] - y), per channel.
[[gnu::always_inline]] inline Float4 Smooth(Float4& low, Float4 y) {
    const Double4 x = Widen(y);
    low = RoundToFloat((Widen(low) - x) * (Double4{} + double{kNoiseLowpass}) + x);
    return low;
}

// Samples [from, samples) of the block, four at a time: frames f and f + 1, left
// and right. `kSound`: the voice wrote something this block.
template <bool kSound, bool kFirstEcho, bool kLowpass>
[[gnu::always_inline]] inline void ChainRun(Group& group, const Scratch& s, ChainState& c,
                                            std::int64_t first, int from, int samples,
                                            float* const (&outs)[4]) {
    int pos1 = static_cast<int>((first + from) % kEchoDelay1);  // multiples of four, as are
    int pos2 = static_cast<int>((first + from) % kEchoDelay2);  // the delays
    for (int n = from; n < samples; n += 4) {
        Float4 x0{}, x1{}, x2{}, x3{};
        if constexpr (kSound) {
            Float4 w0, m0, w1, m1;
            __builtin_memcpy(&w0, s.w + 2 * n, sizeof w0);
            __builtin_memcpy(&m0, s.m + 2 * n, sizeof m0);
            __builtin_memcpy(&w1, s.w + 2 * n + 4, sizeof w1);
            __builtin_memcpy(&m1, s.m + 2 * n + 4, sizeof m1);
            const Double4 v0 = Widen(w0) * Widen(m0), v1 = Widen(w1) * Widen(m1);
            x0 = RoundToFloat(c.left_gain * v0);
            x1 = RoundToFloat(c.right_gain * v0);
            x2 = RoundToFloat(c.left_gain * v1);
            x3 = RoundToFloat(c.right_gain * v1);
        }
        float* past1 = group.echo1 + kMaxGroupLanes * pos1;
        float* past2 = group.echo2 + kMaxGroupLanes * pos2;
        Float4 z[4] = {Echoes<kFirstEcho>(c, x0, past1, past2),
                       Echoes<kFirstEcho>(c, x1, past1 + 4, past2 + 4),
                       Echoes<kFirstEcho>(c, x2, past1 + 8, past2 + 8),
                       Echoes<kFirstEcho>(c, x3, past1 + 12, past2 + 12)};
        if constexpr (kLowpass) {
            z[0] = Smooth(c.low_left, z[0]);
            z[1] = Smooth(c.low_right, z[1]);
            z[2] = Smooth(c.low_left, z[2]);
            z[3] = Smooth(c.low_right, z[3]);
        }
        Transpose(z);
        for (int i = 0; i < kMaxGroupLanes; ++i)
            __builtin_memcpy(outs[i] + n, &z[i], sizeof z[i]);
        pos1 += 4;
        if (pos1 == kEchoDelay1) pos1 = 0;
        pos2 += 4;
        if (pos2 == kEchoDelay2) pos2 = 0;
    }
}

template <bool kSound, bool kFirstEcho>
[[gnu::always_inline]] inline void ChainRun(Group& group, const Scratch& s, ChainState& c,
                                            std::int64_t first, int samples,
                                            float* const (&outs)[4]) {
    if (group.voice != VOICE_NOISE) {
        ChainRun<kSound, kFirstEcho, false>(group, s, c, first, 0, samples, outs);
        return;
    }
    int from = 0;
    if (first == 0) {
        // The low-pass leaves the buffer's first frame as it is and starts from it.
        ChainRun<kSound, kFirstEcho, false>(group, s, c, first, 0, 4, outs);
        auto sample = [&](int n) __attribute__((always_inline)) {
            return Float4{outs[0][n], outs[1][n], outs[2][n], outs[3][n]};
        };
        c.low_left = sample(0);
        c.low_right = sample(1);
        const Float4 left = Smooth(c.low_left, sample(2));
        const Float4 right = Smooth(c.low_right, sample(3));
        for (int i = 0; i < kMaxGroupLanes; ++i) {
            outs[i][2] = left[i];
            outs[i][3] = right[i];
        }
        from = 4;
    }
    ChainRun<kSound, kFirstEcho, true>(group, s, c, first, from, samples, outs);
}

// The chain of every lane of a group over one block, lanes side by side:
//   x = float(gain * w * m),  y1[n] = x[n] + 0.3 y1[n - 15000],
//   y2[n] = y1[n] + 0.3 y2[n - 25000],  and for the noise voice the low-pass
//   z[n] = y2[n] + 0.2 (z[n - 2] - y2[n]), the buffer's first frame unchanged.
// Writes each lane's output to outs[i] and records, per lane, the last sample
// where y1 and y2 were not zero. `first_echo_quiet`: the first echo has neither
// input nor anything left in its ring, so it is skipped.
[[gnu::always_inline]] inline void Chain(Group& group, const Scratch& s, bool sound,
                                         bool first_echo_quiet, std::int64_t first, int samples,
                                         float* const (&outs)[4]) {
    ChainState c;
    Float4 left{}, right{};
    for (std::size_t i = 0; i < group.lanes.size(); ++i) {
        left[i] = group.lanes[i]->left;
        right[i] = group.lanes[i]->right;
        c.low_left[i] = group.lanes[i]->low_left;
        c.low_right[i] = group.lanes[i]->low_right;
    }
    c.left_gain = Widen(left);
    c.right_gain = Widen(right);
    if (sound) {
        ChainRun<true, true>(group, s, c, first, samples, outs);
    } else if (!first_echo_quiet) {
        ChainRun<false, true>(group, s, c, first, samples, outs);
    } else {
        ChainRun<false, false>(group, s, c, first, samples, outs);
    }
    const UInt4 bits1 = c.bits1 & 0x7FFFFFFFu;  // the sign of a zero does not count
    const UInt4 bits2 = c.bits2 & 0x7FFFFFFFu;
    for (std::size_t i = 0; i < group.lanes.size(); ++i) {
        Lane& lane = *group.lanes[i];
        if (bits1[i] != 0) lane.last_loud1 = first + samples - 1;
        if (bits2[i] != 0) lane.last_loud2 = first + samples - 1;
        lane.low_left = c.low_left[i];
        lane.low_right = c.low_right[i];
    }
}

// One block of one group: voice, echoes and low-pass, into each lane's output.
[[gnu::always_inline]] inline void ProcessGroupBlockBody(Group& group, std::int64_t first,
                                                         int samples, int block, Scratch& s) {
    const int frames = samples / 2;
    const std::int64_t first_frame = first / 2;
    const int lanes = static_cast<int>(group.lanes.size());
    bool audible[kMaxGroupLanes] = {};
    for (int f = 0; f < frames;) {
        const std::int64_t frame = first_frame + f;
        const int in_step = static_cast<int>(frame % SND_UNIT_LEN);
        const int run = std::min(frames - f, SND_UNIT_LEN - in_step);
        Lane* active[kMaxGroupLanes] = {};
        for (int i = 0; i < lanes; ++i) {
            Lane& lane = *group.lanes[i];
            if (in_step == 0) EnterStep(lane, frame / SND_UNIT_LEN);
            if (lane.mode == StepMode::kRender) active[i] = &lane;
        }
        PhasesGroup(active, s, f, run, audible);
        f += run;
    }
    bool any_audible = false;
    for (int i = 0; i < lanes; ++i)
        any_audible |= audible[i];
    if (any_audible) Waveform(group.voice, s, kMaxGroupLanes * frames);

    // A lane is silent for the block when it makes no sound and its echoes have died.
    float* outs[kMaxGroupLanes];
    bool all_silent = true;
    for (int i = 0; i < kMaxGroupLanes; ++i) {
        outs[i] = s.unused_lane;
        if (i >= lanes) continue;
        Lane& lane = *group.lanes[i];
        const bool silent = !audible[i] && Quiet(lane, first);
        lane.silent[static_cast<std::size_t>(block)] = silent;
        all_silent &= silent;
        if (!silent) outs[i] = lane.out + std::int64_t{block} * kBlockSamples;
    }
    if (all_silent) return;
    bool first_echo_quiet = !any_audible;
    for (int i = 0; i < lanes; ++i) {
        first_echo_quiet &= group.lanes[i]->last_loud1 < first - kEchoDelay1;
    }
    Chain(group, s, any_audible, first_echo_quiet, first, samples, outs);
}

// mix[i] = volume * out[i] + mix[i] for samples [from, to) of the chunk that
// starts at `first`, lane after lane in job order.
[[gnu::always_inline]] inline void MixBody(const std::vector<Lane>& lanes, std::int64_t first,
                                           std::int64_t from, std::int64_t to) {
    for (const Lane& lane : lanes) {
        for (std::int64_t b0 = from; b0 < to;) {
            const std::int64_t block = (b0 - first) / kBlockSamples;
            const std::int64_t block_end = std::min(to, first + (block + 1) * kBlockSamples);
            if (!lane.silent[static_cast<std::size_t>(block)]) {
                float* mix = MixBuffer + b0;
                const float* out = lane.out + (b0 - first);
                const int n = static_cast<int>(block_end - b0);
                const f64x4 volume = simd::Splat(lane.volume);
                int i = 0;
                for (; i + simd::kLanes <= n; i += simd::kLanes) {
                    simd::Store(mix + i, simd::ToFloat(volume * simd::LoadFloats(out + i) +
                                                       simd::LoadFloats(mix + i)));
                }
                for (; i < n; ++i)
                    mix[i] = Round(double{lane.volume} * out[i] + mix[i]);
            }
            b0 = block_end;
        }
    }
}

// The two hot loops, compiled for the baseline instruction set and, on x86,
// once more for AVX2. Both compute the same IEEE operations in the same order,
// so they give the same bits; the wider one is only faster.
struct Kernels {
    void (*group_block)(Group&, std::int64_t, int, int, Scratch&);
    void (*mix)(const std::vector<Lane>&, std::int64_t, std::int64_t, std::int64_t);
};

void GroupBlockBaseline(Group& g, std::int64_t first, int samples, int block, Scratch& s) {
    ProcessGroupBlockBody(g, first, samples, block, s);
}
void MixBaseline(const std::vector<Lane>& lanes, std::int64_t first, std::int64_t from,
                 std::int64_t to) {
    MixBody(lanes, first, from, to);
}

#if defined(__x86_64__) || defined(__i386__)
[[gnu::target("avx2"), gnu::flatten]] void GroupBlockAvx2(Group& g, std::int64_t first, int samples,
                                                          int block, Scratch& s) {
    ProcessGroupBlockBody(g, first, samples, block, s);
}
[[gnu::target("avx2"), gnu::flatten]] void MixAvx2(const std::vector<Lane>& lanes,
                                                   std::int64_t first, std::int64_t from,
                                                   std::int64_t to) {
    MixBody(lanes, first, from, to);
}
#endif

Kernels ChooseKernels(FastPathIsa isa) {
#if defined(__x86_64__) || defined(__i386__)
    if (isa == FastPathIsa::kBest && __builtin_cpu_supports("avx2")) {
        return {GroupBlockAvx2, MixAvx2};
    }
#endif
    (void)isa;
    return {GroupBlockBaseline, MixBaseline};
}

// A fixed crew of threads that run one function on every thread and wait for all.
class Crew {
public:
    explicit Crew(int threads) : threads_(threads) {
        for (int t = 1; t < threads_; ++t)
            helpers_.emplace_back([this, t] { Serve(t); });
    }
    ~Crew() {
        stop_ = true;
        generation_.fetch_add(1);
        for (std::thread& helper : helpers_)
            helper.join();
    }
    int size() const { return threads_; }

    template <typename Job>
    void Run(const Job& job) {
        if (threads_ == 1) {
            job(0);
            return;
        }
        job_ = [&job](int t) { job(t); };
        pending_.store(threads_ - 1);
        generation_.fetch_add(1, std::memory_order_release);
        job(0);
        while (pending_.load(std::memory_order_acquire) != 0)
            std::this_thread::yield();
    }

private:
    void Serve(int t) {
        std::uint64_t seen = 0;
        for (;;) {
            std::uint64_t now;
            while ((now = generation_.load(std::memory_order_acquire)) == seen) {
                std::this_thread::yield();
            }
            seen = now;
            if (stop_) return;
            job_(t);
            pending_.fetch_sub(1, std::memory_order_release);
        }
    }

    int threads_;
    std::vector<std::thread> helpers_;
    std::function<void(int)> job_;
    std::atomic<std::uint64_t> generation_{0};
    std::atomic<int> pending_{0};
    std::atomic<bool> stop_{false};
};

// The sines a frame of a voice costs: the order in which groups are handed out.
int Cost(VoiceType voice) {
    switch (voice) {
        case VOICE_PM_LEAD:
            return 3;
        case VOICE_SINE_OF_SINE:
            return 2;
        case VOICE_PULSE:
        case VOICE_NOISE:
            return 0;
        default:
            return 1;
    }
}

class Renderer {
public:
    Renderer(std::span<const RenderJob> jobs, Crew& crew, int chunk_blocks, Kernels kernels)
        : crew_(crew), chunk_blocks_(chunk_blocks), kernels_(kernels) {
        const std::int64_t chunk_samples = std::int64_t{chunk_blocks_} * kBlockSamples;
        float* next = TrackBuffer;
        auto take = [&](std::size_t floats) {
            float* p = next;
            next += floats;
            return p;
        };
        std::uint32_t noise = NoiseRandState();
        lanes_.reserve(jobs.size());
        for (std::size_t j = 0; j < jobs.size(); ++j) {
            const RenderJob& job = jobs[j];
            if (job.voice > kLastVoiceType) continue;
            Lane lane;
            lane.order = static_cast<int>(j);
            lane.voice = job.voice;
            std::size_t steps = std::min<std::size_t>(job.track.size(), SND_UNIT_NUM);
            for (std::size_t k = 0; k < steps; ++k) {
                if (job.track[k] == SND_END) steps = k;
            }
            lane.track = job.track.first(steps);
            lane.volume = job.volume;
            lane.left = job.left;
            lane.right = job.right;
            lane.detune = job.detune;
            lane.g = job.voice < 10 ? 1.0f : 0.9999f;
            lane.o = job.voice < 10 ? 0.99993f : 0.9995f;
            lane.noise = noise;
            if (job.voice == VOICE_JITTER_SINE || job.voice == VOICE_NOISE) {
                noise = NoiseRandAfter(noise, RenderedFrames(lane.track));
            }
            lane.out = take(static_cast<std::size_t>(chunk_samples));
            lane.silent.assign(static_cast<std::size_t>(chunk_blocks_), 1);
            lanes_.push_back(std::move(lane));
        }
        final_noise_ = noise;
        for (int t = 0; t < crew_.size(); ++t) {
            scratch_.push_back(new (take(sizeof(Scratch) / sizeof(float) + 16)) Scratch);
        }
        // Lanes of one voice type run side by side, four at a time; the costliest
        // groups go first, so that threads finish together.
        for (Lane& lane : lanes_) {
            auto it = std::find_if(groups_.begin(), groups_.end(), [&](const Group& g) {
                return g.voice == lane.voice && g.lanes.size() < kMaxGroupLanes;
            });
            if (it == groups_.end()) {
                groups_.push_back({lane.voice, {}});
                it = groups_.end() - 1;
            }
            it->lanes.push_back(&lane);
        }
        for (Group& group : groups_) {
            group.echo1 = take(kMaxGroupLanes * kEchoDelay1);
            group.echo2 = take(kMaxGroupLanes * kEchoDelay2);
            std::fill_n(group.echo1, kMaxGroupLanes * kEchoDelay1, 0.0f);
            std::fill_n(group.echo2, kMaxGroupLanes * kEchoDelay2, 0.0f);
        }
        std::stable_sort(groups_.begin(), groups_.end(), [](const Group& a, const Group& b) {
            return Cost(a.voice) > Cost(b.voice);
        });
    }

    // The TrackBuffer floats the renderer needs for `lanes` lanes.
    static std::size_t ArenaFloats(std::size_t lanes, int threads, int chunk_blocks) {
        // At worst every lane is a group of its own.
        return lanes * (kMaxGroupLanes * (kEchoDelay1 + kEchoDelay2) +
                        std::size_t(chunk_blocks) * kBlockSamples) +
               std::size_t(threads) * (sizeof(Scratch) / sizeof(float) + 16);
    }

    void Run(const RenderProgress& progress) {
        const std::int64_t chunk_samples = std::int64_t{chunk_blocks_} * kBlockSamples;
        for (std::int64_t first = 0; first < SND_BUF_LEN; first += chunk_samples) {
            if (AllQuietForever(first)) break;
            const std::int64_t end = std::min<std::int64_t>(first + chunk_samples, SND_BUF_LEN);
            RenderChunk(first, end);
            if (progress) progress(static_cast<double>(end) / SND_BUF_LEN);
        }
        SetNoiseRandState(final_noise_);
    }

private:
    // True once no lane can make another non-zero sample.
    bool AllQuietForever(std::int64_t first) const {
        for (const Lane& lane : lanes_) {
            if (lane.mode != StepMode::kEnded || !Quiet(lane, first)) return false;
        }
        return true;
    }

    void RenderChunk(std::int64_t first, std::int64_t end) {
        std::atomic<std::size_t> next_group{0};
        crew_.Run([&](int t) {
            for (std::size_t g; (g = next_group.fetch_add(1)) < groups_.size();) {
                int block = 0;
                for (std::int64_t b0 = first; b0 < end; b0 += kBlockSamples, ++block) {
                    const int samples =
                        static_cast<int>(std::min<std::int64_t>(kBlockSamples, end - b0));
                    kernels_.group_block(groups_[g], b0, samples, block, *scratch_[t]);
                }
            }
        });
        // The mix is element-wise: each thread takes a slice of the chunk.
        const int threads = crew_.size();
        const std::int64_t slice = ((end - first) / threads + 7) / 8 * 8;
        crew_.Run([&](int t) {
            const std::int64_t from = std::min(end, first + t * slice);
            const std::int64_t to = t == threads - 1 ? end : std::min(end, from + slice);
            if (from < to) kernels_.mix(lanes_, first, from, to);
        });
    }

    Crew& crew_;
    int chunk_blocks_;
    Kernels kernels_;
    std::vector<Lane> lanes_;
    std::vector<Group> groups_;
    std::vector<Scratch*> scratch_;
    std::uint32_t final_noise_ = 0;
};

}  // namespace

void RenderJobs(std::span<const RenderJob> jobs, int threads, const RenderProgress& progress,
                FastPathIsa isa) {
    threads = std::max(1, threads);
    const int chunk_blocks = threads == 1 ? 8 : 4;
    // The scratch lives in TrackBuffer; a list too long for it is rendered in parts.
    std::size_t part = jobs.size();
    while (part > 1 && Renderer::ArenaFloats(part, threads, chunk_blocks) > SND_BUF_LEN)
        part /= 2;
    Crew crew(threads);
    const Kernels kernels = ChooseKernels(isa);
    for (std::size_t start = 0; start < jobs.size(); start += part) {
        const auto some = jobs.subspan(start, std::min(part, jobs.size() - start));
        Renderer renderer(some, crew, chunk_blocks, kernels);
        renderer.Run([&](double f) {
            if (progress) progress((static_cast<double>(start) + f * some.size()) / jobs.size());
        });
    }
    if (progress) progress(1.0);
}

}  // namespace wave
