// The renderer proper: jobs become lanes, lanes of one voice and track become
// groups, groups keep their notes' frames, and the working memory is laid out;
// then the scheduler hands out each group's chunks and each chunk's mix.
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>

#include "synth/buffers.h"
#include "synth/fast/kernels.h"
#include "synth/fast/scheduler.h"
#include "synth/fast/silence.h"
#include "synth/fast/working_memory.h"
#include "synth/fast_renderer.h"

namespace wave::fast {

Kernels ChooseKernels(FastPathIsa isa) {
#ifdef WAVE_HAVE_AVX2_KERNELS
    if (isa == FastPathIsa::kBest && __builtin_cpu_supports("avx512f") &&
        __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl")) {
        return avx512::kKernels;
    }
    if (isa != FastPathIsa::kBaseline && __builtin_cpu_supports("avx2")) return avx2::kKernels;
#endif
    (void)isa;
    return baseline::kKernels;
}

namespace {

constexpr int kChunkBlocks = 8;
constexpr int kChunkSamples = kChunkBlocks * kBlockSamples;
constexpr int kChunks = (SND_BUF_LEN + kChunkSamples - 1) / kChunkSamples;

// The lanes of the jobs that render something, each with NoiseRand's state at
// its first draw; `noise` becomes the state after the last.
std::vector<Lane> MakeLanes(std::span<const RenderJob> jobs, std::uint32_t& noise) {
    std::vector<Lane> lanes;
    lanes.reserve(jobs.size());
    for (const RenderJob& job : jobs) {
        if (job.voice > kLastVoiceType) continue;
        Lane lane;
        lane.type = job.voice;
        lane.voice = Voice(job.voice);
        lane.track = PlayedSteps(job.track);
        lane.volume = job.volume;
        lane.left = job.left;
        lane.right = job.right;
        lane.detune = job.detune;
        lane.noise = noise;
        if (lane.voice.draws_noise) noise = NoiseRandAfter(noise, RenderedFrames(lane.track));
        lanes.push_back(std::move(lane));
    }
    return lanes;
}

// How dear a voice's frames are, for the order in which groups are handed out.
// Notes without noise are rendered once and replayed; the noisy voices compute
// every frame, the noise voice looking its waveform up, the others with a sine.
int Cost(const VoiceTraits& voice) {
    if (!voice.draws_noise) return 0;
    return voice.wave == Wave::kNoise ? 1 : 2;
}

// Lanes that play one track with one voice run side by side, four at a time;
// the costliest groups come first.
std::vector<Group> FormGroups(std::vector<Lane>& lanes) {
    std::vector<Group> groups;
    for (Lane& lane : lanes) {
        auto it = std::find_if(groups.begin(), groups.end(), [&](const Group& g) {
            return g.lanes[0]->type == lane.type && g.lanes.size() < kMaxGroupLanes &&
                   std::equal(g.lanes[0]->track.begin(), g.lanes[0]->track.end(),
                              lane.track.begin(), lane.track.end());
        });
        if (it == groups.end()) {
            groups.push_back({lane.voice, {}, {}});
            it = groups.end() - 1;
        }
        it->lanes.push_back(&lane);
    }
    std::stable_sort(groups.begin(), groups.end(),
                     [](const Group& a, const Group& b) { return Cost(a.voice) > Cost(b.voice); });
    return groups;
}

// The longest playing of every note in the group's track, in steps: a note-on
// and the holds that follow it.
std::array<int, 256> LongestNotes(const Group& group) {
    std::array<int, 256> longest{};
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

// Sets the group up to keep its notes, each as long as its longest playing; the
// frames themselves are taken from the working memory by TakeNotes.
void KeepNotes(Group& group) {
    const std::array<int, 256> longest = LongestNotes(group);
    if (std::all_of(longest.begin(), longest.end(), [](int steps) { return steps == 0; })) return;
    group.notes.resize(longest.size());
    for (std::size_t code = 0; code < longest.size(); ++code) {
        if (longest[code] == 0) continue;
        NoteFrames& note = group.notes[code];
        note.capacity_frames = longest[code] * SND_UNIT_LEN;
        for (std::size_t i = 0; i < group.lanes.size(); ++i) {
            note.l_next[i] =
                Round(double{NoteIncrement(static_cast<int>(code))} * group.lanes[i]->detune);
            note.m_next[i] = 1.0f;
        }
    }
}

// Whether every lane of the group has the same gain, to the bit, on both
// channels: then its frames put the same into both echoes.
bool SameGains(const Group& group) {
    return std::all_of(group.lanes.begin(), group.lanes.end(), [](const Lane* lane) {
        return std::memcmp(&lane->left, &lane->right, sizeof lane->left) == 0;
    });
}

template <typename Memory>
void TakeNotes(Group& group, Memory& memory) {
    const bool same_gains = SameGains(group);
    for (NoteFrames& note : group.notes) {
        if (note.capacity_frames == 0) continue;
        const std::size_t frames = std::size_t(note.capacity_frames);
        if (group.voice.draws_noise) {
            note.phase = memory.Take(kMaxGroupLanes * frames).data();
            note.amplitude = memory.Take(kMaxGroupLanes * frames).data();
        } else {
            note.left = memory.Take(kMaxGroupLanes * frames).data();
            note.right = same_gains ? note.left : memory.Take(kMaxGroupLanes * frames).data();
        }
        note.m_after_step = memory.Take(kMaxGroupLanes * (frames / SND_UNIT_LEN)).data();
    }
}

// Which thread keeps each group (see Scheduler). Thread 0 mixes, and reading
// what another core wrote, or writing again what another core has read, costs
// more than the arithmetic: so thread 0 keeps the groups that replay their
// notes, cheap per lane, and the other threads share the noisy groups, which
// compute every frame. The fewest lanes' output then crosses between cores for
// the most work moved off the mixing thread.
std::vector<int> Keepers(const std::vector<Group>& groups, int workers) {
    std::vector<int> keepers(groups.size(), 0);
    if (workers < 2) return keepers;
    int dealt = 0;
    for (std::size_t g = 0; g < groups.size(); ++g) {
        if (groups[g].voice.draws_noise) keepers[g] = 1 + dealt++ % (workers - 1);
    }
    return keepers;
}

// How many chunk slots each lane's output has: with one thread each chunk is
// mixed as soon as it is rendered; with more, groups may run ahead of the mix.
int Slots(int workers) {
    return workers == 1 ? 1 : 3;
}

// Renders one list of jobs whose working memory fits in TrackBuffer.
class Renderer {
public:
    // `pcm_scale`: the mix was all +0 before these jobs, which are all there are;
    // each chunk is scaled and converted to 16 bits once mixed (see RenderJobs).
    Renderer(std::span<const RenderJob> jobs, std::uint32_t noise, int threads, Kernels kernels,
             MixUse use, std::optional<float> pcm_scale)
        : noise_(noise),
          lanes_(MakeLanes(jobs, noise_)),
          groups_(FormGroups(lanes_)),
          // At most one thread works on a group at a time and one mixes, so
          // threads beyond that would never get a task.
          workers_(std::min(threads, static_cast<int>(groups_.size()) + 1)),
          slots_(Slots(workers_)),
          scratch_(static_cast<std::size_t>(workers_)),
          kernels_(kernels),
          use_(use),
          pcm_scale_(pcm_scale),
          silence_(groups_.size(), slots_, pcm_scale.has_value()) {
        for (Lane& lane : lanes_)
            lane.silent.assign(static_cast<std::size_t>(slots_ * kChunkBlocks), 1);
        for (Group& group : groups_)
            KeepNotes(group);
        LayOut(plan_);
    }

    // Whether the working memory's plan fits in TrackBuffer.
    bool Fits() const { return plan_.Fits(0); }
    // NoiseRand's state after the jobs.
    std::uint32_t final_noise() const { return noise_; }
    // Where the render stopped adding to the mix: from here on it added nothing.
    std::int64_t mix_end() const { return lanes_.empty() ? 0 : mix_end_; }

    // Adds the jobs into MixBuffer; `progress` gets the fraction done.
    void Render(Crew& crew, const RenderProgress& progress) {
        if (lanes_.empty()) return;
        WorkingMemory memory({TrackBuffer, SND_BUF_LEN}, plan_);
        LayOut(memory);
        for (Group& group : groups_) {
            std::fill_n(group.echo1, kMaxGroupLanes * group.voice.chain.echo_delay1, 0.0f);
            std::fill_n(group.echo2, kMaxGroupLanes * group.voice.chain.echo_delay2, 0.0f);
        }
        Scheduler scheduler(static_cast<int>(groups_.size()), kChunks, slots_,
                            Keepers(groups_, workers_));
        scheduler.Run(
            crew, workers_, [this](const Task& task, int thread) { return RunTask(task, thread); },
            [&](int mixed_chunks) {
                if (progress) {
                    progress(static_cast<double>(ChunkEndSample(mixed_chunks - 1)) / SND_BUF_LEN);
                }
            });
    }

private:
    struct ThreadScratch {
        Scratch* block = nullptr;
        Scratch* notes = nullptr;  // for filling in the notes' frames
    };

    // The working memory, part by part: run once against plan_ to size it and
    // once against the WorkingMemory over TrackBuffer to carve it.
    template <typename Memory>
    void LayOut(Memory& memory) {
        for (Lane& lane : lanes_)
            lane.out = memory.Take(std::size_t(slots_) * kChunkSamples).data();
        for (ThreadScratch& scratch : scratch_) {
            scratch.block = memory.template Make<Scratch>();
            scratch.notes = memory.template Make<Scratch>();
        }
        if (pcm_scale_) chunk_mix_ = memory.Take(kChunkSamples).data();
        for (Group& group : groups_) {
            const EffectChain& chain = group.voice.chain;
            group.echo1 = memory.Take(kMaxGroupLanes * std::size_t(chain.echo_delay1)).data();
            group.echo2 = memory.Take(kMaxGroupLanes * std::size_t(chain.echo_delay2)).data();
        }
        // The notes' frames take what is left, group by group; a group whose
        // notes do not fit computes every frame.
        for (Group& group : groups_) {
            MemoryPlan notes;
            TakeNotes(group, notes);
            if (memory.Fits(notes.floats())) {
                TakeNotes(group, memory);
            } else {
                group.notes.clear();
            }
        }
    }

    static std::int64_t ChunkFirstSample(int chunk) { return std::int64_t{chunk} * kChunkSamples; }
    static std::int64_t ChunkEndSample(int chunk) {
        return std::min<std::int64_t>(ChunkFirstSample(chunk + 1), SND_BUF_LEN);
    }
    int Slot(int chunk) const { return chunk % slots_; }
    int FirstBlock(int chunk) const { return Slot(chunk) * kChunkBlocks; }

    // Does a task; returns whether a mix found that the render may stop.
    bool RunTask(const Task& task, int thread) {
        if (task.kind == TaskKind::kGroup) {
            RenderGroupChunk(static_cast<std::size_t>(task.group), task.chunk,
                             scratch_[static_cast<std::size_t>(thread)]);
            return false;
        }
        const std::int64_t first_sample = ChunkFirstSample(task.chunk);
        const std::int64_t end_sample = ChunkEndSample(task.chunk);
        // The 16-bit samples past the end of the sound stay as they are: zero.
        if (use_ == MixUse::kPcm16 && silence_.SilentFrom(Slot(task.chunk), first_sample)) {
            mix_end_ = first_sample;
            return true;
        }
        if (!pcm_scale_) {
            kernels_.mix(lanes_, FirstBlock(task.chunk), first_sample, end_sample,
                         MixBuffer + first_sample);
            return false;
        }
        // The chunk is mixed apart, from zero as MixBuffer would be, and only its
        // 16-bit samples are stored; chunks are mixed in order.
        const auto n = static_cast<std::size_t>(end_sample - first_sample);
        std::fill_n(chunk_mix_, n, 0.0f);
        kernels_.mix(lanes_, FirstBlock(task.chunk), first_sample, end_sample, chunk_mix_);
        kernels_.pcm16(chunk_mix_, static_cast<int>(n), *pcm_scale_,
                       reinterpret_cast<unsigned char*>(MixBuffer) + 2 * first_sample);
        return false;
    }

    // One group's part of one chunk. Once all of its lanes have ended and their
    // echoes have died, there is nothing left to render.
    void RenderGroupChunk(std::size_t index, int chunk, const ThreadScratch& scratch) {
        Group& group = groups_[index];
        const std::int64_t first_sample = ChunkFirstSample(chunk);
        const std::int64_t end_sample = ChunkEndSample(chunk);
        bool done = true;
        for (const Lane* lane : group.lanes)
            done &= lane->mode == StepMode::kEnded && Quiet(*lane, first_sample);
        if (use_ == MixUse::kPcm16) {
            silence_.Record(index, Slot(chunk), done ? 0.0 : RemainingSound(group));
        }
        int block = FirstBlock(chunk);
        for (std::int64_t block_first_sample = first_sample; block_first_sample < end_sample;
             block_first_sample += kBlockSamples, ++block) {
            if (done) {
                for (Lane* lane : group.lanes)
                    lane->silent[static_cast<std::size_t>(block)] = 1;
                continue;
            }
            const int samples = static_cast<int>(
                std::min<std::int64_t>(kBlockSamples, end_sample - block_first_sample));
            kernels_.group_block(group, block_first_sample, samples, block, *scratch.block,
                                 *scratch.notes);
        }
    }

    std::uint32_t noise_;
    std::vector<Lane> lanes_;
    std::vector<Group> groups_;
    int workers_;
    int slots_;
    std::vector<ThreadScratch> scratch_;  // per worker
    Kernels kernels_;
    MixUse use_;
    std::optional<float> pcm_scale_;
    float* chunk_mix_ = nullptr;  // with pcm_scale_: the chunk being mixed
    std::int64_t mix_end_ = SND_BUF_LEN;
    SilenceBound silence_;
    MemoryPlan plan_{SND_BUF_LEN};
};

// The most threads any part of the jobs can keep busy: a group each, and a mixer.
int MostWorkers(std::span<const RenderJob> jobs) {
    std::uint32_t noise = 0;
    std::vector<Lane> lanes = MakeLanes(jobs, noise);
    return static_cast<int>(FormGroups(lanes).size()) + 1;
}

}  // namespace

}  // namespace wave::fast

namespace wave {

void SineToFloat(const double* x, float* out, int n, FastPathIsa isa) {
    fast::ChooseKernels(isa).sines(x, out, n);
}

void FloatMinusSine(const float* minuend, const double* x, float* out, int n, FastPathIsa isa) {
    fast::ChooseKernels(isa).minus_sines(minuend, x, out, n);
}

void StoreMixPcm16(const float* mix, int n, float factor, std::size_t first, FastPathIsa isa) {
    fast::ChooseKernels(isa).pcm16(mix, n, factor,
                                   reinterpret_cast<unsigned char*>(MixBuffer) + 2 * first);
}

std::int64_t RenderJobs(std::span<const RenderJob> jobs, int threads,
                        const RenderProgress& progress, FastPathIsa isa, MixUse use,
                        std::optional<float> pcm_scale) {
    const fast::Kernels kernels = fast::ChooseKernels(isa);
    fast::Crew crew(std::clamp(threads, 1, fast::MostWorkers(jobs)));
    std::uint32_t noise = NoiseRandState();
    bool finished_here = false;
    std::int64_t pcm_end = SND_BUF_LEN;
    for (std::size_t start = 0; start < jobs.size();) {
        // The working memory lives in TrackBuffer: a list of jobs too long for it
        // is rendered in parts. Only after the last is nothing more added to the mix.
        std::size_t count = jobs.size() - start;
        std::unique_ptr<fast::Renderer> renderer;
        for (;;) {
            const bool last = start + count == jobs.size();
            const MixUse part_use = last ? use : MixUse::kFloats;
            // Only a render in one part finishes the mix as it goes.
            finished_here = pcm_scale && use == MixUse::kPcm16 && start == 0 && last;
            renderer = std::make_unique<fast::Renderer>(jobs.subspan(start, count), noise,
                                                        crew.size(), kernels, part_use,
                                                        finished_here ? pcm_scale : std::nullopt);
            if (renderer->Fits() || count == 1) break;
            count = (count + 1) / 2;
        }
        renderer->Render(crew, [&](double f) {
            if (progress) progress((static_cast<double>(start) + f * count) / jobs.size());
        });
        noise = renderer->final_noise();
        if (finished_here) pcm_end = renderer->mix_end();
        start += count;
    }
    if (pcm_scale && !finished_here) {
        ScaleMix(*pcm_scale);
        ConvertMixToPcm16();
    }
    SetNoiseRandState(noise);
    if (progress) progress(1.0);
    return pcm_end;
}

}  // namespace wave
