#include "synth/buffers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace wave {
namespace {

class BuffersTest : public ::testing::Test {
protected:
    void SetUp() override { ClearBuffers(); }
};

TEST_F(BuffersTest, ClearBuffersZeroesBothBuffersToTheEnd) {
    TrackBuffer[0] = 1;
    TrackBuffer[SND_BUF_LEN - 1] = 2;
    MixBuffer[7] = 3;
    MixBuffer[SND_BUF_LEN - 1] = 4;
    ClearBuffers();
    EXPECT_EQ(TrackBuffer[0], 0);
    EXPECT_EQ(TrackBuffer[SND_BUF_LEN - 1], 0);
    EXPECT_EQ(MixBuffer[7], 0);
    EXPECT_EQ(MixBuffer[SND_BUF_LEN - 1], 0);
}

// The whole-buffer passes skip blocks that are all zero; a block whose only
// set bit is a sign is not, and a zero that a pass would change is not skipped.
TEST_F(BuffersTest, ClearBuffersClearsNegativeZeros) {
    TrackBuffer[5000] = -0.0f;
    MixBuffer[SND_BUF_LEN - 3] = -0.0f;
    ClearBuffers();
    EXPECT_EQ(std::bit_cast<std::uint32_t>(TrackBuffer[5000]), 0u);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(MixBuffer[SND_BUF_LEN - 3]), 0u);
}

TEST_F(BuffersTest, ScaleMixChangesZerosOnlyWhereTheFactorDoes) {
    const float inf = std::numeric_limits<float>::infinity();
    const struct {
        float factor;
        float zero_becomes;  // what 0 * factor is: -0, NaN or 0
    } cases[] = {{0.25f, 0.0f},
                 {0.0f, 0.0f},
                 {-0.25f, -0.0f},
                 {inf, std::nanf("")},
                 {std::nanf(""), std::nanf("")}};
    for (const auto& c : cases) {
        ClearBuffers();
        MixBuffer[0] = 2.0f;
        ScaleMix(c.factor);
        const float far_zero = MixBuffer[SND_BUF_LEN / 2];  // in a block of zeros
        if (std::isnan(c.zero_becomes)) {
            EXPECT_TRUE(std::isnan(far_zero)) << c.factor;
        } else {
            EXPECT_EQ(std::bit_cast<std::uint32_t>(far_zero),
                      std::bit_cast<std::uint32_t>(c.zero_becomes))
                << c.factor;
        }
        EXPECT_EQ(std::bit_cast<std::uint32_t>(MixBuffer[1]),
                  std::bit_cast<std::uint32_t>(far_zero))
            << c.factor << ": a zero beside a sample scales as any other";
    }
}

TEST_F(BuffersTest, ConvertWritesZerosWhereTheMixEndsInsideTheBuffer) {
    // The 16-bit samples after the end of the floats land on floats that were
    // not zero, so they must be written although their own floats are zero.
    for (int end : {1, 4096, 3 * 4096 + 102, SND_BUF_LEN / 3}) {
        ClearBuffers();
        for (int i = 0; i < end; ++i)
            MixBuffer[i] = 0.5f;
        ConvertMixToPcm16();
        for (int i = 0; i < SND_BUF_LEN; ++i) {
            ASSERT_EQ(MixPcmSample(static_cast<std::size_t>(i)), i < end ? 16383 : 0)
                << "sample " << i << ", floats up to " << end;
        }
    }
}

TEST_F(BuffersTest, ClearTrackLeavesTheMix) {
    TrackBuffer[SND_BUF_LEN - 1] = 2;
    MixBuffer[SND_BUF_LEN - 1] = 4;
    ClearTrack();
    EXPECT_EQ(TrackBuffer[SND_BUF_LEN - 1], 0);
    EXPECT_EQ(MixBuffer[SND_BUF_LEN - 1], 4);
}

