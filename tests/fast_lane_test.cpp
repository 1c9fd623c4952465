// The fast path's per-lane helpers that the renderer tests reach only through
// whole renders.
#include "synth/fast/lane.h"

#include <gtest/gtest.h>

#include <vector>

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

}  // namespace
}  // namespace wave::fast
