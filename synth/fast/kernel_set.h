// The kernels' entry points for one instruction set `V` (see simd.h), as the
// table the renderer calls: MakeKernels<V>() in each kernels_*.cpp.
#pragma once

#include <cstdint>
#include <vector>

#include "synth/fast/chain_kernels.h"
#include "synth/fast/kernels.h"
#include "synth/fast/lane.h"
#include "synth/fast/sines.h"
#include "synth/fast/voice_kernels.h"

namespace wave::fast {

// Where each lane's output of the block goes: block `block` of its slots, or
// nowhere when the lane is silent for the block (it makes no sound and its
// echoes have died), which its `silent` flag records. Returns whether every lane is.
template <class V>
[[gnu::always_inline]] inline bool BlockOutputs(Group& group, std::int64_t first_sample, int block,
                                                const bool (&audible)[kMaxGroupLanes], Scratch& s,
                                                float* (&outs)[kMaxGroupLanes]) {
    bool all_silent = true;
    for (int i = 0; i < kMaxGroupLanes; ++i) {
        outs[i] = s.unused_lane;
        if (i >= static_cast<int>(group.lanes.size())) continue;
        Lane& lane = *group.lanes[static_cast<std::size_t>(i)];
        const bool silent = !audible[i] && Quiet(lane, first_sample);
        lane.silent[static_cast<std::size_t>(block)] = silent;
        all_silent &= silent;
        if (!silent) outs[i] = lane.out + std::int64_t{block} * kBlockSamples;
    }
    return all_silent;
}

// One block of one group: voices, echoes and low-pass, into each lane's slots.
template <class V>
void GroupBlock(Group& group, std::int64_t first_sample, int samples, int block, Scratch& s,
                Scratch& notes) {
    bool audible[kMaxGroupLanes] = {};
    SegmentInput inputs[2];
    const int segments =
        BlockVoices<V>(group, first_sample / 2, samples / 2, s, notes, audible, inputs);
    float* outs[kMaxGroupLanes];
    if (BlockOutputs<V>(group, first_sample, block, audible, s, outs)) return;
    bool any_audible = false;
    bool first_echo_quiet = true;
    for (std::size_t i = 0; i < group.lanes.size(); ++i) {
        any_audible |= audible[i];
        first_echo_quiet &=
            group.lanes[i]->last_loud_sample1 < first_sample - group.voice.chain.echo_delay1;
    }
    Chain<V>(group, {inputs, static_cast<std::size_t>(segments)}, any_audible,
             first_echo_quiet && !any_audible, first_sample, samples, outs);
}

template <class V>
constexpr Kernels MakeKernels() {
    return {GroupBlock<V>, MixLanes<V>, MixToPcm16<V>, SineToFloat<V>, FloatMinusSine<V>};
}

}  // namespace wave::fast
