#include "synth/fast_renderer.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "synth/buffers.h"
#include "synth/simd.h"
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

float Round(double x) { return static_cast<float>(x); }

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

    float* echo1 = nullptr;  // the last kEchoDelay1 samples of the first echo's output
    float* echo2 = nullptr;  // the last kEchoDelay2 samples of the second echo's output
    float low_left = 0, low_right = 0;
    std::int64_t last_loud1 = kLongAgo, last_loud2 = kLongAgo;  // sample index of the last non-zero output

    float* out = nullptr;       // this chunk's processed samples, to be mixed
    std::vector<char> silent;   // per block of the chunk: the output is all zero
};

// Scratch for one group's block: phases, amplitudes, noise values, waveform.
struct Scratch {
    float h[kGroupFrames], m[kGroupFrames], r[kGroupFrames], w[kGroupFrames];
    float s[kGroupFrames], b[kGroupFrames], c1[kGroupFrames];
    double a[kGroupFrames];
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

// The per-frame recurrences of one lane for `count` frames of one step.
// Returns whether any of these frames can make a sound.
bool Phases(Lane& lane, float* h_out, float* m_out, float* r_out, int count) {
    const bool pm = lane.voice == VOICE_PM_LEAD;
    const bool noisy = lane.voice == VOICE_JITTER_SINE || lane.voice == VOICE_NOISE;
    const bool zero_at_origin = SilentAtPhaseZero(lane.voice);
    float h = lane.h, l = lane.l, m = lane.m;
    std::uint32_t noise = lane.noise;
    bool audible = false;
    for (int j = 0; j < count; ++j) {
        l = Round(double{l} * lane.g);
        h = Round(double{l} + h);
        h = Round(h - std::trunc(h + 0.5));
        if (pm) m = Round(m + 0.00002);
        h_out[j] = h;
        m_out[j] = m;
        if (noisy) {
            noise = noise * 214013u + 2531011u;
            r_out[j] = Round(static_cast<int>((noise >> 16) & 0x7FFF) / 32767.0);
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

// The waveform of `n` frames from their phases (and noise values).
void Waveform(VoiceType voice, Scratch& s, int n) {
    switch (voice) {
        case VOICE_PULSE:
            for (int i = 0; i < n; ++i) s.w[i] = s.h[i] <= 0.2 ? 1.0f : -1.0f;
            return;
        case VOICE_SOFT_SAW:
            for (int i = 0; i < n; ++i) s.a[i] = Round(2.0 * s.h[i]);
            SineToFloat(s.a, s.w, n);
            return;
        case VOICE_PM_LEAD:
            for (int i = 0; i < n; ++i) s.a[i] = Round(kPmDepth * (2.0 * (s.h[i] * kPi)));
            SineToFloat(s.a, s.s, n);
            for (int i = 0; i < n; ++i) {
                s.b[i] = Round(3.0 * s.s[i]);
                s.a[i] = Round(s.b[i] + 2.0 * (s.h[i] * kPi));
            }
            SineToFloat(s.a, s.c1, n);
            for (int i = 0; i < n; ++i) s.a[i] = s.b[i] + 0.02 * (s.h[i] * kPi);
            FloatMinusSine(s.c1, s.a, s.w, n);
            return;
        case VOICE_SINE_OF_SINE:
            for (int i = 0; i < n; ++i) s.a[i] = Round(kTwoPi * s.h[i]);
            SineToFloat(s.a, s.s, n);
            for (int i = 0; i < n; ++i) s.a[i] = s.s[i];
            SineToFloat(s.a, s.w, n);
            return;
        case VOICE_JITTER_SINE:
            for (int i = 0; i < n; ++i) s.a[i] = 0.1 * s.r[i] + 2.0 * s.h[i] * kPi;
            SineToFloat(s.a, s.w, n);
            return;
        case VOICE_NOISE:
            for (int i = 0; i < n; ++i) s.a[i] = s.r[i];
            SineToFloat(s.a, s.w, n);
            return;
        default:
            for (int i = 0; i < n; ++i) s.a[i] = Round(kTwoPi * s.h[i]);
            SineToFloat(s.a, s.w, n);
            return;
    }
}

bool AnyNonZero(const float* x, int n) {
    std::uint32_t bits = 0;
    for (int i = 0; i < n; ++i) {
        std::uint32_t v;
        std::memcpy(&v, x + i, sizeof v);
        bits |= v << 1;  // the sign of a zero does not count
    }
    return bits != 0;
}

// y[n] = x[n] + feedback * y[n - delay] over one block, in place; `ring` holds
// the last `delay` outputs, slot n mod delay. The block is shorter than the delay,
// so all of its inputs come from earlier blocks.
void Echo(float* x, int n, float* ring, int delay, std::int64_t first) {
    const f64x4 feedback = simd::Splat(kEchoFeedback);
    int pos = static_cast<int>(first % delay);
    for (int i = 0; i < n;) {
        const int run = std::min(n - i, delay - pos);
        float* y = x + i;
        float* past = ring + pos;
        int j = 0;
        for (; j + simd::kLanes <= run; j += simd::kLanes) {
            const f32x4 v = simd::ToFloat(feedback * simd::LoadFloats(past + j) + simd::LoadFloats(y + j));
            simd::Store(y + j, v);
            simd::Store(past + j, v);
        }
        for (; j < run; ++j) past[j] = y[j] = Round(double{kEchoFeedback} * past[j] + y[j]);
        i += run;
        pos = 0;
    }
}

// The one-pole low-pass, per channel; the buffer's first frame passes unchanged.
void Lowpass(Lane& lane, float* x, int n, std::int64_t first) {
    const double c = kNoiseLowpass;
    float left = lane.low_left, right = lane.low_right;
    int i = 0;
    if (first == 0) {
        left = x[0];
        right = x[1];
        i = 2;
    }
    for (; i < n; i += 2) {
        x[i] = left = Round((left - double{x[i]}) * c + x[i]);
        x[i + 1] = right = Round((right - double{x[i + 1]}) * c + x[i + 1]);
    }
    lane.low_left = left;
    lane.low_right = right;
}

// mix[i] = volume * out[i] + mix[i]
void MixInto(float* mix, const float* out, int n, float volume) {
    const f64x4 v = simd::Splat(volume);
    int i = 0;
    for (; i + simd::kLanes <= n; i += simd::kLanes) {
        simd::Store(mix + i, simd::ToFloat(v * simd::LoadFloats(out + i) + simd::LoadFloats(mix + i)));
    }
    for (; i < n; ++i) mix[i] = Round(double{volume} * out[i] + mix[i]);
}

struct Group {
    VoiceType voice;
    std::vector<Lane*> lanes;
};

class Renderer {
public:
    Renderer(std::span<const RenderJob> jobs, int threads, float* arena, std::size_t arena_floats,
             int chunk_blocks)
        : threads_(std::max(1, threads)), chunk_blocks_(chunk_blocks) {
        const std::int64_t chunk_samples = std::int64_t{chunk_blocks_} * kBlockSamples;
        float* next = arena;
        auto take = [&](std::size_t floats) {
            float* p = next;
            next += floats;
            (void)arena_floats;
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
            lane.echo1 = take(kEchoDelay1);
            lane.echo2 = take(kEchoDelay2);
            std::fill(lane.echo1, lane.echo1 + kEchoDelay1, 0.0f);
            std::fill(lane.echo2, lane.echo2 + kEchoDelay2, 0.0f);
            lane.out = take(static_cast<std::size_t>(chunk_samples));
            lane.silent.assign(static_cast<std::size_t>(chunk_blocks_), 1);
            lanes_.push_back(lane);
        }
        final_noise_ = noise;
        for (int t = 0; t < threads_; ++t) {
            scratch_.push_back(new (take(sizeof(Scratch) / sizeof(float) + 16)) Scratch);
        }
        // Lanes of one voice type run side by side, four at a time.
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
    }

    static std::size_t ArenaFloats(std::size_t lanes, int threads, int chunk_blocks) {
        return lanes * (kEchoDelay1 + kEchoDelay2 + std::size_t(chunk_blocks) * kBlockSamples) +
               std::size_t(threads) * (sizeof(Scratch) / sizeof(float) + 16);
    }

    void Run(const RenderProgress& progress) {
        const std::int64_t chunk_samples = std::int64_t{chunk_blocks_} * kBlockSamples;
        for (std::int64_t first = 0; first < SND_BUF_LEN; first += chunk_samples) {
            if (AllQuietForever(first)) break;
            RenderChunk(first);
            if (progress) progress(static_cast<double>(first + chunk_samples) / SND_BUF_LEN);
        }
        SetNoiseRandState(final_noise_);
        if (progress) progress(1.0);
    }

private:
    // True once no lane can make another non-zero sample.
    bool AllQuietForever(std::int64_t first) const {
        for (const Lane& lane : lanes_) {
            if (lane.mode != StepMode::kEnded || !Quiet(lane, first)) return false;
        }
        return true;
    }

    // True when the echo rings and the low-pass hold nothing but zeros at `first`.
    static bool Quiet(const Lane& lane, std::int64_t first) {
        return lane.last_loud1 < first - kEchoDelay1 && lane.last_loud2 < first - kEchoDelay2 &&
               lane.low_left == 0 && lane.low_right == 0;
    }

    void RenderChunk(std::int64_t first) {
        const std::int64_t chunk_end = std::min<std::int64_t>(
            first + std::int64_t{chunk_blocks_} * kBlockSamples, SND_BUF_LEN);
        if (threads_ == 1) {
            for (Group& group : groups_) RenderGroupChunk(group, first, chunk_end, *scratch_[0]);
            MixChunk(first, chunk_end, first, chunk_end);
            return;
        }
        std::atomic<std::size_t> next_group{0};
        auto work = [&](int t) {
            for (std::size_t g; (g = next_group.fetch_add(1)) < groups_.size();) {
                RenderGroupChunk(groups_[g], first, chunk_end, *scratch_[t]);
            }
        };
        RunOnThreads(work);
        // The mix is element-wise: each thread takes a slice of the chunk.
        const std::int64_t slice = (chunk_end - first + threads_ - 1) / threads_ / 8 * 8 + 8;
        RunOnThreads([&](int t) {
            const std::int64_t from = std::min(chunk_end, first + t * slice);
            const std::int64_t to = std::min(chunk_end, from + slice);
            if (from < to) MixChunk(first, chunk_end, from, to);
        });
    }

    template <typename Work>
    void RunOnThreads(Work work) {
        std::vector<std::thread> helpers;
        for (int t = 1; t < threads_; ++t) helpers.emplace_back(work, t);
        work(0);
        for (std::thread& helper : helpers) helper.join();
    }

    void RenderGroupChunk(Group& group, std::int64_t first, std::int64_t chunk_end, Scratch& s) {
        int block = 0;
        for (std::int64_t b0 = first; b0 < chunk_end; b0 += kBlockSamples, ++block) {
            const int samples = static_cast<int>(std::min<std::int64_t>(kBlockSamples, chunk_end - b0));
            RenderGroupBlock(group, b0, samples, block, s);
        }
    }

    void RenderGroupBlock(Group& group, std::int64_t first, int samples, int block, Scratch& s) {
        const int frames = samples / 2;
        const std::int64_t first_frame = first / 2;
        const int lanes = static_cast<int>(group.lanes.size());
        bool audible[kMaxGroupLanes] = {};
        bool any_audible = false;
        for (int i = 0; i < lanes; ++i) {
            Lane& lane = *group.lanes[i];
            float* h = s.h + i * frames;
            float* m = s.m + i * frames;
            float* r = s.r + i * frames;
            for (int f = 0; f < frames;) {
                const std::int64_t frame = first_frame + f;
                const int in_step = static_cast<int>(frame % SND_UNIT_LEN);
                if (in_step == 0) EnterStep(lane, frame / SND_UNIT_LEN);
                const int run = std::min(frames - f, SND_UNIT_LEN - in_step);
                if (lane.mode == StepMode::kRender) {
                    audible[i] |= Phases(lane, h + f, m + f, r + f, run);
                } else {
                    std::fill(h + f, h + f + run, 0.0f);
                    std::fill(m + f, m + f + run, 0.0f);
                    std::fill(r + f, r + f + run, 0.0f);
                }
                f += run;
            }
            any_audible |= audible[i];
        }
        if (any_audible) Waveform(group.voice, s, lanes * frames);

        for (int i = 0; i < lanes; ++i) {
            Lane& lane = *group.lanes[i];
            float* out = lane.out + std::int64_t{block} * kBlockSamples;
            if (!audible[i] && Quiet(lane, first)) {
                lane.silent[static_cast<std::size_t>(block)] = 1;
                continue;
            }
            lane.silent[static_cast<std::size_t>(block)] = 0;
            if (audible[i]) {
                const float* w = s.w + i * frames;
                const float* m = s.m + i * frames;
                for (int f = 0; f < frames; ++f) {
                    const double v = double{w[f]} * m[f];
                    out[2 * f] = Round(lane.left * v);
                    out[2 * f + 1] = Round(lane.right * v);
                }
            } else {
                std::fill(out, out + samples, 0.0f);
            }
            Echo(out, samples, lane.echo1, kEchoDelay1, first);
            if (AnyNonZero(out, samples)) lane.last_loud1 = first + samples - 1;
            Echo(out, samples, lane.echo2, kEchoDelay2, first);
            if (AnyNonZero(out, samples)) lane.last_loud2 = first + samples - 1;
            if (lane.voice == VOICE_NOISE) Lowpass(lane, out, samples, first);
        }
    }

    // Adds the lanes' output for samples [from, to) of the chunk that starts at
    // `first`, in job order.
    void MixChunk(std::int64_t first, std::int64_t chunk_end, std::int64_t from, std::int64_t to) {
        (void)chunk_end;
        for (const Lane* lane : MixOrder()) {
            for (std::int64_t b0 = from; b0 < to;) {
                const std::int64_t block = (b0 - first) / kBlockSamples;
                const std::int64_t block_end =
                    std::min(to, first + (block + 1) * kBlockSamples);
                if (!lane->silent[static_cast<std::size_t>(block)]) {
                    MixInto(MixBuffer + b0, lane->out + (b0 - first), static_cast<int>(block_end - b0),
                            lane->volume);
                }
                b0 = block_end;
            }
        }
    }

    const std::vector<const Lane*>& MixOrder() {
        if (mix_order_.empty()) {
            for (const Lane& lane : lanes_) mix_order_.push_back(&lane);
        }
        return mix_order_;
    }

    int threads_;
    int chunk_blocks_;
    std::vector<Lane> lanes_;
    std::vector<Group> groups_;
    std::vector<Scratch*> scratch_;
    std::vector<const Lane*> mix_order_;
    std::uint32_t final_noise_ = 0;
};

}  // namespace

void RenderJobs(std::span<const RenderJob> jobs, int threads, const RenderProgress& progress) {
    threads = std::max(1, threads);
    const int chunk_blocks = threads == 1 ? 1 : 4;
    // The scratch lives in TrackBuffer; a list too long for it is rendered in parts.
    std::size_t count = jobs.size();
    while (count > 1 && Renderer::ArenaFloats(count, threads, chunk_blocks) > SND_BUF_LEN) count /= 2;
    if (count < jobs.size()) {
        for (std::size_t start = 0; start < jobs.size(); start += count) {
            const auto part = jobs.subspan(start, std::min(count, jobs.size() - start));
            RenderJobs(part, threads, [&](double f) {
                if (progress) progress((static_cast<double>(start) + f * part.size()) / jobs.size());
            });
        }
        return;
    }
    Renderer renderer(jobs, threads, TrackBuffer, SND_BUF_LEN, chunk_blocks);
    renderer.Run(progress);
}

}  // namespace wave