TEST_F(BuffersTest, MixTrackRoundsOnceFromDouble) {
    // (1 + 2^-23)^2 - (1 + 2^-22) is 2^-46 in double; float arithmetic would give 0.
    const float a = 1.0f + std::ldexp(1.0f, -23);
    TrackBuffer[SND_BUF_LEN - 1] = a;
    MixBuffer[SND_BUF_LEN - 1] = -(1.0f + std::ldexp(1.0f, -22));
    TrackBuffer[0] = 2.0f;
    MixBuffer[0] = 0.5f;
    MixTrack(a);
    EXPECT_EQ(MixBuffer[SND_BUF_LEN - 1], std::ldexp(1.0f, -46));
    EXPECT_EQ(MixBuffer[0], 2.0f * a + 0.5f);
}

TEST_F(BuffersTest, ScaleMixScalesEverySample) {
    MixBuffer[0] = 1.0f;
    MixBuffer[SND_BUF_LEN - 1] = -3.0f;
    ScaleMix(0.25f);
    EXPECT_EQ(MixBuffer[0], 0.25f);
    EXPECT_EQ(MixBuffer[SND_BUF_LEN - 1], -0.75f);
}

TEST_F(BuffersTest, EchoWithDelayPastTheBufferDoesNothing) {
    for (int delay : {SND_BUF_LEN, SND_BUF_LEN + 1}) {
        TrackBuffer[0] = 1.0f;
        TrackBuffer[SND_BUF_LEN - 1] = 0.5f;
        ApplyEcho(delay, 0.3f);
        EXPECT_EQ(TrackBuffer[0], 1.0f) << delay;
        EXPECT_EQ(TrackBuffer[SND_BUF_LEN - 1], 0.5f) << delay;
    }
}

TEST_F(BuffersTest, EchoOfAnImpulseRepeatsEveryDelayAndFeedsItself) {
    TrackBuffer[0] = 1.0f;
    ApplyEcho(15000, 0.3f);
    float expected = 1.0f;
    for (int n = 0; n + 7500 < SND_BUF_LEN; n += 15000) {
        ASSERT_EQ(TrackBuffer[n], expected) << n;
        EXPECT_EQ(TrackBuffer[n + 1], 0.0f) << n + 1;
        EXPECT_EQ(TrackBuffer[n + 7500], 0.0f) << n + 7500;
        expected = static_cast<float>(double{0.3f} * expected);
    }
    EXPECT_FLOAT_EQ(TrackBuffer[45000], 0.027f);
}

TEST_F(BuffersTest, TwoEchoesSumEveryPathThatReachesAnIndex) {
    TrackBuffer[0] = 1.0f;
    ApplyEcho(15000, 0.3f);
    ApplyEcho(25000, 0.3f);
    const struct {
        int index;
        float value;
    } cases[] = {{15000, 0.3f},  {25000, 0.3f},   {30000, 0.09f},    {40000, 0.09f},
                 {50000, 0.09f}, {45000, 0.027f}, {75000, 0.02943f}, {20000, 0.0f}};
    for (const auto& c : cases)
        EXPECT_FLOAT_EQ(TrackBuffer[c.index], c.value) << c.index;
}

TEST_F(BuffersTest, LowpassFiltersEachChannelAndKeepsTheFirstFrame) {
    // Left: a step from frame 1 on. Right: an impulse at frame 0.
    for (int n = 2; n < SND_BUF_LEN; n += 2)
        TrackBuffer[n] = 1.0f;
    TrackBuffer[1] = 1.0f;
    ApplyLowpass(0.2f);
    const float left[] = {0.0f, 0.8f, 0.96f, 0.992f};
    const float right[] = {1.0f, 0.2f, 0.04f, 0.008f};
    for (int frame = 0; frame < 4; ++frame) {
        EXPECT_FLOAT_EQ(TrackBuffer[2 * frame], left[frame]) << frame;
        EXPECT_FLOAT_EQ(TrackBuffer[2 * frame + 1], right[frame]) << frame;
    }
    EXPECT_EQ(TrackBuffer[SND_BUF_LEN - 2], 1.0f);
    EXPECT_EQ(TrackBuffer[SND_BUF_LEN - 1], 0.0f);
}

