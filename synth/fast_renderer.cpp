#include "synth/fast_renderer.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>
#include <type_traits>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#define WAVE_HAVE_AVX2_KERNELS 1
#include <immintrin.h>
#endif

#include "synth/buffers.h"
#include "synth/sine.h"

namespace wave {

namespace {

constexpr int kBlockFrames = 2048;
constexpr int kBlockSamples = 2 * kBlockFrames;
constexpr int kMaxGroupLanes = 4;
constexpr int kGroupFrames = kMaxGroupLanes * kBlockFrames;
static_assert(kBlockFrames <= SND_UNIT_LEN, "a block holds at most one step boundary");
constexpr std::int64_t kLongAgo = INT64_MIN / 2;
constexpr double kNoBound = HUGE_VAL;

float Round(double x) {
    return static_cast<float>(x);
}

enum class StepMode { kRender, kSilent, kEnded };

// One job as it runs: its voice state, its echo rings and its output.
struct Lane {
    VoiceType voice = VOICE_SINE;
    SongTrack track;  // cut to the steps RenderTrack reads
    float volume = 0, left = 0, right = 0, detune = 0;
    float g = 1, o = 1;  // per-frame increment and amplitude factors

    float h = 0, l = 0, m = 0;
    std::uint32_t noise = 0;
    StepMode mode = StepMode::kSilent;
    // The note struck at the last note-on, while only holds have followed it, or
    // -1; and how many frames have been rendered since that note-on.
    int note = -1;
    int note_frame = 0;

    float low_left = 0, low_right = 0;  // the low-pass's last output per channel
    std::int64_t last_loud1 = kLongAgo,
                 last_loud2 = kLongAgo;  // sample index of the last non-zero output

