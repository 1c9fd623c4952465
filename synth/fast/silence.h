// The silence bound of a mix that is only converted to 16 bits (MixUse::kPcm16):
// once all that the tracks have yet to add is provably below half a 16-bit step
// and the rest of the mix is still zero, the render may stop and leave the rest
// at zero. The same 16-bit samples, without the echo tails that die beneath them.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "synth/fast/lane.h"

namespace wave::fast {

inline constexpr double kNoBound = HUGE_VAL;

// A bound on all that the group's lanes have yet to add to the mix, weighted by
// their volumes, or kNoBound while any of them plays.
double RemainingSound(const Group& group);

// Whether all `n` floats from `p` on are zero, of either sign.
bool AllZero(const float* p, std::int64_t n);

class SilenceBound {
public:
    // `mix_was_zero`: the mix held only +0 before the render, so what the render
    // has not reached is zero without being looked at.
    SilenceBound(std::size_t groups, int slots, bool mix_was_zero);

    // Records group `group`'s RemainingSound as it starts the chunk in `slot`.
    void Record(std::size_t group, int slot, double bound) {
        remaining_[group * static_cast<std::size_t>(slots_) + static_cast<std::size_t>(slot)] =
            bound;
    }
    // Whether the mix may be left as it is from the chunk in `slot` on, which
    // starts at `first_sample`, once every group has started that chunk.
    bool SilentFrom(int slot, std::int64_t first_sample);

private:
    std::size_t groups_;
    int slots_;
    std::vector<double> remaining_;  // per group and slot
    bool mix_was_zero_;
    bool mix_not_silent_ = false;  // the mix held something past the tracks' sound
};

}  // namespace wave::fast
