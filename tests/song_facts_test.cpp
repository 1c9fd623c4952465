// The tests' facts about the song, and the locator that says where a render
// first leaves the pinned PCM, on small synthetic PCMs.
#include "tests/support/song_facts.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/song.h"
#include "synth/buffers.h"

namespace wave::test {
namespace {

// Five steps and 100 frames: sound in the first three steps and 100 frames, then silence.
constexpr std::size_t kFrames = 5 * SND_UNIT_LEN + 100;
constexpr std::size_t kSoundFrames = 3 * SND_UNIT_LEN + 100;

std::vector<std::int16_t> Sound() {
    std::vector<std::int16_t> pcm(2 * kFrames, 0);
    for (std::size_t i = 0; i < 2 * kSoundFrames; ++i)
        pcm[i] = static_cast<std::int16_t>(i * 7919 % 20000 - 10000);
    return pcm;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

TEST(SongFactsTest, CountsAndReportFollowTheSongData) {
    const SongCounts counts = Counts();
    EXPECT_EQ(counts.tracks, kTrackCount);
    EXPECT_EQ(counts.passes, DetunePassCount());
    EXPECT_EQ(counts.rendered_tracks, counts.tracks * counts.passes);
    const std::vector<std::string> report = RenderReport();
    ASSERT_EQ(report.size(), static_cast<std::size_t>(counts.passes * (counts.tracks + 1)));
    EXPECT_EQ(report[0], "detune = 0.997000\n");
    EXPECT_EQ(report[1], "Render Track ch[" + std::to_string(kArrangement[0].voice) + "]\n");
    EXPECT_EQ(PlayerReport()[1], "SND_UNIT_NUM = 1440\n");
    EXPECT_EQ(PinnedPcmHash().size(), 64u);
    EXPECT_EQ(PinnedWavHash().size(), 64u);
}

TEST(SongFactsTest, TracksSoundingAtAStepAreThoseWithANoteThere) {
    const struct {
        int step;
        std::string sounding;
    } cases[] = {
        // Only the bass strikes at the first step; the stabs' rows open with a rest.
        {0, "4 bass (pulse, note 42)"},
        // The bass's note is held to the next strike; the stab sounds from step 2.
        {2, "6 high stab (pulse, note 58), 5 low stab (pulse, note 54), 4 bass (pulse, note 42)"},
        {kSongSteps - 1,
         "6 high stab (pulse, note 60), 5 low stab (pulse, note 56), "
         "4 bass (pulse, note 44), 3 arpeggio (sine-of-sine, note 44), "
         "2 lead (pm-lead, note 68), 1 kick (jitter-sine, note 40), "
         "0 snare (noise, note 64)"},
        {kSongSteps, "no track"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TracksSoundingAt(c.step), c.sounding) << c.step;
}

TEST(SongFactsTest, FrameTimeIsMinutesSecondsAndMilliseconds) {
    const struct {
        std::size_t frame;
        const char* time;
    } cases[] = {{0, "00:00.000"},
                 {44, "00:00.000"},
                 {45, "00:00.001"},
                 {SND_RATE, "00:01.000"},
                 {61 * SND_RATE + SND_RATE / 2, "01:01.500"},
                 {SND_BUF_LEN / 2 - 1, "02:59.999"}};
    for (const auto& c : cases)
        EXPECT_EQ(FrameTime(c.frame), c.time) << c.frame;
}

TEST(SongFactsTest, StepDigestsRoundTripAndStopAtTheLastSound) {
    const std::vector<std::int16_t> pcm = Sound();
    const std::vector<StepDigest> steps = StepDigests(pcm.data(), kFrames);
    ASSERT_EQ(steps.size(), 4u);
    EXPECT_NE(steps[0].left, steps[0].right);
    EXPECT_TRUE(ParseStepDigests(FormatStepDigests(steps)) == steps);
    for (const char* bad : {"0 0123456789abcdef\n", "1 0123456789abcdef 0123456789abcdef\n",
                            "0 0123456789abcdeg 0123456789abcdef\n", "0 123 456\n"})
        EXPECT_TRUE(ParseStepDigests(bad).empty()) << bad;
}

// The locator, with the pinned samples at hand and with only their step digests,
// finds the first changed sample wherever it is: in the sound, in the silence
// after it, or in the last, short step.
TEST(SongFactsTest, DescribeFirstDifferenceNamesTheFrameTimeChannelAndTracks) {
    const std::vector<std::int16_t> original = Sound();
    const struct {
        std::size_t frame;
        bool left, right;
    } cases[] = {
        {2 * SND_UNIT_LEN + 5, false, true}, {2 * SND_UNIT_LEN + 5, true, false},
        {SND_UNIT_LEN - 1, true, true},      {4 * SND_UNIT_LEN + 17, false, true},
        {kFrames - 1, true, false},          {0, true, false},
    };
    for (const auto& c : cases) {
        std::vector<std::int16_t> pcm = original;
        pcm[2 * c.frame] = static_cast<std::int16_t>(pcm[2 * c.frame] + (c.left ? 3 : 0));
        pcm[2 * c.frame + 1] = static_cast<std::int16_t>(pcm[2 * c.frame + 1] + (c.right ? 3 : 0));
        // Later changes do not hide the first.
        if (c.frame + 1 < kFrames) pcm[2 * kFrames - 1] = 1;
        const std::size_t step = c.frame / SND_UNIT_LEN;
        const std::string tracks = TracksSoundingAt(static_cast<int>(step));
        const std::string channel = c.left && c.right ? "left" : c.left ? "left" : "right";
        const std::string how = std::to_string(c.frame) + " " + channel;

        // The copy of the pinned PCM ends at its last sound, as it is kept.
        PinnedPcm exact;
        exact.samples.assign(original.begin(), original.begin() + 2 * kSoundFrames);
        const std::string found = DescribeFirstDifference(pcm.data(), kFrames, exact);
        EXPECT_TRUE(Has(found, "first differing frame " + std::to_string(c.frame) + " at " +
                                   FrameTime(c.frame) + ", "))
            << how << ": " << found;
        EXPECT_TRUE(Has(found, channel + " channel (pinned " +
                                   std::to_string(original[2 * c.frame + (c.left ? 0 : 1)]) +
                                   ", now " + std::to_string(pcm[2 * c.frame + (c.left ? 0 : 1)])))
            << how << ": " << found;
        EXPECT_EQ(Has(found, " and right channel"), c.left && c.right) << how << ": " << found;
        EXPECT_TRUE(
            Has(found, "; step " + std::to_string(step) + ", tracks with a note there: " + tracks))
            << how << ": " << found;

        PinnedPcm digests;
        digests.steps = StepDigests(original.data(), kFrames);
        const std::string step_found = DescribeFirstDifference(pcm.data(), kFrames, digests);
        const std::size_t last = std::min(kFrames, (step + 1) * SND_UNIT_LEN) - 1;
        const std::string channels = c.left && c.right ? "both channels"
                                     : c.left          ? "left channel"
                                                       : "right channel";
        EXPECT_TRUE(Has(step_found, "first differing step " + std::to_string(step) + ": frames " +
                                        std::to_string(step * SND_UNIT_LEN) + " to " +
                                        std::to_string(last) + ", " +
                                        FrameTime(step * SND_UNIT_LEN) + " to " + FrameTime(last) +
                                        ", " + channels + "; tracks with a note there: " + tracks))
            << how << ": " << step_found;
    }
    PinnedPcm exact;
    exact.samples = original;
    EXPECT_EQ(DescribeFirstDifference(original.data(), kFrames, exact), "");
    PinnedPcm digests;
    digests.steps = StepDigests(original.data(), kFrames);
    EXPECT_EQ(DescribeFirstDifference(original.data(), kFrames, digests), "");
}

}  // namespace
}  // namespace wave::test
