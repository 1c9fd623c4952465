// The voices: one table of each voice type's traits, the per-frame update of a
// voice's state, and the waveforms' formulas. Both render paths read them from
// here, so every constant of a voice is written once.
#pragma once

#include <cmath>

#include "synth/buffers.h"

namespace wave {

// Rounds a double result to single precision, where the voice stores it.
inline constexpr float Round(double x) {
    return static_cast<float>(x);
}

// A signed voice code; every code up to 16 not named here plays VOICE_SINE, and
// codes above 16 render nothing.
using VoiceType = int;
inline constexpr VoiceType VOICE_SOFT_SAW = 0;
inline constexpr VoiceType VOICE_PM_LEAD = 1;
inline constexpr VoiceType VOICE_PULSE = 2;
inline constexpr VoiceType VOICE_SINE_OF_SINE = 3;
inline constexpr VoiceType VOICE_SINE = 4;
inline constexpr VoiceType VOICE_JITTER_SINE = 10;
inline constexpr VoiceType VOICE_NOISE = 11;
inline constexpr VoiceType kLastVoiceType = 16;

// The waveform constants: float values and double values, used in double arithmetic.
inline constexpr double kVoicePi = 3.1415927f;
inline constexpr double kVoiceTwoPi = 6.2831855f;
inline constexpr double kPmDepth = 0.4f;             // VOICE_PM_LEAD: s = sin(float(0.4 q))
inline constexpr double kPmFeedback = 3.0;           // b = float(3 s)
inline constexpr double kPmDrift = 0.02;             // c2 = sin(b + 0.02 P)
inline constexpr double kPmAmplitudeStep = 0.00002;  // m = float(m + 0.00002) every frame
inline constexpr double kPulseWidth = 0.2;           // VOICE_PULSE: +1 while h <= 0.2
inline constexpr double kJitterDepth = 0.1;          // VOICE_JITTER_SINE: sin(0.1 r + 2h pi)
inline constexpr double kNoiseScale = 32767.0;       // r = float(NoiseRand() / 32767)

// Voices below 10 hold their pitch and decay slowly; 10 and above fall in pitch
// and decay fast. Floats: the products use these rounded factors.
inline constexpr VoiceType kFirstFallingVoice = 10;
inline constexpr float kHeldIncrement = 1.0f, kHeldDecay = 0.99993f;
inline constexpr float kFallingIncrement = 0.9999f, kFallingDecay = 0.9995f;

enum class Wave { kSoftSaw, kPmLead, kPulse, kSineOfSine, kSine, kJitterSine, kNoise };

// The effects that follow a voice, in this order: two echoes,
//   y1[n] = x[n] + echo_feedback1 y1[n - echo_delay1],
//   y2[n] = y1[n] + echo_feedback2 y2[n - echo_delay2],  (delays in samples)
// then, where `lowpass` is not 0, z[n] = y2[n] + lowpass (z[n - 2] - y2[n]) per
// channel, the buffer's first frame left as it is.
struct EffectChain {
    int echo_delay1;
    float echo_feedback1;
    int echo_delay2;
    float echo_feedback2;
    float lowpass;
};

// The fast path's echo rings advance this many samples at a time: every echo
// delay is a multiple of it (checked with the voice table).
inline constexpr int kEchoDelayMultiple = 8;

// What defines a voice type for the renderers.
struct VoiceTraits {
    Wave wave;
    float increment_factor;     // g: l = float(l g) every frame
    float amplitude_factor;     // o: m = float(m o) after every frame's sample
    double amplitude_step;      // m = float(m + step) before every frame's sample; 0 for none
    bool draws_noise;           // one NoiseRand() per rendered frame
    bool silent_at_phase_zero;  // w = 0 at h = 0: held at phase zero the voice is silent
    EffectChain chain;
};

namespace voice_table {
struct Row {
    VoiceType code;
    const char* name;  // in the score's track names and the stems' file names
    Wave wave;
    double amplitude_step;
    bool draws_noise;
    bool silent_at_phase_zero;
    EffectChain chain;
};
// Every named voice; any other code up to 16 is a VOICE_SINE.
// clang-format off
inline constexpr Row kRows[] = {
    // code              name            wave                amplitude step    noise  silent   echo 1         echo 2         low-pass
    //                                                                                 at h = 0 delay  feedback delay  feedback
    {VOICE_SOFT_SAW,     "soft-saw",     Wave::kSoftSaw,     0,                false, true,  {15000, 0.3f,  25000, 0.3f,  0}},
    {VOICE_PM_LEAD,      "pm-lead",      Wave::kPmLead,      kPmAmplitudeStep, false, true,  {15000, 0.3f,  25000, 0.3f,  0}},
    {VOICE_PULSE,        "pulse",        Wave::kPulse,       0,                false, false, {15000, 0.3f,  25000, 0.3f,  0}},  // +1 at h = 0
    {VOICE_SINE_OF_SINE, "sine-of-sine", Wave::kSineOfSine,  0,                false, true,  {15000, 0.3f,  25000, 0.3f,  0}},
    {VOICE_SINE,         "sine",         Wave::kSine,        0,                false, true,  {15000, 0.3f,  25000, 0.3f,  0}},
    {VOICE_JITTER_SINE,  "jitter-sine",  Wave::kJitterSine,  0,                true,  false, {15000, 0.3f,  25000, 0.3f,  0}},  // jitter at h = 0
    {VOICE_NOISE,        "noise",        Wave::kNoise,       0,                true,  false, {15000, 0.3f,  25000, 0.3f,  0.2f}},
};
// clang-format on

inline constexpr voice_table::Row RowOf(VoiceType type) {
    for (const voice_table::Row& row : voice_table::kRows) {
        if (row.code == type) return row;
    }
    return RowOf(VOICE_SINE);
}

// What the fast path relies on, checked for every row.
template <typename Holds>
constexpr bool EveryRow(Holds holds) {
    for (const Row& row : kRows) {
        if (!holds(row.chain)) return false;
    }
    return true;
}
// Its echo rings advance kEchoDelayMultiple samples at a time and wrap where
// they reach their length, the delay; a ring is read before it is written, so a
// delay is at least one such step. A delay as long as the buffer would hold nothing.
static_assert(EveryRow([](const EffectChain& c) {
                  return c.echo_delay1 > 0 && c.echo_delay1 % kEchoDelayMultiple == 0 &&
                         c.echo_delay2 > 0 && c.echo_delay2 % kEchoDelayMultiple == 0;
              }),
              "every echo delay is a positive multiple of kEchoDelayMultiple samples");
static_assert(EveryRow([](const EffectChain& c) {
                  return c.echo_delay1 < SND_BUF_LEN && c.echo_delay2 < SND_BUF_LEN;
              }),
              "every echo delay is shorter than the buffer");
// Its silence bound: without input the first echo never grows past the largest
// magnitude B1 in its ring when its feedback is below 1, and the second never
// past the larger of 2 B1 and what its own ring holds when its feedback is below
// 1/2; the low-pass, a weighted average of its input and its past, never
// past the larger of them.
static_assert(EveryRow([](const EffectChain& c) {
                  return -1 < c.echo_feedback1 && c.echo_feedback1 < 1 && -0.5 < c.echo_feedback2 &&
                         c.echo_feedback2 < 0.5;
              }),
              "echo feedbacks are below 1 (first) and 1/2 (second) in magnitude");
static_assert(EveryRow([](const EffectChain& c) { return 0 <= c.lowpass && c.lowpass < 1; }),
              "a low-pass weighs its past by 0 up to 1");
}  // namespace voice_table

// A short lower-case name for voice `type`, such as "pulse" or "sine-of-sine",
// fit for a file name; every code without a row of its own is a "sine".
inline constexpr const char* VoiceName(VoiceType type) {
    return voice_table::RowOf(type).name;
}

// The traits of voice `type` (a code above 16 has none: it renders nothing).
inline constexpr VoiceTraits Voice(VoiceType type) {
    const voice_table::Row row = voice_table::RowOf(type);
    const bool falling = type >= kFirstFallingVoice;
    return {row.wave,
            falling ? kFallingIncrement : kHeldIncrement,
            falling ? kFallingDecay : kHeldDecay,
            row.amplitude_step,
            row.draws_noise,
            row.silent_at_phase_zero,
            row.chain};
}

// The per-frame update before the frame's waveform: l = float(l g), h = float(l + h)
// wrapped into -1/2 <= h < 1/2 by h = float(h - trunc(h + 1/2)), and the amplitude step.
inline void AdvanceFrame(const VoiceTraits& voice, float& h, float& l, float& m) {
    l = Round(double{l} * voice.increment_factor);
    h = Round(double{l} + h);
    h = Round(h - std::trunc(h + 0.5));
    if (voice.amplitude_step != 0) m = Round(m + voice.amplitude_step);
}

// The per-frame update after the frame's sample: m = float(m o).
inline void DecayAmplitude(const VoiceTraits& voice, float& m) {
    m = Round(double{m} * voice.amplitude_factor);
}

// Whether a voice in this state can sound in the frames that follow while it
// holds: not when its amplitude stays zero, nor when its phase stays at zero in
// a voice that is silent there. "Can" may be said of a voice that stays silent.
inline bool CanSound(const VoiceTraits& voice, float h, float l, float m) {
    return (m != 0 || voice.amplitude_step != 0) &&
           (!voice.silent_at_phase_zero || l != 0 || h != 0);
}

// The waveforms' parts, as both paths compute them; h is the wrapped phase and
// every sine takes radians. Wave::kSine: w = float(sin(SineArgument(h))).
inline double SineArgument(float h) {
    return Round(kVoiceTwoPi * h);
}
// Wave::kSoftSaw: w = float(sin(float(2h))).
inline double SoftSawArgument(float h) {
    return Round(2.0 * h);
}
// Wave::kPulse.
inline float PulseLevel(float h) {
    return h <= kPulseWidth ? 1.0f : -1.0f;
}
// Wave::kPmLead, with P = h pi and q = 2P: s = float(sin(float(0.4 q))),
// b = float(3s), c1 = float(sin(float(b + q))), w = float(c1 - sin(b + 0.02 P)).
inline double PmPhase(float h) {
    return h * kVoicePi;
}
inline double PmModulatorArgument(double p) {
    return Round(kPmDepth * (2.0 * p));
}
inline float PmFeedback(float s) {
    return Round(kPmFeedback * s);
}
inline double PmCarrierArgument(float b, double p) {
    return Round(b + 2.0 * p);
}
inline double PmDriftArgument(float b, double p) {
    return b + kPmDrift * p;
}
// The noisy voices' value r = float(i / 32767) for NoiseRand's result i.
inline float NoiseValue(int i) {
    return Round(i / kNoiseScale);
}
// Wave::kJitterSine: w = float(sin(0.1 r + 2h pi)). Wave::kNoise: w = float(sin(r)).
inline double JitterArgument(float h, float r) {
    return kJitterDepth * r + 2.0 * h * kVoicePi;
}

}  // namespace wave
