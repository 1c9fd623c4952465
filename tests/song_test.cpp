#include "app/song.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

namespace wave {
namespace {

std::vector<std::uint8_t> Row(int track, int row) {
    const SongTrack t = SongTrackData(track);
    return {t.begin() + kRowSteps * row, t.begin() + kRowSteps * (row + 1)};
}

// A row with `note` at the given positions and holds elsewhere.
std::vector<std::uint8_t> Strikes(std::uint8_t note, std::initializer_list<int> positions) {
    std::vector<std::uint8_t> row(kRowSteps, 0);
    for (int p : positions)
        row[p] = note;
    return row;
}

TEST(SongTest, EveryTrackHas640StepsThenTheEndCode) {
    for (int n = 0; n < kTrackCount; ++n) {
        const SongTrack t = SongTrackData(n);
        ASSERT_EQ(t.size(), 641u) << n;
        EXPECT_EQ(t[640], SND_END) << n;
        EXPECT_EQ(std::count(t.begin(), t.end(), SND_END), 1) << n;
    }
}

TEST(SongTest, TracksUseOnlyTheirNotes) {
    const std::set<int> notes[kTrackCount] = {
        {64},
        {40},
        {53, 58, 60, 61, 63, 65, 68, 70, 72, 73},
        {42, 44, 46, 49, 51, 53, 58, 60, 61},
        {42, 44, 46},
        {54, 56, 58},
        {58, 60, 61},
    };
    for (int n = 0; n < kTrackCount; ++n) {
        const SongTrack t = SongTrackData(n);
        for (std::size_t k = 0; k < 640; ++k) {
            if (t[k] == SND_HOLD || t[k] == SND_REST) continue;
            EXPECT_TRUE(notes[n].count(t[k]))
                << "track " << n << " step " << k << ": " << int{t[k]};
        }
    }
}

TEST(SongTest, DrumRowsFollowTheirShapes) {
    const struct {
        int track, row;
        std::vector<std::uint8_t> expected;
    } cases[] = {
        {0, 0, Strikes(64, {})},
        {0, 6, Strikes(64, {})},
        {0, 7, Strikes(64, {14, 15})},
        {0, 8, Strikes(64, {4, 12})},
        {0, 11, Strikes(64, {4, 12, 15})},
        {0, 15, Strikes(64, {12, 13, 14, 15})},
        {0, 19, Strikes(64, {4, 12, 15})},
        {0, 23, Strikes(64, {4, 12, 13, 14, 15})},
        {0, 38, Strikes(64, {4, 12})},
        {0, 39, Strikes(64, {4, 12, 13, 14, 15})},
        {1, 7, Strikes(40, {})},
        {1, 8, Strikes(40, {0, 4, 8, 12})},
        {1, 11, Strikes(40, {0, 4, 8, 12, 14})},
        {1, 15, Strikes(40, {14, 15})},
        {1, 22, Strikes(40, {0, 4, 8, 12})},
        {1, 23, Strikes(40, {0, 4, 8, 12, 13, 14, 15})},
        {1, 31, Strikes(40, {0, 4, 8, 12, 13, 14, 15})},
        {1, 39, Strikes(40, {0, 4, 8, 12, 13, 14, 15})},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Row(c.track, c.row), c.expected) << c.track << ":" << c.row;
    // Count the strikes of the whole drum tracks, so no stray row hides between the samples.
    const SongTrack noise = SongTrackData(0), kick = SongTrackData(1);
    EXPECT_EQ(std::count(noise.begin(), noise.end(), 64), 2 + 2 * 24 + 3 * 2 + 4 + 5 * 5);
    EXPECT_EQ(std::count(kick.begin(), kick.end(), 40), 4 * 27 + 5 + 2 + 7 * 3);
}

TEST(SongTest, LeadLineEntersAtStep246With111NotesAndNoRests) {
    const SongTrack lead = SongTrackData(2);
    for (int k = 0; k < 246; ++k)
        ASSERT_EQ(lead[k], SND_HOLD) << k;
    EXPECT_NE(lead[246], SND_HOLD);
    EXPECT_EQ(lead[639], SND_HOLD);
    EXPECT_EQ(std::count(lead.begin(), lead.end(), SND_REST), 0);
    EXPECT_EQ(std::count_if(lead.begin(), lead.begin() + 640, [](auto c) { return c != 0; }), 111);
}

TEST(SongTest, ArpeggiosCycleThroughTheChords) {
    auto arpeggio = [](std::uint8_t x, std::uint8_t y, std::uint8_t z) {
        std::vector<std::uint8_t> row;
        for (int p = 0; p < kRowSteps; ++p)
            row.push_back(p % 3 == 0 ? x : p % 3 == 1 ? y : z);
        return row;
    };
    for (int r = 0; r < 4; ++r)
        EXPECT_EQ(Row(3, r), Strikes(0, {})) << r;
    std::vector<std::uint8_t> pause(kRowSteps, 0);
    pause[0] = SND_REST;
    EXPECT_EQ(Row(3, 15), pause);
    const std::vector<std::uint8_t> chords[4] = {arpeggio(42, 49, 58), arpeggio(44, 51, 60),
                                                 arpeggio(46, 53, 61), arpeggio(44, 51, 60)};
    for (int r = 4; r < 40; ++r) {
        if (r == 15) continue;
        EXPECT_EQ(Row(3, r), chords[r % 4]) << r;
    }
}

TEST(SongTest, BassAndStabsFollowTheRowCycle) {
    const std::uint8_t bass[4] = {42, 44, 46, 44};
    const std::uint8_t stab5[4][2] = {{54, 54}, {56, 56}, {58, 58}, {58, 56}};
    const std::uint8_t stab6[4][2] = {{58, 58}, {60, 60}, {61, 61}, {60, 60}};
    auto stab = [](std::uint8_t a, std::uint8_t b) {
        return std::vector<std::uint8_t>{127, 0, a, 0, 0, a, 0, 0, b, 0, 0, b, 0, 0, b, 0};
    };
    for (int r = 0; r < 40; ++r) {
        EXPECT_EQ(Row(4, r), Strikes(bass[r % 4], {0, 4, 8, 12})) << r;
        EXPECT_EQ(Row(5, r), stab(stab5[r % 4][0], stab5[r % 4][1])) << r;
        EXPECT_EQ(Row(6, r), stab(stab6[r % 4][0], stab6[r % 4][1])) << r;
    }
}

TEST(SongTest, ArrangementVoicesTracksSixToZero) {
    const VoiceType voices[] = {2, 2, 2, 3, 1, 10, 11};
    for (int i = 0; i < kTrackCount; ++i) {
        EXPECT_EQ(kArrangement[i].voice, voices[i]);
        EXPECT_EQ(kArrangement[i].track, 6 - i);
    }
}

TEST(SongTest, DetuneScheduleHasFourPasses) {
    EXPECT_EQ(DetunePassCount(), 4);
}

}  // namespace
}  // namespace wave
