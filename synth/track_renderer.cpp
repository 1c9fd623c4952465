#include "synth/track_renderer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "synth/buffers.h"
#include "synth/sine.h"

namespace wave {

namespace {

std::uint32_t noise_state = 1;

void PrintToStdout(const char* line) {
    std::fputs(line, stdout);
}
ReportLineFn report_line = PrintToStdout;

// The sines of the plain path, each ending in a float rounding:
// Float(x) = float(sin x) and FloatMinus(c, x) = float(c - sin x).
struct ExactSine {
    static float Float(double x) { return SineThen(x, Round); }
    static float FloatMinus(float c, double x) {
        return SineThen(x, [c](double s) { return Round(c - s); });
    }
};
struct CLibrarySine {
    static float Float(double x) { return Round(std::sin(x)); }
    static float FloatMinus(float c, double x) { return Round(c - std::sin(x)); }
};

// One frame of waveform at wrapped phase h.
template <typename Sine>
double Waveform(Wave wave, float h) {
    switch (wave) {
        case Wave::kSoftSaw:
            return Sine::Float(SoftSawArgument(h));
        case Wave::kPmLead: {
            const double p = PmPhase(h);
            const float b = PmFeedback(Sine::Float(PmModulatorArgument(p)));
            const float c1 = Sine::Float(PmCarrierArgument(b, p));
            // w = float(c1 - c2) with c2 = sin(b + 0.02 p) kept in double.
            return Sine::FloatMinus(c1, PmDriftArgument(b, p));
        }
        case Wave::kPulse:
            return PulseLevel(h);
        case Wave::kSineOfSine:
            return Sine::Float(Sine::Float(SineArgument(h)));
        case Wave::kJitterSine:
            return Sine::Float(JitterArgument(h, NoiseValue(NoiseRand())));
        case Wave::kNoise:
            return Sine::Float(NoiseValue(NoiseRand()));
        case Wave::kSine:
            break;
    }
    return Sine::Float(SineArgument(h));
}

template <typename Sine>
void RenderVoiceWith(VoiceType type, SongTrack track, float left, float right, float detune) {
    const VoiceTraits voice = Voice(type);
    float h = 0;  // phase in cycles, -0.5 <= h < 0.5
    float l = 0;  // phase increment, cycles per frame
    float m = 0;  // amplitude

    const SongTrack steps = PlayedSteps(track);
    for (std::size_t k = 0; k < steps.size(); ++k) {
        const std::uint8_t code = steps[k];
        if (code == SND_REST) {
            h = 0;
            l = 0;
            continue;
        }
        if (code != SND_HOLD) {
            l = Round(double{NoteIncrement(code)} * detune);
            m = 1.0f;
            h = 0;
        }
        float* out = TrackBuffer + 2 * SND_UNIT_LEN * k;
        for (int f = 0; f < SND_UNIT_LEN; ++f) {
            AdvanceFrame(voice, h, l, m);
            const double v = Waveform<Sine>(voice.wave, h) * m;
            out[2 * f] = Round(left * v);
            out[2 * f + 1] = Round(right * v);
            DecayAmplitude(voice, m);
        }
    }
}

}  // namespace

float NoteIncrement(int n) {
    float increment = 0.00019219286f;
    for (int i = 0; i < n; ++i)
        increment = Round(double{increment} * 1.0594631f);
    return increment;
}

int NoiseRand() {
    noise_state = NextNoiseState(noise_state);
    return static_cast<int>(NoiseBits(noise_state));
}

void ResetNoiseRand() {
    noise_state = 1;
}

std::uint32_t NoiseRandState() {
    return noise_state;
}

void SetNoiseRandState(std::uint32_t state) {
    noise_state = state;
}

std::uint32_t NoiseRandAfter(std::uint32_t state, std::uint64_t draws) {
    // Composes s -> a s + c with itself by squaring: (a, c), (a^2, a c + c), ...
    std::uint32_t a = kNoiseMultiplier, c = kNoiseIncrement;
    for (; draws != 0; draws >>= 1) {
        if (draws & 1) state = a * state + c;
        c = a * c + c;
        a = a * a;
    }
    return state;
}

SongTrack PlayedSteps(SongTrack track) {
    const SongTrack steps = track.first(std::min<std::size_t>(track.size(), SND_UNIT_NUM));
    return steps.first(
        static_cast<std::size_t>(std::find(steps.begin(), steps.end(), SND_END) - steps.begin()));
}

std::uint64_t RenderedFrames(SongTrack track) {
    std::uint64_t frames = 0;
    for (std::uint8_t code : PlayedSteps(track)) {
        if (code != SND_REST) frames += SND_UNIT_LEN;
    }
    return frames;
}

void SetReportLine(ReportLineFn report) {
    report_line = report ? report : PrintToStdout;
}

void ReportLine(const char* line) {
    report_line(line);
}

void ReportTrackLine(VoiceType voice) {
    char line[48];
    std::snprintf(line, sizeof line, "Render Track ch[%d]\n", voice);
    ReportLine(line);
}

void RenderVoice(VoiceType type, SongTrack track, float left, float right, float detune,
                 PlainSine sine) {
    if (sine == PlainSine::kCLibrary) {
        RenderVoiceWith<CLibrarySine>(type, track, left, right, detune);
    } else {
        RenderVoiceWith<ExactSine>(type, track, left, right, detune);
    }
}

void RenderTrack(VoiceType type, SongTrack track, float volume, float left, float right,
                 float detune, PlainSine sine) {
    if (type > kLastVoiceType) return;

    ReportTrackLine(type);
    ClearTrack();
    RenderVoice(type, track, left, right, detune, sine);
    const EffectChain chain = Voice(type).chain;
    ApplyEcho(chain.echo_delay1, chain.echo_feedback1);
    ApplyEcho(chain.echo_delay2, chain.echo_feedback2);
    if (chain.lowpass != 0) ApplyLowpass(chain.lowpass);
    MixTrack(volume);
}

}  // namespace wave
