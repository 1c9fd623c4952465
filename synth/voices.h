// The voices: one table of each voice type's traits, the per-frame update of a
// voice's state, and the waveforms' formulas. Both render paths read them from
// here, so every constant of a voice is written once.
#pragma once

#include <cmath>

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

// What defines a voice type for the renderers.
struct VoiceTraits {
    Wave wave;
    float increment_factor;     // g: l = float(l g) every frame
    float amplitude_factor;     // o: m = float(m o) after every frame's sample
    double amplitude_step;      // m = float(m + step) before every frame's sample; 0 for none
    bool draws_noise;           // one NoiseRand() per rendered frame
    bool silent_at_phase_zero;  // w = 0 at h = 0: held at phase zero the voice is silent
};

namespace voice_table {
struct Row {
    VoiceType code;
    Wave wave;
    double amplitude_step;
    bool draws_noise;
    bool silent_at_phase_zero;
};
// Every named voice; any other code up to 16 is a VOICE_SINE.
// clang-format off
inline constexpr Row kRows[] = {
    // code              wave                amplitude step    noise  silent at h = 0
    {VOICE_SOFT_SAW,     Wave::kSoftSaw,     0,                false, true},
    {VOICE_PM_LEAD,      Wave::kPmLead,      kPmAmplitudeStep, false, true},
    {VOICE_PULSE,        Wave::kPulse,       0,                false, false},  // +1 at h = 0
    {VOICE_SINE_OF_SINE, Wave::kSineOfSine,  0,                false, true},
    {VOICE_SINE,         Wave::kSine,        0,                false, true},
    {VOICE_JITTER_SINE,  Wave::kJitterSine,  0,                true,  false},  // jitter at h = 0
    {VOICE_NOISE,        Wave::kNoise,       0,                true,  false},
};
// clang-format on

inline constexpr voice_table::Row RowOf(VoiceType type) {
    for (const voice_table::Row& row : voice_table::kRows) {
        if (row.code == type) return row;
    }
    return RowOf(VOICE_SINE);
}
}  // namespace voice_table

// The traits of voice `type` (a code above 16 has none: it renders nothing).
inline constexpr VoiceTraits Voice(VoiceType type) {
    const voice_table::Row row = voice_table::RowOf(type);
    const bool falling = type >= kFirstFallingVoice;
    return {row.wave,
            falling ? kFallingIncrement : kHeldIncrement,
            falling ? kFallingDecay : kHeldDecay,
            row.amplitude_step,
            row.draws_noise,
            row.silent_at_phase_zero};
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
