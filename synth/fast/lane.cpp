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

bool VectorStageCovers(Lane* const (&lanes)[kMaxGroupLanes]) {
    for (const Lane* lane : lanes) {
        if (lane && !(lane->l >= 0.0f && lane->l <= 0.5f && lane->h >= -0.5f && lane->h < 0.5f))
            return false;
    }
    return true;
}

void PhasesOneByOne(Lane* const (&lanes)[kMaxGroupLanes], float* h_out, float* m_out, float* r_out,
                    int frames) {
    for (int i = 0; i < kMaxGroupLanes; ++i) {
        if (lanes[i]) {
            Phases(*lanes[i], h_out + i, m_out + i, r_out + i, frames, kMaxGroupLanes);
            continue;
        }
        for (int j = 0; j < frames; ++j) {
            h_out[kMaxGroupLanes * j + i] = m_out[kMaxGroupLanes * j + i] =
                r_out[kMaxGroupLanes * j + i] = 0;
        }
    }
}

void StartSegment(Group& group, std::int64_t frame, Lane* (&active)[kMaxGroupLanes]) {
    const bool step_starts = frame % SND_UNIT_LEN == 0;
    for (std::size_t i = 0; i < group.lanes.size(); ++i) {
        Lane& lane = *group.lanes[i];
        if (step_starts) EnterStep(lane, frame / SND_UNIT_LEN);
        active[i] = lane.mode == StepMode::kRender ? &lane : nullptr;
    }
}

void PlayOn(Group& group, const NoteFrames& note, int to) {
    for (std::size_t i = 0; i < group.lanes.size(); ++i) {
        Lane& lane = *group.lanes[i];
        lane.note_frame = to;
        if (to % SND_UNIT_LEN == 0)
            lane.m = note.m_after_step[kMaxGroupLanes * (to / SND_UNIT_LEN - 1) + i];
    }
}

void PassSilentFrames(Lane* const (&active)[kMaxGroupLanes], int frames) {
    for (Lane* lane : active) {
        if (lane && lane->voice.draws_noise)
            lane->noise = NoiseRandAfter(lane->noise, static_cast<std::uint64_t>(frames));
    }
}

}  // namespace wave::fast