    float* out = nullptr;      // this chunk's processed samples, to be mixed
    std::vector<char> silent;  // per block of the chunk: the output is all zero
};

// Scratch for one group's block: phases, amplitudes, noise values, waveform, and
// what goes into the echoes: float(gain * w * m) per channel.
struct Scratch {
    float h[kGroupFrames], m[kGroupFrames], r[kGroupFrames], w[kGroupFrames];
    float x_left[kGroupFrames], x_right[kGroupFrames];
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
    const bool noisy = DrawsNoise(lane.voice);
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
            noise = noise * kNoiseMultiplier + kNoiseIncrement;
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
using Int64x4 = std::int64_t __attribute__((vector_size(32)));

// The largest magnitude in each of the four columns of `rows` rows of floats;
// NaN in a column that holds one.
Float4 LargestInColumns(const float* p, int rows) {
    Float4 largest{};
    Int4 nan{};
    for (int r = 0; r < rows; ++r) {
        Float4 v;
        std::memcpy(&v, p + kMaxGroupLanes * r, sizeof v);
        v = (Float4)((Int4)v & INT32_MAX);
        nan |= v != v;
        largest = v > largest ? v : largest;
    }
    return (Float4)((Int4)largest | nan);
}

// Whether all `n` floats from `p` on are zero, of either sign.
bool AllZero(const float* p, std::int64_t n) {
    constexpr int kStretch = 4096;
    for (std::int64_t start = 0; start < n; start += kStretch) {
        const int count = static_cast<int>(std::min<std::int64_t>(kStretch, n - start));
        std::uint32_t bits = 0;
        for (int i = 0; i < count; ++i) {
            std::uint32_t b;
            std::memcpy(&b, p + start + i, sizeof b);
            bits |= b;
        }
        if ((bits & INT32_MAX) != 0) return false;
    }
    return true;
}

// Half a 16-bit step: a mix sample below it converts to 0, even unscaled.
constexpr double kUnderPcmStep = 0x1p-16;

// True when the echo rings and the low-pass hold nothing but zeros at sample `first`.
bool Quiet(const Lane& lane, std::int64_t first) {
    return lane.last_loud1 < first - kEchoDelay1 && lane.last_loud2 < first - kEchoDelay2 &&
           lane.low_left == 0 && lane.low_right == 0;
}

// A note-on resets every part of a voice's state, so from a note-on through the
// holds that follow it a voice without noise makes the same frames each time it
// plays that note. A group whose lanes play one track keeps them: per note, what
// each frame of its lanes puts into the echoes ([frame][lane], as in Scratch), as
// far as any playing of the note has needed so far, the amplitude at the end of
// each step (which carries on through a rest), and the phase state where they stop.
struct NoteFrames {
    int capacity = 0;  // frames: the note's longest playing in the track
    int filled = 0;
    float* left = nullptr;  // what each frame puts into the echoes, per channel
    float* right = nullptr;
    float* m_after_step = nullptr;  // the lanes' amplitude at the end of each step
    float h_next[kMaxGroupLanes] = {}, l_next[kMaxGroupLanes] = {}, m_next[kMaxGroupLanes] = {};
};

// Up to four lanes of one voice type, processed side by side: element i of each
// vector below belongs to lanes[i].
struct Group {
    VoiceType voice;
    std::vector<Lane*> lanes;
    std::vector<NoteFrames> notes;  // by note code; empty when the group keeps none
    // The echoes' last outputs: slot n mod delay holds sample n of every lane.
    float* echo1 = nullptr;  // kEchoDelay1 x 4
    float* echo2 = nullptr;  // kEchoDelay2 x 4
};

}  // namespace

namespace baseline {
#define WAVE_KERNEL_AVX2 0
#include "synth/fast_kernels.inc"
#undef WAVE_KERNEL_AVX2
}  // namespace baseline

#ifdef WAVE_HAVE_AVX2_KERNELS
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace avx2 {
#define WAVE_KERNEL_AVX2 1
#include "synth/fast_kernels.inc"
#undef WAVE_KERNEL_AVX2
}  // namespace avx2
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
#endif

namespace {

// One copy of the kernels: the baseline's, or AVX2's where the processor has it.
struct Kernels {
    void (*group_block)(Group&, std::int64_t, int, int, Scratch&, Scratch&);
    void (*mix)(const std::vector<Lane>&, int, std::int64_t, std::int64_t);
    void (*sines)(const double*, float*, int);
    void (*minus_sines)(const float*, const double*, float*, int);
};

Kernels ChooseKernels(FastPathIsa isa) {
#ifdef WAVE_HAVE_AVX2_KERNELS
    if (isa == FastPathIsa::kBest && __builtin_cpu_supports("avx2")) {
        return {avx2::GroupBlock, avx2::Mix, avx2::Sines, avx2::MinusSines};
    }
#endif
    (void)isa;
    return {baseline::GroupBlock, baseline::Mix, baseline::Sines, baseline::MinusSines};
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

// How dear a voice's frames are, for the order in which groups are handed out.
// Notes without noise are rendered once and replayed; the noisy voices compute
// every frame, the jittered sine with a sine each.
int Cost(VoiceType voice) {
    switch (voice) {
        case VOICE_JITTER_SINE:
            return 2;
        case VOICE_NOISE:
            return 1;
        default:
            return 0;
    }
}

// Renders the chunks of the buffer as tasks: a group's part of a chunk (its
// lanes' voices and chains, in order from chunk to chunk) and the mix of a chunk
// (once every group has done it, in job order). Each lane keeps its output for
// a few chunks, so that threads can run ahead of the mix.
class Renderer {
public:
    Renderer(std::span<const RenderJob> jobs, Crew& crew, int chunk_blocks, Kernels kernels,
             MixUse use)
        : crew_(crew),
          chunk_blocks_(chunk_blocks),
          slots_(Slots(crew.size())),
          kernels_(kernels),
          use_(use) {
        const std::int64_t chunk_samples = std::int64_t{chunk_blocks_} * kBlockSamples;
        float* next = TrackBuffer;
        // Every part of the scratch is checked against the end of TrackBuffer: a
        // layout that does not fit stops here instead of overwriting memory.
        auto take = [&](std::size_t floats) {
            if (floats > static_cast<std::size_t>(TrackBuffer + SND_BUF_LEN - next)) {
                throw std::length_error("fast path: the scratch does not fit in TrackBuffer");
            }
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
            lane.voice = job.voice;
            lane.track = PlayedSteps(job.track);
            lane.volume = job.volume;
            lane.left = job.left;
            lane.right = job.right;
            lane.detune = job.detune;
            lane.g = IncrementFactor(job.voice);
            lane.o = AmplitudeFactor(job.voice);
            lane.noise = noise;
            if (DrawsNoise(job.voice)) {
                noise = NoiseRandAfter(noise, RenderedFrames(lane.track));
            }
            lane.out = take(static_cast<std::size_t>(slots_ * chunk_samples));
            lane.silent.assign(static_cast<std::size_t>(slots_ * chunk_blocks_), 1);
            lanes_.push_back(std::move(lane));
        }
        final_noise_ = noise;
        for (int t = 0; t < Workers(crew_.size(), lanes_.size()); ++t) {
            scratch_.push_back(new (take(sizeof(Scratch) / sizeof(float) + 16)) Scratch);
            note_scratch_.push_back(new (take(sizeof(Scratch) / sizeof(float) + 16)) Scratch);
        }
        // Lanes that play one track with one voice run side by side, four at a
        // time; the costliest groups are handed out first.
        for (Lane& lane : lanes_) {
            auto it = std::find_if(groups_.begin(), groups_.end(), [&](const Group& g) {
                return g.voice == lane.voice && g.lanes.size() < kMaxGroupLanes &&
                       std::equal(g.lanes[0]->track.begin(), g.lanes[0]->track.end(),
                                  lane.track.begin(), lane.track.end());
            });
            if (it == groups_.end()) {
                groups_.push_back({lane.voice, {}, {}});
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
        // The notes' frames take what is left of the buffer, group by group.
        for (Group& group : groups_) {
            const std::array<int, 256> longest = LongestNotes(group);
            const std::size_t floats = NoteFramesFloats(longest);
            if (floats == 0 || floats > static_cast<std::size_t>(TrackBuffer + SND_BUF_LEN - next))
                continue;
            KeepNotes(group, longest, take);
        }
        std::stable_sort(groups_.begin(), groups_.end(), [](const Group& a, const Group& b) {
            return Cost(a.voice) > Cost(b.voice);
        });
        chunks_ = static_cast<int>((SND_BUF_LEN + chunk_samples - 1) / chunk_samples);
        next_chunk_.assign(groups_.size(), 0);
        busy_.assign(groups_.size(), false);
        remaining_.assign(static_cast<std::size_t>(slots_), static_cast<int>(groups_.size()));
        remaining_sound_.assign(groups_.size() * static_cast<std::size_t>(slots_), kNoBound);
    }

    // The longest playing of every note in the group's track, in steps: a note-on
    // and the holds that follow it. Empty for a voice with noise, whose frames
    // differ each time.
    static std::array<int, 256> LongestNotes(const Group& group) {
        std::array<int, 256> longest{};
        if (DrawsNoise(group.voice)) return longest;
        const SongTrack track = group.lanes[0]->track;
        for (std::size_t k = 0; k < track.size(); ++k) {
            const std::uint8_t code = track[k];
            if (code == SND_REST || code == SND_HOLD) continue;
            std::size_t steps = 1;
            while (k + steps < track.size() && track[k + steps] == SND_HOLD)
                ++steps;
            longest[code] = std::max(longest[code], static_cast<int>(steps));
        }
        return longest;
    }

    // The floats KeepNotes takes for notes of these lengths.
    static std::size_t NoteFramesFloats(const std::array<int, 256>& longest) {
        std::size_t floats = 0;
        for (int steps : longest)
            floats += kMaxGroupLanes * std::size_t(steps) * (2 * SND_UNIT_LEN + 1);
        return floats;
    }

    // Sets the group up to keep its notes, each as long as `longest` says.
    template <typename Take>
    static void KeepNotes(Group& group, const std::array<int, 256>& longest, Take& take) {
        group.notes.resize(longest.size());
        for (std::size_t code = 0; code < longest.size(); ++code) {
            if (longest[code] == 0) continue;
            NoteFrames& note = group.notes[code];
            note.capacity = longest[code] * SND_UNIT_LEN;
            note.left = take(kMaxGroupLanes * std::size_t(note.capacity));
            note.right = take(kMaxGroupLanes * std::size_t(note.capacity));
            note.m_after_step = take(kMaxGroupLanes * std::size_t(longest[code]));
            for (std::size_t i = 0; i < group.lanes.size(); ++i) {
                note.l_next[i] =
                    Round(double{NoteIncrement(static_cast<int>(code))} * group.lanes[i]->detune);
                note.m_next[i] = 1.0f;
            }
        }
    }

    // At most one thread works on a group at a time and one mixes, so threads
    // beyond that never get a task; they get no scratch and stay idle.
    static int Workers(int threads, std::size_t lanes) {
        return static_cast<int>(
            std::min<std::size_t>(static_cast<std::size_t>(threads), lanes + 1));
    }

    // How many chunks of output each lane keeps.
    static int Slots(int threads) { return threads == 1 ? 1 : 3; }

    // The TrackBuffer floats the renderer needs for `lanes` lanes.
    static std::size_t ArenaFloats(std::size_t lanes, int threads, int chunk_blocks) {
        // At worst every lane is a group of its own.
        return lanes * (kMaxGroupLanes * (kEchoDelay1 + kEchoDelay2) +
                        std::size_t(Slots(threads)) * std::size_t(chunk_blocks) * kBlockSamples) +
               2 * std::size_t(Workers(threads, lanes)) * (sizeof(Scratch) / sizeof(float) + 16);
    }

    void Run(const RenderProgress& progress) {
        const int workers = Workers(crew_.size(), lanes_.size());
        if (!lanes_.empty()) {
            crew_.Run([&](int t) {
                if (t < workers) Work(t, t == 0 ? &progress : nullptr);
            });
        }
        SetNoiseRandState(final_noise_);
    }

private:
    struct Task {
        enum { kNone, kGroup, kMix } kind = kNone;
        std::size_t group = 0;
        int chunk = 0;
    };

    std::int64_t ChunkStart(int chunk) const {
        return std::int64_t{chunk} * chunk_blocks_ * kBlockSamples;
    }
    std::int64_t ChunkEnd(int chunk) const {
        return std::min<std::int64_t>(ChunkStart(chunk + 1), SND_BUF_LEN);
    }
    int FirstBlock(int chunk) const { return (chunk % slots_) * chunk_blocks_; }

    // Takes the next task: the oldest chunk's mix once it is ready, else the group
    // furthest behind (costliest first) whose chunk has a free output slot.
    // Returns a task of kind kNone when every chunk is mixed. Called under mutex_.
    Task Next() {
        if (mixed_ == chunks_) return {};
        if (!mixing_ && remaining_[static_cast<std::size_t>(mixed_ % slots_)] == 0) {
            mixing_ = true;
            return {Task::kMix, 0, mixed_};
        }
        std::size_t best = groups_.size();
        for (std::size_t g = 0; g < groups_.size(); ++g) {
            if (busy_[g] || next_chunk_[g] >= chunks_ || next_chunk_[g] >= mixed_ + slots_)
                continue;
            if (best == groups_.size() || next_chunk_[g] < next_chunk_[best]) best = g;
        }
        if (best == groups_.size()) return {Task::kNone, 0, -1};  // wait
        busy_[best] = true;
        return {Task::kGroup, best, next_chunk_[best]};
    }

    void Work(int t, const RenderProgress* progress) {
        int reported = 0;
        for (;;) {
            Task task;
            {
                std::unique_lock lock(mutex_);
                for (;;) {
                    task = Next();
                    if (task.kind != Task::kNone || task.chunk == 0) break;
                    changed_.wait(lock);
                }
            }
            if (task.kind == Task::kNone) break;
            bool rest_silent = false;
            if (task.kind == Task::kGroup) {
                RenderGroup(task.group, task.chunk, *scratch_[static_cast<std::size_t>(t)],
                            *note_scratch_[static_cast<std::size_t>(t)]);
            } else {
                rest_silent = SilentFrom(task.chunk);
                if (!rest_silent) {
                    kernels_.mix(lanes_, FirstBlock(task.chunk), ChunkStart(task.chunk),
                                 ChunkEnd(task.chunk));
                }
            }
            int mixed;
            {
                std::lock_guard lock(mutex_);
                if (task.kind == Task::kGroup) {
                    busy_[task.group] = false;
                    ++next_chunk_[task.group];
                    --remaining_[static_cast<std::size_t>(task.chunk % slots_)];
                } else if (rest_silent) {
                    chunks_ = mixed_;  // nothing is left to render or mix
                } else {
                    remaining_[static_cast<std::size_t>(task.chunk % slots_)] =
                        static_cast<int>(groups_.size());
                    ++mixed_;
                    mixing_ = false;
                }
                mixed = mixed_;
            }
            changed_.notify_all();
            if (progress && *progress && mixed != reported) {
                reported = mixed;
                (*progress)(static_cast<double>(ChunkEnd(mixed - 1)) / SND_BUF_LEN);
            }
        }
    }

    // A bound on all that the group's lanes have yet to add to the mix, weighted
    // by their volumes, or kNoBound while any of them plays. Without input the
    // first echo, float(0.3 y1[-15000]), never grows past the largest magnitude
    // B1 in its ring; the second, float(y1 + 0.3 y2[-25000]), never past
    // max(B2, 2 B1); and the low-pass, which rounds a weighted average of its
    // input and its past, never past the larger of those bounds.
    double RemainingSound(const Group& group) const {
        for (const Lane* lane : group.lanes) {
            if (lane->mode != StepMode::kEnded) return kNoBound;
        }
        const Float4 b1 = LargestInColumns(group.echo1, kEchoDelay1);
        const Float4 b2 = LargestInColumns(group.echo2, kEchoDelay2);
        double sum = 0;
        for (std::size_t i = 0; i < group.lanes.size(); ++i) {
            const Lane& lane = *group.lanes[i];
            const double bounds[] = {b2[i], 2.0 * b1[i], std::fabs(lane.low_left),
                                     std::fabs(lane.low_right), std::fabs(lane.volume)};
            for (double b : bounds) {
                if (std::isnan(b)) return kNoBound;
            }
            sum += std::fabs(lane.volume) * std::max({bounds[0], bounds[1], bounds[2], bounds[3]});
        }
        return sum;
    }

    // Whether the mix may be left as it is from chunk `chunk` on: see MixUse. Each
    // rounding of a sum into the mix can add a part in 2^23 to the bound, far
    // inside the factor of two between kUnderPcmStep and a 16-bit step.
    bool SilentFrom(int chunk) {
        if (use_ != MixUse::kPcm16 || mix_not_silent_) return false;
        double sum = 0;
        for (std::size_t g = 0; g < groups_.size(); ++g)
            sum += remaining_sound_[g * static_cast<std::size_t>(slots_) +
                                    static_cast<std::size_t>(chunk % slots_)];
        if (!(sum <= kUnderPcmStep)) return false;
        if (!AllZero(MixBuffer + ChunkStart(chunk), SND_BUF_LEN - ChunkStart(chunk))) {
            mix_not_silent_ = true;
            return false;
        }
        return true;
    }

    // One group's part of one chunk. Once all of its lanes have ended and their
    // echoes have died, there is nothing left to render.
    void RenderGroup(std::size_t index, int chunk, Scratch& s, Scratch& notes) {
        Group& group = groups_[index];
        const std::int64_t first = ChunkStart(chunk), end = ChunkEnd(chunk);
        bool done = true;
        for (const Lane* lane : group.lanes) {
            done &= lane->mode == StepMode::kEnded && Quiet(*lane, first);
        }
        if (use_ == MixUse::kPcm16) {
            remaining_sound_[index * static_cast<std::size_t>(slots_) +
                             static_cast<std::size_t>(chunk % slots_)] =
                done ? 0.0 : RemainingSound(group);
        }
        int block = FirstBlock(chunk);
        for (std::int64_t b0 = first; b0 < end; b0 += kBlockSamples, ++block) {
            if (done) {
                for (Lane* lane : group.lanes)
                    lane->silent[static_cast<std::size_t>(block)] = 1;
                continue;
            }
            const int samples = static_cast<int>(std::min<std::int64_t>(kBlockSamples, end - b0));
            kernels_.group_block(group, b0, samples, block, s, notes);
        }
    }

    Crew& crew_;
    int chunk_blocks_;
    int slots_;
    Kernels kernels_;
    std::vector<Lane> lanes_;
    std::vector<Group> groups_;
    std::vector<Scratch*> scratch_;
    std::vector<Scratch*> note_scratch_;  // for filling in the notes' frames
    MixUse use_;
    // Per group and output slot: RemainingSound as its chunk began.
    std::vector<double> remaining_sound_;
    bool mix_not_silent_ = false;  // the mix held something past the tracks' sound
    std::uint32_t final_noise_ = 0;

    std::mutex mutex_;  // guards what follows
    std::condition_variable changed_;
    int chunks_ = 0;
    int mixed_ = 0;  // chunks mixed so far
    bool mixing_ = false;
    std::vector<int> next_chunk_;  // per group
    std::vector<bool> busy_;       // per group
    std::vector<int> remaining_;   // per output slot: groups yet to render its chunk
};

}  // namespace

void SineToFloat(const double* x, float* out, int n, FastPathIsa isa) {
    ChooseKernels(isa).sines(x, out, n);
}

void FloatMinusSine(const float* minuend, const double* x, float* out, int n, FastPathIsa isa) {
    ChooseKernels(isa).minus_sines(minuend, x, out, n);
}

void RenderJobs(std::span<const RenderJob> jobs, int threads, const RenderProgress& progress,
                FastPathIsa isa, MixUse use) {
    threads = std::max(1, threads);
    const int chunk_blocks = 8;
    // The scratch lives in TrackBuffer; a list too long for it is rendered in parts.
    std::size_t part = jobs.size();
    while (part > 1 && Renderer::ArenaFloats(part, threads, chunk_blocks) > SND_BUF_LEN)
        part /= 2;
    // More threads than jobs and a mixer would have nothing to do.
    Crew crew(static_cast<int>(
        std::min<std::size_t>(static_cast<std::size_t>(threads), jobs.size() + 1)));
    const Kernels kernels = ChooseKernels(isa);
    for (std::size_t start = 0; start < jobs.size(); start += part) {
        const auto some = jobs.subspan(start, std::min(part, jobs.size() - start));
        // Only after the last part is nothing more added to the mix.
        const bool last = start + some.size() == jobs.size();
        Renderer renderer(some, crew, chunk_blocks, kernels, last ? use : MixUse::kFloats);
        renderer.Run([&](double f) {
            if (progress) progress((static_cast<double>(start) + f * some.size()) / jobs.size());
        });
    }
    if (progress) progress(1.0);
}

}  // namespace wave
