#include "synth/fast/lane.h"

#include "synth/sine.h"

namespace wave::fast {

namespace {

// For every value i that NoiseRand can return: r = NoiseValue(i), and the noise
// voice's whole waveform, float(sin(r)).
struct NoiseTables {
    float value[32768];
    float sine[32768];
};

const NoiseTables& Noise() {
    static const NoiseTables* tables = [] {
        static NoiseTables t;
        for (int i = 0; i < 32768; ++i) {
            t.value[i] = NoiseValue(i);
            t.sine[i] = SineThen(t.value[i], Round);
        }
        return &t;
    }();
    return *tables;
}

}  // namespace

// As RenderVoice does at the start of a step.
void EnterStep(Lane& lane, std::int64_t step) {
    if (step >= static_cast<std::int64_t>(lane.track.size())) {
        lane.mode = StepMode::kEnded;
        return;
    }
    const std::uint8_t code = lane.track[static_cast<std::size_t>(step)];
    if (code == SND_REST) {
        lane.h = 0;
        lane.l = 0;
        lane.note = -1;
        lane.mode = StepMode::kSilent;
        return;
    }
    if (code != SND_HOLD) {
        lane.l = Round(double{NoteIncrement(code)} * lane.detune);
        lane.m = 1.0f;
        lane.h = 0;
        lane.note = code;
        lane.note_frame = 0;
    }
    lane.mode = StepMode::kRender;
}

const float* NoiseColumn(const VoiceTraits& voice) {
    return voice.wave == Wave::kNoise ? Noise().sine : Noise().value;
}

void Phases(Lane& lane, float* h_out, float* m_out, float* r_out, int count, int stride) {
    const float* noise_column = NoiseColumn(lane.voice);
    float h = lane.h, l = lane.l, m = lane.m;
    std::uint32_t noise = lane.noise;
    for (int j = 0; j < count; ++j) {
        AdvanceFrame(lane.voice, h, l, m);
        h_out[j * stride] = h;
        m_out[j * stride] = m;
        if (lane.voice.draws_noise) {
            noise = NextNoiseState(noise);
            r_out[j * stride] = noise_column[NoiseBits(noise)];
        }
        DecayAmplitude(lane.voice, m);
    }
    lane.h = h;
    lane.l = l;
    lane.m = m;
    lane.noise = noise;
}

}  // namespace wave::fast
