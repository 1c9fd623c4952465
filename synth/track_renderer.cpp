#include "synth/track_renderer.h"

#include <algorithm>
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

// sin(x) rounded to double, then to float.
float SinF(double x) {
    return SineThen(x, Round);
}

// One frame of waveform at wrapped phase h.
double Waveform(Wave wave, float h) {
    switch (wave) {
        case Wave::kSoftSaw:
            return SinF(SoftSawArgument(h));
        case Wave::kPmLead: {
            const double p = PmPhase(h);
            const float b = PmFeedback(SinF(PmModulatorArgument(p)));
            const float c1 = SinF(PmCarrierArgument(b, p));
            // w = float(c1 - c2) with c2 = sin(b + 0.02 p) kept in double.
            return SineThen(PmDriftArgument(b, p), [c1](double c2) { return Round(c1 - c2); });
        }
        case Wave::kPulse:
            return PulseLevel(h);
        case Wave::kSineOfSine:
            return SinF(SinF(SineArgument(h)));
        case Wave::kJitterSine:
            return SinF(JitterArgument(h, NoiseValue(NoiseRand())));
        case Wave::kNoise:
            return SinF(NoiseValue(NoiseRand()));
        case Wave::kSine:
            break;
    }
    return SinF(SineArgument(h));
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

void RenderVoice(VoiceType type, SongTrack track, float left, float right, float detune) {
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
            const double v = Waveform(voice.wave, h) * m;
            out[2 * f] = Round(left * v);
            out[2 * f + 1] = Round(right * v);
            DecayAmplitude(voice, m);
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
