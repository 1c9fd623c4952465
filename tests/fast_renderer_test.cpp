// The fast path against the reference: the same MixBuffer, bit for bit, and the
// same NoiseRand position afterwards, for tracks that reach every corner of the
// renderer, on one thread and several, with and without the wider instructions.
#include "synth/fast_renderer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <ostream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "synth/buffers.h"

namespace wave {
namespace {

struct JobSpec {
    VoiceType voice;
    int track;  // index into Case::tracks
    float volume, left, right, detune;
};

// A list of jobs over its own tracks; it is copied around by the test framework,
// so the jobs' spans are made from the copy at hand.
struct Case {
    std::string name;
    std::vector<std::vector<std::uint8_t>> tracks;
    std::vector<JobSpec> specs;
    std::uint32_t noise_start = 1;

    std::vector<RenderJob> Jobs() const {
        std::vector<RenderJob> jobs;
        for (const JobSpec& j : specs) {
            jobs.push_back({j.voice, tracks[static_cast<std::size_t>(j.track)], j.volume, j.left,
                            j.right, j.detune});
        }
        return jobs;
    }
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

std::vector<std::uint8_t> Steps(std::initializer_list<int> codes) {
    std::vector<std::uint8_t> t;
    for (int c : codes)
        t.push_back(static_cast<std::uint8_t>(c));
    return t;
}

// The detune at which note 1's increment is exactly `increment`.
float DetuneFor(float increment) {
    const double note1 = NoteIncrement(1);
    float detune = increment / static_cast<float>(note1);
    while (Round(note1 * detune) < increment)
        detune = std::nextafter(detune, INFINITY);
    while (Round(note1 * detune) > increment)
        detune = std::nextafter(detune, 0.0f);
    if (Round(note1 * detune) != increment) throw std::logic_error("no detune gives the increment");
    return detune;
}

std::vector<Case> Cases() {
    std::vector<Case> cases;
    // Every voice type, below, inside and above the table.
    Case voices{"every_voice_type", {Steps({0, 69, 0, 127, 0, 60, 255})}, {}};
    for (VoiceType voice = -3; voice <= 17; ++voice) {
        voices.specs.push_back({voice, 0, 0.05f, 0.8f, 0.7f, 1.0f});
    }
    cases.push_back(voices);
    // Every voice through every kernel variant: lanes of one track in a group of
    // four (the vector phase stage, no lane masked; one of them silent at detune
    // 0) and a group of one (masked); and a second track whose detunes, below
    // zero and far above one, take the whole group to the scalar fallback. Run
    // with the baseline, AVX2 and AVX-512 kernels (see the test body).
    Case variants{"every_voice_through_every_kernel_variant",
                  {Steps({0, 69, 0, 127, 0, 60, 255}), Steps({64, 0, 127, 0, 52, 0, 255})},
                  {}};
    for (VoiceType voice : {-3, 0, 1, 2, 3, 10, 11, 16}) {
        for (float detune : {0.997f, 1.003f, 0.0f, 1.5f, 1.0f}) {
            variants.specs.push_back({voice, 0, 0.1f, 0.9f, 0.6f, detune});
        }
        for (float detune : {-1.0f, 250.0f}) {
            variants.specs.push_back({voice, 1, 0.1f, 0.6f, 0.9f, detune});
        }
    }
    cases.push_back(variants);
    cases.push_back({"rests_holds_and_ends",
                     {Steps({0, 0, 64, 127, 127, 0, 70, 0, 0, 127, 255}), Steps({255, 64, 64}),
                      Steps({127, 0, 52, 0}), Steps({})},
                     {{VOICE_PULSE, 0, 0.3f, 1.0f, 0.5f, 1.0f},
                      {VOICE_PM_LEAD, 0, 0.2f, 0.9f, 1.0f, 0.999f},
                      {VOICE_SINE_OF_SINE, 1, 0.5f, 1.0f, 1.0f, 1.0f},
                      {VOICE_SOFT_SAW, 2, 0.25f, 0.6f, 0.4f, 1.003f},
                      {VOICE_NOISE, 3, 0.25f, 0.6f, 0.4f, 1.0f},
                      {VOICE_JITTER_SINE, 2, 0.2f, 1.0f, 1.0f, 0.997f}}});
    // Four lanes of one group, each with gains and a volume of its own: a kept
    // note (the sine) and frames computed each time (the jitter sine).
    Case gains{"lanes_with_gains_of_their_own", {Steps({69, 0, 60, 0, 69, 255})}, {}};
    for (VoiceType voice : {VOICE_SINE, VOICE_JITTER_SINE}) {
        for (int i = 0; i < 4; ++i) {
            gains.specs.push_back(
                {voice, 0, 0.1f + 0.05f * i, 0.9f - 0.2f * i, 0.3f + 0.15f * i, 1.0f + 0.001f * i});
        }
    }
    cases.push_back(gains);
    cases.push_back({"detunes_and_wide_increments",
                     {Steps({69, 0, 0, 40, 0, 254, 0, 126, 255})},
                     {{VOICE_SINE, 0, 0.1f, 1.0f, 1.0f, 0.5f},
                      {VOICE_SINE, 0, 0.1f, 1.0f, 1.0f, 1.7f},
                      {VOICE_SINE, 0, 0.1f, 1.0f, 1.0f, -1.0f},
                      {VOICE_PULSE, 0, 0.1f, 1.0f, 1.0f, -0.25f},
                      {VOICE_JITTER_SINE, 0, 0.1f, 1.0f, 1.0f, 3.0f},
                      {VOICE_PM_LEAD, 0, 0.1f, 1.0f, 1.0f, 0.0f}}});
    cases.push_back({"noise_runs_on_across_jobs",
                     {Steps({64, 0, 127, 64, 255}), Steps({0, 40, 0, 0, 255})},
                     {{VOICE_NOISE, 0, 0.3f, 0.7f, 1.0f, 1.0f},
                      {VOICE_JITTER_SINE, 1, 0.3f, 0.8f, 1.0f, 1.0f},
                      {17, 0, 1.0f, 1.0f, 1.0f, 1.0f},
                      {VOICE_NOISE, 1, 0.3f, 0.7f, 1.0f, 0.999f},
                      {VOICE_JITTER_SINE, 0, 0.3f, 0.8f, 1.0f, 1.001f}},
                     123456789u});
    // Increments of exactly 1/4 and 1/8 cycle per frame: the phase lands on 1/2
    // itself, which wraps to -1/2.
    Case half{"phase_lands_on_one_half", {Steps({1, 127, 255})}, {}};
    for (VoiceType voice : {VOICE_SINE, VOICE_PULSE, VOICE_SOFT_SAW}) {
        for (float increment : {0.25f, 0.125f}) {
            half.specs.push_back({voice, 0, 0.1f, 0.9f, 0.6f, DetuneFor(increment)});
        }
    }
    cases.push_back(half);
    // Notes that come again: first short then longer (what was kept of the note
    // must grow), longer then short, after a rest, and holds after a rest, whose
    // amplitude carries on from a note played again. Five lanes of each voice play
    // the track: a group of four and one of one.
    Case again{"notes_played_again",
               {Steps({0,  60, 72, 72,  0,  60, 0, 0, 0, 127, 0,  0,
                       72, 60, 0,  127, 60, 72, 0, 0, 0, 0,   60, 255})},
               {}};
    for (VoiceType voice : {VOICE_PM_LEAD, VOICE_SINE_OF_SINE, VOICE_PULSE, VOICE_SOFT_SAW}) {
        for (float detune : {0.997f, 0.999f, 1.001f, 1.003f, 1.5f}) {
            again.specs.push_back({voice, 0, 0.1f, 0.9f, 0.6f, detune});
        }
    }
    cases.push_back(again);
    // Every step of the buffer, without an end code: the voice stops at step 1,440
    // and the last 720 frames hold only echoes.
    std::vector<std::uint8_t> full(SND_UNIT_NUM + 3, 0);
    full[0] = 50;
    full[700] = 127;
    full[701] = 80;
    cases.push_back(
        {"full_length_without_end_code", {full}, {{VOICE_PULSE, 0, 0.5f, 1.0f, 1.0f, 1.0f}}});
    return cases;
}

std::vector<float> Mix() {
    return std::vector<float>(MixBuffer, MixBuffer + SND_BUF_LEN);
}

void Prepare(const Case& c) {
    ClearBuffers();
    // A mix that already holds something, as after earlier tracks.
    for (int i = 0; i < SND_BUF_LEN; i += 997)
        MixBuffer[i] = static_cast<float>(i % 7) * 0.01f;
    SetNoiseRandState(c.noise_start);
}

// Index of the first difference, or -1; compares as floats, so +0 equals -0.
long FirstDifference(const std::vector<float>& a, const std::vector<float>& b) {
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (!(a[i] == b[i]) && !(std::isnan(a[i]) && std::isnan(b[i]))) return static_cast<long>(i);
    }
    return -1;
}

class FastRendererTest : public ::testing::TestWithParam<Case> {};

TEST_P(FastRendererTest, MatchesTheReference) {
    const Case& c = GetParam();
    const std::vector<RenderJob> jobs = c.Jobs();
    SetReportLine([](const char*) {});
    Prepare(c);
    for (const RenderJob& job : jobs) {
        RenderTrack(job.voice, job.track, job.volume, job.left, job.right, job.detune);
    }
    const std::vector<float> expected = Mix();
    const std::uint32_t expected_noise = NoiseRandState();
    SetReportLine(nullptr);

    const struct {
        int threads;
        FastPathIsa isa;
    } runs[] = {{1, FastPathIsa::kBest},
                {1, FastPathIsa::kAvx2},
                {1, FastPathIsa::kBaseline},
                {3, FastPathIsa::kBest}};
    for (const auto& run : runs) {
        Prepare(c);
        double last_progress = -1;
        bool progress_ascends = true;
        RenderJobs(
            jobs, run.threads,
            [&](double f) {
                progress_ascends &= f >= last_progress && f <= 1.0;
                last_progress = f;
            },
            run.isa);
        const char* kernels = run.isa == FastPathIsa::kBest   ? "the widest the processor has"
                              : run.isa == FastPathIsa::kAvx2 ? "AVX2 (where there is)"
                                                              : "baseline";
        const std::string how = std::to_string(run.threads) + " thread(s), " + kernels + " kernels";
        EXPECT_EQ(FirstDifference(Mix(), expected), -1) << how;
        EXPECT_EQ(NoiseRandState(), expected_noise) << how;
        EXPECT_TRUE(progress_ascends) << how;
        EXPECT_EQ(last_progress, 1.0) << how;
    }
}

INSTANTIATE_TEST_SUITE_P(Tracks, FastRendererTest, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return info.param.name; });

// More jobs than the working memory in TrackBuffer holds at once are rendered in
// parts: the same mix and NoiseRand position as lists short enough to fit, one
// after another (each of which matches the reference above).
TEST(FastRendererPartsTest, AJobListBeyondTheWorkingMemoryIsRenderedInParts) {
    // Each job plays a track of its own, so each is a group with echoes of its own.
    std::vector<std::vector<std::uint8_t>> tracks;
    for (int i = 0; i < 90; ++i)
        tracks.push_back(Steps({40 + i % 30, 40 + i / 30, 255}));
    const VoiceType voices[] = {VOICE_PULSE, VOICE_NOISE, VOICE_SINE, VOICE_JITTER_SINE};
    std::vector<RenderJob> jobs;
    for (std::size_t i = 0; i < tracks.size(); ++i)
        jobs.push_back({voices[i % 4], tracks[i], 0.01f, 0.8f, 0.9f, 1.0f});
    const Case blank{"", {}, {}, 99u};
    for (int threads : {1, 3}) {
        Prepare(blank);
        const std::span<const RenderJob> all = jobs;
        for (std::size_t start = 0; start < jobs.size(); start += 10)
            RenderJobs(all.subspan(start, 10), threads);
        const std::vector<float> expected = Mix();
        const std::uint32_t expected_noise = NoiseRandState();

        Prepare(blank);
        RenderJobs(jobs, threads);
        EXPECT_EQ(FirstDifference(Mix(), expected), -1) << threads << " thread(s)";
        EXPECT_EQ(NoiseRandState(), expected_noise) << threads << " thread(s)";
    }
}

std::vector<std::uint8_t> Pcm() {
    ConvertMixToPcm16();
    return std::vector<std::uint8_t>(MixPcmBytes(), MixPcmBytes() + kPcmBytes);
}

// For a mix that is only converted to 16 bits, the fast path stops once the
// tracks' remaining echoes cannot reach a 16-bit step: the same samples, with the
// tail left at zero. It does not when the mix already holds something there.
TEST(FastRendererPcmTest, LeavesTheSilentTailAtZeroOnlyWhereTheMixIsEmpty) {
    const std::vector<std::uint8_t> pulse = Steps({60, 0, 64, 255});
    const std::vector<std::uint8_t> lead = Steps({127, 67, 0, 0, 255});
    const std::vector<std::uint8_t> hat = Steps({64, 64, 0, 255});
    std::vector<RenderJob> jobs;
    for (float detune : {0.997f, 1.003f}) {
        jobs.push_back({VOICE_PULSE, pulse, 0.9f, 1.0f, 0.8f, detune});
        jobs.push_back({VOICE_PM_LEAD, lead, 0.7f, 1.0f, 1.0f, detune});
        jobs.push_back({VOICE_NOISE, hat, 0.8f, 0.7f, 1.0f, detune});
    }
    // Well past the tracks' last audible sample.
    const std::int64_t late = 40 * std::int64_t{SND_UNIT_LEN} * 2;
    const struct {
        const char* name;
        bool mix_holds_something_late;
    } setups[] = {{"empty mix", false}, {"mix with a late sample", true}};
    for (const auto& setup : setups) {
        auto prepare = [&] {
            ClearBuffers();
            ResetNoiseRand();
            if (setup.mix_holds_something_late) MixBuffer[SND_BUF_LEN - 1] = 1e-30f;
        };
        SetReportLine([](const char*) {});
        prepare();
        for (const RenderJob& job : jobs) {
            RenderTrack(job.voice, job.track, job.volume, job.left, job.right, job.detune);
        }
        SetReportLine(nullptr);
        const std::vector<float> expected_mix = Mix();
        const std::vector<std::uint8_t> expected_pcm = Pcm();

        std::vector<float> one_thread_mix;
        for (int threads : {1, 3}) {
            prepare();
            RenderJobs(jobs, threads, {}, FastPathIsa::kBest, MixUse::kPcm16);
            const std::vector<float> mix = Mix();
            const std::string how =
                std::string(setup.name) + ", " + std::to_string(threads) + " thread(s)";
            EXPECT_TRUE(Pcm() == expected_pcm) << how;
            if (threads == 1) one_thread_mix = mix;
            EXPECT_TRUE(mix == one_thread_mix) << how;
            if (setup.mix_holds_something_late) {
                EXPECT_EQ(FirstDifference(mix, expected_mix), -1) << how;
            } else {
                // The reference's tail still holds tiny echoes; the fast path's is zero.
                EXPECT_NE(expected_mix[late], 0.0f);
                EXPECT_EQ(std::count(mix.begin() + late, mix.end(), 0.0f), SND_BUF_LEN - late)
                    << how;
                // Up to the last sample that reaches a 16-bit step, every float is kept.
                const auto audible =
                    std::find_if(expected_mix.rbegin(), expected_mix.rend(), [](float x) {
                        return std::fabs(x) >= 1 / 32767.0;
                    }).base();
                EXPECT_EQ(
                    FirstDifference({mix.begin(), mix.begin() + (audible - expected_mix.begin())},
                                    {expected_mix.begin(), audible}),
                    -1)
                    << how;
            }
        }
    }
}

// Converting as it goes (for a mix that starts at zero) leaves the same 16-bit
// samples as rendering for 16-bit output and then scaling and converting the
// whole buffer: with the sound ending early in the buffer, on one thread and on
// three, and for a job list so long that it is rendered in parts.
TEST(FastRendererPcmTest, ConvertingAsItGoesLeavesTheSamePcm) {
    const std::vector<std::uint8_t> pulse = Steps({60, 0, 64, 255});
    const std::vector<std::uint8_t> hat = Steps({64, 64, 0, 127, 40, 255});
    std::vector<std::vector<std::uint8_t>> many_tracks;
    for (int i = 0; i < 90; ++i)
        many_tracks.push_back(Steps({40 + i % 30, 0, 40 + i / 30, 255}));

    std::vector<RenderJob> few, many;
    for (float detune : {0.997f, 1.003f}) {
        few.push_back({VOICE_PULSE, pulse, 0.9f, 1.0f, 0.8f, detune});
        few.push_back({VOICE_NOISE, hat, 0.8f, 0.7f, 1.0f, detune});
    }
    const VoiceType voices[] = {VOICE_PULSE, VOICE_NOISE, VOICE_SINE, VOICE_JITTER_SINE};
    for (std::size_t i = 0; i < many_tracks.size(); ++i)
        many.push_back({voices[i % 4], many_tracks[i], 0.02f, 0.8f, 0.9f, 1.0f});

    const struct {
        const char* name;
        const std::vector<RenderJob>& jobs;
        float scale;
        bool one_part;  // only a render in one part finishes as it goes
    } cases[] = {{"a few jobs", few, 0.5f, true}, {"jobs rendered in parts", many, 0.25f, false}};
    for (const auto& c : cases) {
        for (int threads : {1, 3}) {
            const std::string how =
                std::string(c.name) + ", " + std::to_string(threads) + " thread(s)";
            ClearBuffers();
            ResetNoiseRand();
            RenderJobs(c.jobs, threads, {}, FastPathIsa::kBest, MixUse::kPcm16);
            ScaleMix(c.scale);
            const std::vector<std::uint8_t> expected = Pcm();
            const std::uint32_t expected_noise = NoiseRandState();

            ClearBuffers();
            ResetNoiseRand();
            const std::int64_t end =
                RenderJobs(c.jobs, threads, {}, FastPathIsa::kBest, MixUse::kPcm16, c.scale);
            const std::vector<std::uint8_t> pcm(MixPcmBytes(), MixPcmBytes() + kPcmBytes);
            EXPECT_TRUE(pcm == expected) << how;
            EXPECT_EQ(NoiseRandState(), expected_noise) << how;
            // It says where its 16-bit samples end: in one part, where the sound
            // ends, well inside the buffer; every sample from there on is zero.
            if (c.one_part) {
                EXPECT_LT(end, SND_BUF_LEN / 2) << how;
            } else {
                EXPECT_EQ(end, SND_BUF_LEN) << how;
            }
            EXPECT_TRUE(std::all_of(pcm.begin() + 2 * end, pcm.end(), [](std::uint8_t b) {
                return b == 0;
            })) << how;
        }
    }
}

// The vectorised 16-bit conversion stores what StorePcm16 stores, for every
// instruction set: at the edges of the 16-bit range and beyond it, for NaN,
// infinities, zeros of both signs and numbers too small to matter, at every
// alignment of the vector loop and its tail, with factors that round.
TEST(FastRendererPcmTest, ConvertsTo16BitsAsStorePcm16Does) {
    const float inf = std::numeric_limits<float>::infinity();
    std::vector<float> mix = {0.0f,    -0.0f, 1.0f,   -1.0f, 0.99999f, -0.00001f,     1.5f,
                              -1.5f,   1e10f, -1e10f, inf,   -inf,     std::nanf(""), 1e-45f,
                              -1e-45f, 0.5f,  -0.5f,  4.0f,  -4.0f,    3.99997f,      -4.00003f};
    // Either side of the thresholds, after the factors below: 32767 and -32768.
    for (float edge : {32767.0f / 32767.0f, -32768.0f / 32767.0f}) {
        float below = edge, above = edge;
        for (int k = 0; k < 4; ++k) {
            below = std::nextafter(below, -inf);
            above = std::nextafter(above, inf);
            mix.push_back(below);
            mix.push_back(above);
            mix.push_back(2 * below);
            mix.push_back(2 * above);
        }
    }
    for (int i = 0; i < 3000; ++i)
        mix.push_back(static_cast<float>((i * 7919) % 4001 - 2000) / 1500.0f);

    for (float factor : {1.0f, 0.5f, 0.25f, 0.3f}) {
        for (std::size_t offset : {std::size_t{0}, std::size_t{1}, std::size_t{5}}) {
            const float* piece = mix.data() + offset;
            const std::size_t n = mix.size() - offset;
            std::fill_n(MixBuffer, n + 16, 0.0f);  // more than the 16-bit samples
            StorePcm16(piece, n, factor, 3);
            const std::vector<std::uint8_t> expected(MixPcmBytes(), MixPcmBytes() + 2 * (n + 8));
            for (FastPathIsa isa :
                 {FastPathIsa::kBest, FastPathIsa::kAvx2, FastPathIsa::kBaseline}) {
                std::fill_n(MixBuffer, n + 16, 0.0f);
                StoreMixPcm16(piece, static_cast<int>(n), factor, 3, isa);
                const std::vector<std::uint8_t> pcm(MixPcmBytes(), MixPcmBytes() + 2 * (n + 8));
                for (std::size_t i = 0; i < pcm.size(); ++i) {
                    ASSERT_EQ(pcm[i], expected[i])
                        << "byte " << i << ", factor " << factor << ", offset " << offset
                        << ", isa " << static_cast<int>(isa);
                }
            }
        }
    }
}

}  // namespace
}  // namespace wave
