// The fast path's per-lane helpers that the renderer tests reach only through
// whole renders, and its choice of kernels.
#include "synth/fast/lane.h"

#include <gtest/gtest.h>

#include <vector>

#include "synth/fast/kernels.h"

namespace wave::fast {
namespace {

// A group of two lanes replaying a note kept for two steps, whose amplitudes at
// the end of each step are known.
struct ReplayFixture : ::testing::Test {
    ReplayFixture() {
        for (Lane& lane : lanes) {
            lane.m = 0.25f;
            group.lanes.push_back(&lane);
        }
        note.m_after_step = m_after_step.data();
    }
    Lane lanes[2];
    Group group{Voice(VOICE_SINE), {}, {}, nullptr, nullptr};
    // [step][lane], exactly as many as the note keeps.
    std::vector<float> m_after_step = {0.5f, 0.75f, 0, 0, 0.125f, 0.375f, 0, 0};
    NoteFrames note;
};

TEST_F(ReplayFixture, PlayingOnInsideAStepLeavesTheAmplitudeAsItIs) {
    // Inside a step the kept amplitudes are not the lanes' own: neither the
    // first step's nor, before its end, any other.
    for (int to : {4, SND_UNIT_LEN - 4, SND_UNIT_LEN + 2048}) {
        PlayOn(group, note, to);
        for (const Lane& lane : lanes) {
            EXPECT_EQ(lane.m, 0.25f) << "after " << to << " frames";
            EXPECT_EQ(lane.note_frame, to);
        }
    }
}

TEST_F(ReplayFixture, PlayingToTheEndOfAStepTakesItsKeptAmplitude) {
    PlayOn(group, note, SND_UNIT_LEN);
    EXPECT_EQ(lanes[0].m, 0.5f);
    EXPECT_EQ(lanes[1].m, 0.75f);
    PlayOn(group, note, 2 * SND_UNIT_LEN);
    EXPECT_EQ(lanes[0].m, 0.125f);
    EXPECT_EQ(lanes[1].m, 0.375f);
}

// The renderer tests run the widest kernels the processor has: where it has
// AVX-512 those must be the ones chosen, and where it has not, the test says
// they go untested here rather than passing in silence.
TEST(KernelChoiceTest, TheBestKernelsAreTheWidestTheProcessorHas) {
#ifdef WAVE_HAVE_AVX2_KERNELS
    const Kernels best = ChooseKernels(FastPathIsa::kBest);
    if (!(__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
          __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl"))) {
        EXPECT_NE(best.group_block, avx512::kKernels.group_block);
        GTEST_SKIP() << "this processor has no AVX-512: those kernels are not tested here";
    }
    EXPECT_EQ(best.group_block, avx512::kKernels.group_block);
    EXPECT_EQ(best.mix, avx512::kKernels.mix);
    EXPECT_EQ(ChooseKernels(FastPathIsa::kAvx2).group_block, avx2::kKernels.group_block);
    EXPECT_EQ(ChooseKernels(FastPathIsa::kBaseline).group_block, baseline::kKernels.group_block);
#else
    GTEST_SKIP() << "this build has only its baseline kernels";
#endif
}

}  // namespace
}  // namespace wave::fast
