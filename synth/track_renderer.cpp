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

float Round(double x) {
    return static_cast<float>(x);
}

// sin(x) rounded to double, then to float.
float SinF(double x) {
    return SineThen(x, Round);
}

// One frame of waveform at wrapped phase h; `m` is the amplitude, which the
// PM lead raises before it is used.
double Waveform(VoiceType type, float h, float& m) {
    switch (type) {
        case VOICE_SOFT_SAW:
            return SinF(Round(2.0 * h));
        case VOICE_PM_LEAD: {
            m = Round(m + 0.00002);
            const double p = h * kVoicePi;
            const double q = 2.0 * p;
            const float s = SinF(Round(kPmDepth * q));
            const float b = Round(3.0 * s);
            const float c1 = SinF(Round(b + q));
            // w = float(c1 - c2) with c2 = sin(b + 0.02 p) kept in double.
            return SineThen(b + 0.02 * p, [c1](double c2) { return Round(c1 - c2); });
        }
        case VOICE_PULSE:
            return h <= 0.2 ? 1.0 : -1.0;
        case VOICE_SINE_OF_SINE:
            return SinF(SinF(Round(kVoiceTwoPi * h)));
        case VOICE_JITTER_SINE: {
            const float r = Round(NoiseRand() / 32767.0);
            return SinF(0.1 * r + 2.0 * h * kVoicePi);
        }
        case VOICE_NOISE: {
            const float r = Round(NoiseRand() / 32767.0);
            return SinF(r);
        }
        default:
            return SinF(Round(kVoiceTwoPi * h));
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
    noise_state = noise_state * kNoiseMultiplier + kNoiseIncrement;
    return static_cast<int>((noise_state >> 16) & 0x7FFF);
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

void RenderVoice(VoiceType type, SongTrack track, float left, float right, float detune) {
    const float g = IncrementFactor(type);
    const float o = AmplitudeFactor(type);
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
            l = Round(double{l} * g);
            h = Round(double{l} + h);
            h = Round(h - std::trunc(h + 0.5));
            const double w = Waveform(type, h, m);
            const double v = w * m;
            out[2 * f] = Round(left * v);
            out[2 * f + 1] = Round(right * v);
            m = Round(double{m} * o);
        }
    }
}

void RenderTrack(VoiceType type, SongTrack track, float volume, float left, float right,
                 float detune) {
    if (type > kLastVoiceType) return;

    ReportTrackLine(type);
    ClearTrack();
    RenderVoice(type, track, left, right, detune);
    ApplyEcho(kEchoDelay1, kEchoFeedback);
    ApplyEcho(kEchoDelay2, kEchoFeedback);
    if (type == VOICE_NOISE) ApplyLowpass(kNoiseLowpass);
    MixTrack(volume);
}

}  // namespace wave
