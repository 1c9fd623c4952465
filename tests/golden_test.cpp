// The whole song, rendered as the player renders it. Its PCM is pinned by hash:
// a change of the hash is a change of the music and needs a review, and the
// failure says where the music first moved.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <ostream>
#include <string>
#include <vector>

#include "app/song.h"
#include "synth/buffers.h"
#include "tests/support/sha256.h"
#include "tests/support/song_facts.h"

namespace wave {
namespace {

using test::Counts;

std::vector<std::string>* report = nullptr;

struct Way {
    const char* name;
    int (*render)();
    bool leaves_pcm = false;  // the render converts the mix itself
};
// How the test lists name a way.
void PrintTo(const Way& way, std::ostream* os) {
    *os << way.name;
}

// Every way to render the song: the reference, and the fast path for 16-bit
// output, on three threads, with AVX2 or the baseline instructions only, keeping
// every float of the mix, and on more threads than there is work for
// (wave-render accepts up to 256; 83 and more once overran the scratch); and
// converting to 16 bits as it renders, as the programs run it.
const Way kWays[] = {
    {"reference", [] { return RenderSongReference(); }},
    {"fast", [] { return RenderSong(MixUse::kPcm16); }},
    {"fast_three_threads", [] { return RenderSong(MixUse::kPcm16, 3); }},
    {"fast_avx2_isa", [] { return RenderSong(MixUse::kPcm16, 1, FastPathIsa::kAvx2); }},
    {"fast_baseline_isa", [] { return RenderSong(MixUse::kPcm16, 1, FastPathIsa::kBaseline); }},
    {"fast_every_float", [] { return RenderSong(MixUse::kFloats); }},
    {"fast_83_threads", [] { return RenderSong(MixUse::kPcm16, 83); }},
    {"fast_256_threads", [] { return RenderSong(MixUse::kPcm16, 256); }},
    {"fast_to_pcm16", [] { return RenderSongToPcm16().passes; }, true},
    {"fast_to_pcm16_three_threads", [] { return RenderSongToPcm16(3).passes; }, true},
    {"fast_to_pcm16_baseline_isa",
     [] { return RenderSongToPcm16(1, FastPathIsa::kBaseline).passes; }, true},
};

// Starts a render as a fresh process would, its report lines going to `lines`.
void StartRender(std::vector<std::string>& lines) {
    report = &lines;
    ClearBuffers();
    ResetNoiseRand();
    SetReportLine([](const char* line) { report->push_back(line); });
}

class GoldenTest : public ::testing::TestWithParam<Way> {};

TEST_P(GoldenTest, RendersThePinnedPcmAndReportsEveryPassAndTrack) {
    std::vector<std::string> lines;
    StartRender(lines);
    const int passes = GetParam().render();
    SetReportLine(nullptr);
    if (!GetParam().leaves_pcm) ConvertMixToPcm16();

    EXPECT_EQ(passes, Counts().passes);
    EXPECT_EQ(lines, test::RenderReport());
    const std::string pinned = test::PinnedPcmHash();
    ASSERT_EQ(pinned.size(), 64u) << "cannot read tests/golden_pcm.sha256";
    const auto* pcm = reinterpret_cast<const std::int16_t*>(MixPcmBytes());
    const std::size_t frames = SND_BUF_LEN / 2;
    const std::string hash = test::Sha256Hex(MixPcmBytes(), kPcmBytes);
    if (hash == pinned) {
        test::KeepPinnedPcmCopy(pcm, frames);
        EXPECT_TRUE(test::StepDigests(pcm, frames) == test::LoadPinnedPcm().steps)
            << "tests/golden_pcm.steps does not hold the steps of the pinned render; they are in "
            << test::WriteNewStepDigests(pcm, frames);
    } else {
        ADD_FAILURE() << "The 16-bit PCM is not the pinned one: "
                      << test::DescribeFirstDifference(pcm, frames, test::LoadPinnedPcm())
                      << ".\nIf the music is meant to change, review it, then put " << hash
                      << " in tests/golden_pcm.sha256 and "
                      << test::WriteNewStepDigests(pcm, frames) << " in tests/golden_pcm.steps.";
    }

    // With this song the mix stays well inside the 16-bit range.
    std::int16_t low = 0, high = 0;
    for (std::size_t i = 0; i < SND_BUF_LEN; ++i) {
        low = std::min(low, MixPcmSample(i));
        high = std::max(high, MixPcmSample(i));
    }
    EXPECT_GT(low, -0.4 * 32767);
    EXPECT_LT(high, 0.7 * 32767);
}

INSTANTIATE_TEST_SUITE_P(Song, GoldenTest, ::testing::ValuesIn(kWays),
                         [](const auto& info) { return std::string(info.param.name); });

// A stem is the song with every other row silent: the literal render, each other
// row at volume 0 (still drawing its noise), gives the same floats or 16-bit
// samples as the fast path's solo render. The noise row's stem depends on every
// noisy row before it; the lead's on none.
struct Stem {
    int row;
    MixUse use;
};
void PrintTo(const Stem& stem, std::ostream* os) {
    *os << "row " << stem.row + 1 << (stem.use == MixUse::kFloats ? ", floats" : ", 16 bits");
}
class StemTest : public ::testing::TestWithParam<Stem> {};

TEST_P(StemTest, IsTheSongWithTheOtherRowsSilent) {
    const Stem stem = GetParam();
    std::vector<std::string> lines;
    StartRender(lines);
    const std::vector<float> passes = test::DetuneSchedule();
    for (float d : passes) {
        for (std::size_t r = 0; r < kArrangement.size(); ++r) {
            const ArrangementEntry& row = kArrangement[r];
            const float volume = static_cast<int>(r) == stem.row ? row.volume : 0.0f;
            RenderTrack(row.voice, SongTrackData(row.track), volume, row.left, row.right, d);
        }
    }
    ScaleMix(static_cast<float>(1.0 / static_cast<double>(passes.size())));
    EXPECT_GT(*std::max_element(MixBuffer, MixBuffer + SND_BUF_LEN), 0.01f)
        << "the row is not heard";
    if (stem.use == MixUse::kPcm16) ConvertMixToPcm16();
    // Floats, or the 16-bit samples in their first half.
    const std::vector<std::uint32_t> expected(
        reinterpret_cast<const std::uint32_t*>(MixBuffer),
        reinterpret_cast<const std::uint32_t*>(MixBuffer) + SND_BUF_LEN);

    StartRender(lines);
    if (stem.use == MixUse::kFloats) {
        RenderSong(MixUse::kFloats, 2, FastPathIsa::kBest, {}, stem.row);
    } else {
        RenderSongToPcm16(2, FastPathIsa::kBest, {}, stem.row);
    }
    SetReportLine(nullptr);
    const std::size_t words = stem.use == MixUse::kFloats ? SND_BUF_LEN : kPcmBytes / 4;
    const auto* got = reinterpret_cast<const std::uint32_t*>(MixBuffer);
    const auto first = std::mismatch(expected.begin(), expected.begin() + words, got);
    EXPECT_EQ(first.first - expected.begin(), static_cast<std::ptrdiff_t>(words))
        << "the solo render differs from the literal one from word "
        << (first.first - expected.begin());
}

INSTANTIATE_TEST_SUITE_P(Song, StemTest,
                         ::testing::Values(Stem{6, MixUse::kPcm16}, Stem{4, MixUse::kFloats}),
                         [](const auto& info) {
                             return "row" + std::to_string(info.param.row + 1) +
                                    (info.param.use == MixUse::kFloats ? "_floats" : "_pcm16");
                         });

// wave-render draws its bar from RenderSong's progress: the fraction ascends to
// 1, far finer than a track at a time, and its count of tracks is always the
// number of track lines reported so far.
TEST(RenderSongProgressTest, AscendsToOneWithTheTracksReported) {
    std::vector<std::string> lines;
    StartRender(lines);
    std::vector<SongProgress> seen;
    int out_of_step = 0;
    RenderSong(MixUse::kPcm16, 2, FastPathIsa::kBest, [&](const SongProgress& p) {
        seen.push_back(p);
        const auto tracks_reported = std::count_if(lines.begin(), lines.end(), [](const auto& l) {
            return l.starts_with("Render Track");
        });
        if (tracks_reported != p.tracks_done) ++out_of_step;
    });
    SetReportLine(nullptr);

    ASSERT_GT(seen.size(), static_cast<std::size_t>(Counts().rendered_tracks));
    EXPECT_EQ(out_of_step, 0);
    for (std::size_t i = 1; i < seen.size(); ++i) {
        EXPECT_GE(seen[i].fraction, seen[i - 1].fraction) << i;
        EXPECT_GE(seen[i].tracks_done, seen[i - 1].tracks_done) << i;
        EXPECT_EQ(seen[i].tracks, Counts().rendered_tracks) << i;
    }
    EXPECT_EQ(seen.back().fraction, 1.0);
    EXPECT_EQ(seen.back().tracks_done, Counts().rendered_tracks);
}

TEST(Sha256Test, KnownDigests) {
    const std::string abc = "abc";
    EXPECT_EQ(test::Sha256Hex(reinterpret_cast<const std::uint8_t*>(abc.data()), abc.size()),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    const std::string long_text(1000, 'a');
    EXPECT_EQ(test::Sha256Hex(reinterpret_cast<const std::uint8_t*>(long_text.data()), 1000),
              "41edece42d63e8d9bf515a9ba6932e1c20cbc9f5a5d134645adb5db1b9737ea3");
}

}  // namespace
}  // namespace wave
