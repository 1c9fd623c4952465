#include "synth/fast/silence.h"

#include <algorithm>
#include <cstring>

namespace wave::fast {

namespace {

// Half a 16-bit step: a mix sample below it converts to 0, even unscaled.
constexpr double kUnderPcmStep = 0x1p-16;

// The largest magnitude in each of the four columns of `rows` rows of floats;
// NaN in a column that holds one.
Float4 LargestInColumns(const float* p, int rows) {
    Float4 largest{};
    Int4 nan{};
    for (int r = 0; r < rows; ++r) {
        Float4 v;
        std::memcpy(&v, p + kMaxGroupLanes * r, sizeof v);
        v = (Float4)((Int4)v & INT32_MAX);
        nan |= v != v;
        largest = v > largest ? v : largest;
    }
    return (Float4)((Int4)largest | nan);
}

}  // namespace

// Without input the first echo, float(f1 y1[-d1]), never grows past the largest
// magnitude B1 in its ring; the second, float(y1 + f2 y2[-d2]), never past
// max(B2, 2 B1); and the low-pass, which rounds a weighted average of its input
// and its past, never past the larger of those bounds. The voice table checks
// the feedbacks and the low-pass these bounds rely on.
double RemainingSound(const Group& group) {
    for (const Lane* lane : group.lanes) {
        if (lane->mode != StepMode::kEnded) return kNoBound;
    }
    const Float4 b1 = LargestInColumns(group.echo1, group.voice.chain.echo_delay1);
    const Float4 b2 = LargestInColumns(group.echo2, group.voice.chain.echo_delay2);
    double sum = 0;
    for (std::size_t i = 0; i < group.lanes.size(); ++i) {
        const Lane& lane = *group.lanes[i];
        const double bounds[] = {b2[i], 2.0 * b1[i], std::fabs(lane.low_left),
                                 std::fabs(lane.low_right), std::fabs(lane.volume)};
        for (double b : bounds) {
            if (std::isnan(b)) return kNoBound;
        }
        sum += std::fabs(lane.volume) * std::max({bounds[0], bounds[1], bounds[2], bounds[3]});
    }
    return sum;
}

bool AllZero(const float* p, std::int64_t n) {
    constexpr int kBatch = 4096;
    for (std::int64_t start = 0; start < n; start += kBatch) {
        const int count = static_cast<int>(std::min<std::int64_t>(kBatch, n - start));
        std::uint32_t bits = 0;
        for (int i = 0; i < count; ++i) {
            std::uint32_t b;
            std::memcpy(&b, p + start + i, sizeof b);
            bits |= b;
        }
        if ((bits & INT32_MAX) != 0) return false;
    }
    return true;
}

SilenceBound::SilenceBound(std::size_t groups, int slots, bool mix_was_zero)
    : groups_(groups),
      slots_(slots),
      remaining_(groups * static_cast<std::size_t>(slots), kNoBound),
      mix_was_zero_(mix_was_zero) {}

// Each rounding of a sum into the mix can add a part in 2^23 to the bound, far
// inside the factor of two between kUnderPcmStep and a 16-bit step.
bool SilenceBound::SilentFrom(int slot, std::int64_t first_sample) {
    if (mix_not_silent_) return false;
    double sum = 0;
    for (std::size_t g = 0; g < groups_; ++g)
        sum += remaining_[g * static_cast<std::size_t>(slots_) + static_cast<std::size_t>(slot)];
    if (!(sum <= kUnderPcmStep)) return false;
    // Reading memory that was never written may make the system give it pages.
    if (mix_was_zero_) return true;
    if (!AllZero(MixBuffer + first_sample, SND_BUF_LEN - first_sample)) {
        mix_not_silent_ = true;
        return false;
    }
    return true;
}

}  // namespace wave::fast
