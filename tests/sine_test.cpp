#include "synth/sine.h"
#include "synth/fast_renderer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace wave {
namespace {

float ToFloat(double v) {
    return static_cast<float>(v);
}

// Arguments across the range the voices use, and near the multiples of pi/2
// where the reduction is hardest.
template <typename Check>
void ForSampleArguments(Check check) {
    std::uint64_t s = 2024;
    for (int i = 0; i < 400000; ++i) {
        s = s * 6364136223846793005ULL + 1442695040888963407ULL;
        const double u = static_cast<double>(s >> 11) * 0x1p-53;  // [0, 1)
        check(u * 16.0 - 8.0);
        check(std::ldexp(u, -(i % 60)));
        check((i % 9 - 4) * 1.5707963267948966 + (u - 0.5) * 1e-9);
    }
}

TEST(SineTest, CorrectlyRoundedWhereTheCLibraryIsNot) {
    const struct {
        double x, sine;
    } cases[] = {
        {1.0, 0.8414709848078965},
        {3.141592653589793, 1.2246467991473532e-16},
        {1.5707963267948966, 1.0},
        {3.0, 0.1411200080598672},
        {6.2, -0.0830894028174964},
        {1e-05, 9.999999999833334e-06},
        {100.0, -0.5063656411097588},
        // Each of these lies within 0.004 units in the last place of a midpoint.
        {0.5733671922755077, 0.5424638266705532},
        {-0.12764906731778947, -0.12730269126830776},
        {-2.5370150158819973, -0.5684146316672242},
        {6.981466537525884, 0.642902148779802},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Sine(c.x), c.sine) << c.x;
}

TEST(SineTest, OddAndSignedAtZero) {
    EXPECT_EQ(Sine(0.0), 0.0);
    EXPECT_TRUE(std::signbit(Sine(-0.0)));
    ForSampleArguments([](double x) { ASSERT_EQ(Sine(-x), -Sine(x)) << x; });
}

TEST(SineTest, QuickEstimateStaysWithinItsBound) {
    ForSampleArguments([](double x) {
        const detail::SineEstimate e = detail::EstimateSine(x);
        if (!e.valid) return;
        ASSERT_LE(std::fabs(e.value - Sine(x)), e.bound) << x;
    });
}

TEST(SineTest, SineThenMatchesTheFullComputation) {
    ForSampleArguments([](double x) {
        ASSERT_EQ(SineThen(x, ToFloat), ToFloat(Sine(x))) << x;
        // A finish that subtracts from a float, as the PM voice does.
        const float c1 = 0.25f;
        auto difference = [c1](double c2) { return ToFloat(c1 - c2); };
        ASSERT_EQ(SineThen(x, difference), difference(Sine(x))) << x;
    });
}

TEST(SineTest, HugeAndNonFiniteArgumentsFallBackToTheCLibrary) {
    for (double x : {1e6, -3e9, 1e300})
        EXPECT_EQ(Sine(x), std::sin(x)) << x;
    EXPECT_TRUE(std::isnan(Sine(std::numeric_limits<double>::quiet_NaN())));
    EXPECT_TRUE(std::isnan(Sine(std::numeric_limits<double>::infinity())));
    EXPECT_TRUE(std::isnan(SineThen(std::numeric_limits<double>::infinity(), ToFloat)));
}

}  // namespace
}  // namespace wave

namespace wave {
namespace {

TEST(SineBlockTest, EveryLaneMatchesTheScalarSine) {
    std::vector<double> x;
    ForSampleArguments([&](double v) { x.push_back(v); });
    for (double v : {0.0, -0.0, 1e6, -1e300, 3.141592653589793, 1e-310})
        x.push_back(v);
    const int n = static_cast<int>(x.size()) - 3;  // not a whole number of vectors
    std::vector<float> minuend(x.size());
    for (std::size_t i = 0; i < x.size(); ++i)
        minuend[i] = static_cast<float>(i % 17) * 0.0625f - 0.5f;
    for (FastPathIsa isa : {FastPathIsa::kBest, FastPathIsa::kAvx2, FastPathIsa::kBaseline}) {
        std::vector<float> sines(x.size()), differences(x.size());
        SineToFloat(x.data(), sines.data(), n, isa);
        FloatMinusSine(minuend.data(), x.data(), differences.data(), n, isa);
        for (int i = 0; i < n; ++i) {
            const float m = minuend[i];
            ASSERT_EQ(sines[i], SineThen(x[i], ToFloat)) << x[i];
            ASSERT_EQ(differences[i], SineThen(x[i], [m](double s) { return ToFloat(m - s); }))
                << x[i];
        }
    }
}

}  // namespace
}  // namespace wave