TEST_F(BuffersTest, TwoSlopeShaperKeepsSignAndTakesHighGainAtTheThreshold) {
    const struct {
        float in, out;
    } cases[] = {{0.5f, 0.45f}, {-0.5f, -0.45f},  {0.3f, 0.306f},
                 {0.4f, 0.36f}, {0.39f, 0.3978f}, {0.0f, 0.0f}};
    const int start = 100;
    TrackBuffer[start - 1] = 0.5f;
    for (std::size_t i = 0; i < std::size(cases); ++i)
        TrackBuffer[start + i] = cases[i].in;
    TrackBuffer[SND_BUF_LEN - 1] = -0.0f;
    ApplyTwoSlopeShaper(start, 0.4f, 0.9f, 1.02f);
    EXPECT_EQ(TrackBuffer[start - 1], 0.5f) << "before the start index";
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_FLOAT_EQ(TrackBuffer[start + i], cases[i].out) << cases[i].in;
    }
    EXPECT_TRUE(std::signbit(TrackBuffer[SND_BUF_LEN - 1])) << "zero keeps its sign";
}

TEST_F(BuffersTest, ShaperFromPastTheEndDoesNothing) {
    TrackBuffer[SND_BUF_LEN - 1] = 0.5f;
    ApplyTwoSlopeShaper(SND_BUF_LEN, 0.4f, 0.9f, 1.02f);
    EXPECT_EQ(TrackBuffer[SND_BUF_LEN - 1], 0.5f);
}

TEST_F(BuffersTest, ConvertTruncatesAndSaturates) {
    const struct {
        float in;
        std::int16_t out;
    } cases[] = {
        {1.0f, 32767},
        {-1.0f, -32767},
        {0.99999f, 32766},
        {-0.00001f, 0},
        {0.5f, 16383},
        {1.5f, 32767},  // saturates rather than wrapping to -16,386
        {-1.5f, -32768},
        {1e10f, 32767},
        {-std::numeric_limits<float>::infinity(), -32768},
        {std::numeric_limits<float>::quiet_NaN(), 0},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i)
        MixBuffer[i] = cases[i].in;
    ConvertMixToPcm16();
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(MixPcmSample(i), cases[i].out) << cases[i].in;
    }
}

TEST_F(BuffersTest, ConvertInPlaceReadsEveryFloatBeforeItsBytesAreReused) {
    auto value = [](int i) { return static_cast<float>(i % 1999) / 1000.0f - 0.9995f; };
    for (int i = 0; i < SND_BUF_LEN; ++i)
        MixBuffer[i] = value(i);
    ConvertMixToPcm16();
    for (int i = 0; i < SND_BUF_LEN; ++i) {
        const auto expected = static_cast<std::int16_t>(value(i) * 32767.0);
        ASSERT_EQ(MixPcmSample(static_cast<std::size_t>(i)), expected) << i;
    }
}

// A mix kept elsewhere and stored as 16-bit samples piece by piece, in pieces
// of any size, gives what ScaleMix and ConvertMixToPcm16 give for the same mix
// in MixBuffer; the samples after the pieces stay zero.
TEST_F(BuffersTest, StoringPiecesOfAMixMatchesConvertingTheWholeBuffer) {
    auto value = [](int i) { return static_cast<float>(i % 1999) / 700.0f - 1.3f; };
    const int end = SND_BUF_LEN / 3 + 1001;  // the mix ends here, odd and mid-block
    std::vector<float> mix(static_cast<std::size_t>(end));
    for (int i = 0; i < end; ++i)
        mix[static_cast<std::size_t>(i)] = MixBuffer[i] = value(i);
    ScaleMix(0.5f);
    ConvertMixToPcm16();
    const std::vector<std::uint8_t> expected(MixPcmBytes(), MixPcmBytes() + kPcmBytes);

    for (std::size_t piece : {std::size_t{1}, std::size_t{4096}, std::size_t{32768 + 6}}) {
        ClearBuffers();
        for (std::size_t first = 0; first < mix.size(); first += piece)
            StorePcm16(mix.data() + first, std::min(piece, mix.size() - first), 0.5f, first);
        const std::vector<std::uint8_t> pcm(MixPcmBytes(), MixPcmBytes() + kPcmBytes);
        EXPECT_TRUE(pcm == expected) << "pieces of " << piece;
    }
}

}  // namespace
}  // namespace wave
