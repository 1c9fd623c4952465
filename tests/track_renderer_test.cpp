#include "synth/track_renderer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "synth/buffers.h"

namespace wave {
namespace {

constexpr int kStepSamples = 2 * SND_UNIT_LEN;

std::vector<std::string>* captured_lines = nullptr;
void CaptureLine(const char* line) {
    captured_lines->push_back(line);
}

class TrackRendererTest : public ::testing::Test {
protected:
    void SetUp() override {
        ClearBuffers();
        ResetNoiseRand();
        captured_lines = &lines;
        SetReportLine(CaptureLine);
    }
    void TearDown() override { SetReportLine(nullptr); }

    std::vector<std::string> lines;
};

bool AllZero(const float* begin, const float* end) {
    for (const float* p = begin; p != end; ++p) {
        if (*p != 0.0f) return false;
    }
    return true;
}

TEST(NoteIncrementTest, MatchesTheNoteTable) {
    const struct {
        int note;
        float increment;
    } cases[] = {{-5, 0.00019219286f},
                 {0, 0.00019219286f},
                 {40, 0.0019371863f},
                 {64, 0.0077487542f},
                 {69, 0.010343348f}};
    for (const auto& c : cases)
        EXPECT_FLOAT_EQ(NoteIncrement(c.note), c.increment) << c.note;
    // Rounded after every multiplication, so each step is exactly one float product.
    for (int n = 1; n < 255; ++n) {
        ASSERT_EQ(NoteIncrement(n), NoteIncrement(n - 1) * 1.0594631f) << n;
    }
}

TEST(NoiseRandTest, StartsFromOneAndRunsOn) {
    ResetNoiseRand();
    for (int expected : {41, 18467, 6334, 26500, 19169})
        EXPECT_EQ(NoiseRand(), expected);
    for (int i = 0; i < 100000; ++i) {
        const int r = NoiseRand();
        ASSERT_GE(r, 0);
        ASSERT_LE(r, 32767);
    }
}

// The first three left samples of note 69 at detune 1, left gain 1, by voice.
TEST_F(TrackRendererTest, VoiceReferenceSamples) {
    const struct {
        VoiceType type;
        float samples[3];
    } cases[] = {
        {VOICE_SOFT_SAW, {0.02068522f, 0.04135869f, 0.06201158f}},
        {VOICE_PM_LEAD, {0.06393503f, 0.1254433f, 0.1821684f}},
        {VOICE_PULSE, {1.0f, 0.99993f, 0.99986f}},
        {VOICE_SINE_OF_SINE, {0.06489779f, 0.129241f, 0.1924981f}},
        {VOICE_SINE, {0.06494343f, 0.1296036f, 0.1937076f}},
        {VOICE_JITTER_SINE, {0.06506181f, 0.1851486f, 0.2124108f}},
        {VOICE_NOISE, {0.001251259f, 0.5339533f, 0.1919106f}},
    };
    const std::uint8_t track[] = {69, SND_END};
    for (const auto& c : cases) {
        ResetNoiseRand();
        RenderVoice(c.type, track, 1.0f, 0.5f, 1.0f);
        for (int f = 0; f < 3; ++f) {
            EXPECT_FLOAT_EQ(TrackBuffer[2 * f], c.samples[f])
                << "voice " << c.type << " frame " << f;
            EXPECT_EQ(TrackBuffer[2 * f + 1], TrackBuffer[2 * f] / 2) << "right gain 0.5";
        }
    }
}

TEST_F(TrackRendererTest, NoiseVoiceAfterItsLowpass) {
    const std::uint8_t track[] = {69, SND_END};
    RenderTrack(VOICE_NOISE, track, 0.0f, 1.0f, 1.0f, 1.0f);
    // The first frame passes the low-pass unchanged; later ones follow it.
    const float x[] = {0.001251259f, 0.5339533f, 0.1919106f};
    EXPECT_FLOAT_EQ(TrackBuffer[0], x[0]);
    const float y1 = static_cast<float>((double{x[0]} - x[1]) * 0.2f + x[1]);
    EXPECT_FLOAT_EQ(TrackBuffer[2], y1);
    EXPECT_FLOAT_EQ(TrackBuffer[4], static_cast<float>((double{y1} - x[2]) * 0.2f + x[2]));
}

TEST_F(TrackRendererTest, SineVoicePhaseStartsOneIncrementIn) {
    const std::uint8_t track[] = {69, SND_END};
    RenderVoice(VOICE_SINE, track, 0.5f, 1.0f, 1.0f);
    EXPECT_FLOAT_EQ(TrackBuffer[0], 0.5f * 0.0649434f);
    EXPECT_EQ(TrackBuffer[1], std::sin(static_cast<float>(double{6.2831855f} * 0.010343348f)));
}

TEST_F(TrackRendererTest, UnnamedCodesPlayTheSineWithTheirRowsConstants) {
    const std::uint8_t track[] = {69, 0, SND_END};
    auto render = [&](VoiceType type) {
        ClearTrack();
        RenderVoice(type, track, 1.0f, 1.0f, 1.0f);
        return std::vector<float>(TrackBuffer, TrackBuffer + 2 * kStepSamples);
    };
    const std::vector<float> low = render(VOICE_SINE);
    for (VoiceType type : {-100, -1, 5, 6, 7, 8, 9})
        EXPECT_EQ(render(type), low) << type;
    const std::vector<float> high = render(12);
    EXPECT_NE(high, low);
    for (VoiceType type : {13, 14, 15, 16})
        EXPECT_EQ(render(type), high) << type;
    // At and above 10 the increment falls by 0.9999 before the first sample.
    const float l = 0.010343348f * 0.9999f;
    EXPECT_EQ(high[0], static_cast<float>(std::sin(static_cast<float>(double{6.2831855f} * l))));
}

TEST_F(TrackRendererTest, PulseIsLowFromTheFloatNearestTwoTenths) {
    // Find a detune that puts the first phase exactly on 0.2f, just above the double 0.2.
    const float increment = NoteIncrement(69);
    float detune = 0.2f / increment;
    while (static_cast<float>(double{increment} * detune) < 0.2f)
        detune = std::nextafter(detune, 100.0f);
    while (static_cast<float>(double{increment} * detune) > 0.2f)
        detune = std::nextafter(detune, 0.0f);
    ASSERT_EQ(static_cast<float>(double{increment} * detune), 0.2f);
    const std::uint8_t track[] = {69, SND_END};
    RenderVoice(VOICE_PULSE, track, 1.0f, 1.0f, detune);
    EXPECT_EQ(TrackBuffer[0], -1.0f);

    ClearTrack();
    RenderVoice(VOICE_PULSE, track, 1.0f, 1.0f, std::nextafter(detune, 0.0f) * 0.999f);
    EXPECT_EQ(TrackBuffer[0], 1.0f);
}

TEST_F(TrackRendererTest, HoldsBeforeTheFirstNoteAreSilentForEveryVoice) {
    const std::uint8_t track[] = {0, 0, 69, SND_END};
    for (VoiceType type : {0, 1, 2, 3, 4, 10, 11, -7}) {
        ClearTrack();
        RenderVoice(type, track, 1.0f, 1.0f, 1.0f);
        EXPECT_TRUE(AllZero(TrackBuffer, TrackBuffer + 2 * kStepSamples)) << type;
        EXPECT_NE(TrackBuffer[2 * kStepSamples], 0.0f) << type;
    }
}

TEST_F(TrackRendererTest, RestSilencesItsStepAndHoldsAfterItKeepTheAmplitude) {
    const std::uint8_t track[] = {69, SND_REST, 0, SND_END};
    TrackBuffer[kStepSamples] = 9.0f;  // a rest writes nothing
    RenderVoice(VOICE_PULSE, track, 1.0f, 1.0f, 1.0f);
    EXPECT_EQ(TrackBuffer[kStepSamples], 9.0f);
    EXPECT_TRUE(AllZero(TrackBuffer + kStepSamples + 1, TrackBuffer + 2 * kStepSamples));
    // After the rest h = l = 0, so the pulse sits at +m, and m went on from where
    // the note left it.
    float m = 1.0f;
    for (int f = 0; f < SND_UNIT_LEN; ++f)
        m = static_cast<float>(double{m} * 0.99993f);
    EXPECT_EQ(TrackBuffer[2 * kStepSamples], m);
    EXPECT_EQ(TrackBuffer[2 * kStepSamples + 2], static_cast<float>(double{m} * 0.99993f));
}

TEST_F(TrackRendererTest, PmLeadAmplitudeSettlesInsteadOfDying) {
    std::vector<std::uint8_t> track(40, 0);
    track[0] = 69;
    track.push_back(SND_END);
    RenderVoice(VOICE_PM_LEAD, track, 1.0f, 1.0f, 1.0f);
    float peak = 0;
    for (int i = kStepSamples * 39; i < kStepSamples * 40; i += 2) {
        peak = std::max(peak, std::fabs(TrackBuffer[i]));
    }
    EXPECT_GT(peak, 0.2f);
    EXPECT_LT(peak, 0.6f);
}

TEST_F(TrackRendererTest, TrackEndsAtItsEndCodeItsLengthOrTheStepLimit) {
    auto render = [](std::vector<std::uint8_t> track) {
        ClearTrack();
        RenderVoice(VOICE_PULSE, track, 1.0f, 1.0f, 1.0f);
        return std::vector<float>(TrackBuffer, TrackBuffer + SND_BUF_LEN);
    };
    // A track without an end code stops at its own length.
    EXPECT_EQ(render({69, 0, 60}), render({69, 0, 60, SND_END, 50, 50}));
    // Nothing past step 1,440 is read.
    std::vector<std::uint8_t> full(SND_UNIT_NUM, 60);
    const std::vector<float> limited = render(full);
    full.push_back(69);
    EXPECT_EQ(render(full), limited);
    // All 1,440 steps are written; the last 720 frames are not.
    const int last_voiced = 2 * SND_UNIT_LEN * SND_UNIT_NUM;
    EXPECT_NE(limited[last_voiced - 2], 0.0f);
    EXPECT_TRUE(AllZero(limited.data() + last_voiced, limited.data() + SND_BUF_LEN));
    EXPECT_EQ(SND_BUF_LEN - last_voiced, 2 * 720);
}

TEST_F(TrackRendererTest, EndCodeFirstRendersNothingButStillReports) {
    const std::uint8_t track[] = {SND_END, 69};
    MixBuffer[5] = 0.25f;
    TrackBuffer[SND_BUF_LEN - 1] = 3.0f;  // cleared by the render
    RenderTrack(VOICE_SINE, track, 1.0f, 1.0f, 1.0f, 1.0f);
    EXPECT_EQ(lines, std::vector<std::string>{"Render Track ch[4]\n"});
    EXPECT_TRUE(AllZero(TrackBuffer, TrackBuffer + SND_BUF_LEN));
    EXPECT_EQ(MixBuffer[5], 0.25f);
}

TEST_F(TrackRendererTest, VoiceAbove16DoesNothingAtAll) {
    const std::uint8_t track[] = {69, SND_END};
    TrackBuffer[3] = 0.5f;
    MixBuffer[3] = 0.75f;
    for (VoiceType type : {17, 18, 1000}) {
        RenderTrack(type, track, 1.0f, 1.0f, 1.0f, 1.0f);
        EXPECT_EQ(TrackBuffer[3], 0.5f);
        EXPECT_EQ(MixBuffer[3], 0.75f);
    }
    EXPECT_TRUE(lines.empty());
    EXPECT_EQ(NoiseRand(), 41) << "the noise source was not touched";
}

TEST_F(TrackRendererTest, RenderTrackEchoesAndMixesAtTheVolume) {
    const std::uint8_t track[] = {69, SND_END};
    MixBuffer[40000] = 0.5f;
    RenderTrack(VOICE_PULSE, track, 0.25f, 1.0f, 1.0f, 1.0f);
    EXPECT_EQ(lines, std::vector<std::string>{"Render Track ch[2]\n"});
    // Sample 15,000 lies past the note (11,024 samples): it holds only the echo of sample 0.
    EXPECT_EQ(TrackBuffer[15000], 0.3f);
    for (int i : {0, 1, 2, 15000, 30001, 1000000}) {
        EXPECT_EQ(MixBuffer[i], static_cast<float>(0.25 * TrackBuffer[i])) << i;
    }
    EXPECT_EQ(MixBuffer[40000], static_cast<float>(0.25 * TrackBuffer[40000] + 0.5));
}

TEST_F(TrackRendererTest, NoisyVoicesShareOneRandomSequenceAcrossCalls) {
    const std::uint8_t track[] = {64, SND_END};
    RenderTrack(VOICE_NOISE, track, 0.0f, 1.0f, 1.0f, 1.0f);
    RenderTrack(VOICE_NOISE, track, 0.0f, 1.0f, 1.0f, 1.0f);
    const float second_first = TrackBuffer[0];
    RenderTrack(VOICE_JITTER_SINE, track, 0.0f, 1.0f, 1.0f, 1.0f);
    const float third_first = TrackBuffer[0];

    ResetNoiseRand();
    for (int i = 0; i < SND_UNIT_LEN; ++i)
        NoiseRand();  // the first call's one step
    const auto r1 = static_cast<float>(NoiseRand() / 32767.0);
    EXPECT_EQ(second_first, static_cast<float>(std::sin(r1)));
    for (int i = 1; i < SND_UNIT_LEN; ++i)
        NoiseRand();
    const auto r2 = static_cast<float>(NoiseRand() / 32767.0);
    const float h = static_cast<float>(NoteIncrement(64) * 0.9999f);
    EXPECT_EQ(third_first, static_cast<float>(std::sin(0.1 * r2 + 2.0 * h * double{3.1415927f})));
}

}  // namespace
}  // namespace wave
