// The chain and the mix of the kernels: the voice's effect chain (ApplyEcho twice
// and, where the voice has one, ApplyLowpass: synth/buffers.cpp) on every lane of
// a group at once, with the echoes kept in the group's rings; then MixTrack and
// StorePcm16. Templates over an instruction set (see simd.h).
//
// The chain goes a tile at a time: kWidth samples of the four lanes, in four
// vectors of kWidth / 4 whole samples each, [sample][lane] as the rings hold
// them. So a vector is one sample (left or right of a frame) with four doubles,
// and a whole frame, left then right, with eight.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "synth/fast/lane.h"
#include "synth/fast/simd.h"

namespace wave::fast {

// Tiles never straddle the end of a ring, a segment or a block: the delays
// (checked with the voices), the segments' bounds and the buffer's length are
// all whole tiles of the widest vectors.
static_assert(kEchoDelayMultiple % 8 == 0 && (2 * SND_UNIT_LEN) % 8 == 0 &&
              kBlockSamples % 8 == 0 && SND_BUF_LEN % 8 == 0);

// What the chain of a group carries from tile to tile.
template <class V>
struct ChainState {
    static constexpr int kSamples = V::kWidth / kMaxGroupLanes;  // per vector: 1 or 2
    static constexpr int kLows = 2 / kSamples;
    // The low-pass's last output of each channel, left then right: in two vectors
    // of one sample, or one of a frame.
    typename V::FloatW low[kLows];
    typename V::Int32W bits1{}, bits2{};  // or-ed bits of every y1 and y2
    typename V::DoubleW feedback1, feedback2, lowpass;
};

// The echo pair on one vector:
//   y1 = float(x + feedback1 y1[-delay1]),  y2 = float(y1 + feedback2 y2[-delay2]).
// Without the first echo (its input and ring all zero) y1 is zero.
template <class V, bool kFirstEcho>
[[gnu::always_inline]] inline typename V::FloatW Echoes(ChainState<V>& c, typename V::DoubleW x,
                                                        float* past1, float* past2) {
    typename V::DoubleW y1 = {};
    if constexpr (kFirstEcho) {
        const typename V::FloatW y1f = V::RoundToFloatW(c.feedback1 * LoadFloatsW<V>(past1) + x);
        StoreW<V>(past1, y1f);
        c.bits1 |= (typename V::Int32W)y1f;
        y1 = V::WidenW(y1f);
    }
    const typename V::FloatW y2 = V::RoundToFloatW(c.feedback2 * LoadFloatsW<V>(past2) + y1);
    StoreW<V>(past2, y2);
    c.bits2 |= (typename V::Int32W)y2;
    return y2;
}

// The low-pass on one vector, per channel: z = float(y + c (z[-2] - y)).
template <class V>
[[gnu::always_inline]] inline typename V::FloatW Smooth(const ChainState<V>& c,
                                                        typename V::FloatW& low,
                                                        typename V::FloatW y) {
    const typename V::DoubleW x = V::WidenW(y);
    low = V::RoundToFloatW((V::WidenW(low) - x) * c.lowpass + x);
    return low;
}

// What goes into the echoes for vector k of the tile that starts `frame` frames
// into the segment's input: sample k (left of frame k / 2 for an even k, else
// right) with four doubles, frame k (left, then right) with eight.
template <class V, int k>
[[gnu::always_inline]] inline typename V::DoubleW Input(const float* x_left, const float* x_right,
                                                        int frame) {
    if constexpr (ChainState<V>::kSamples == 1) {
        const float* channel = k % 2 == 0 ? x_left : x_right;
        return V::WidenW(LoadFloatsAsIs<V>(channel + kMaxGroupLanes * (frame + k / 2)));
    } else {
        Float4 left, right;
        __builtin_memcpy(&left, x_left + kMaxGroupLanes * (frame + k), sizeof left);
        __builtin_memcpy(&right, x_right + kMaxGroupLanes * (frame + k), sizeof right);
        return V::WidenW(__builtin_shufflevector(left, right, 0, 1, 2, 3, 4, 5, 6, 7));
    }
}

// Where a tile is: sample n of the block, frame `frame` of the segment's input.
struct Tile {
    int n, frame;
    float* past1;
    float* past2;
};

// One tile. kSound: the input is in x_left and x_right; kBufferStart: the tile
// starts the buffer, whose first frame the low-pass leaves as it is.
template <class V, bool kSound, bool kFirstEcho, bool kLowpass, bool kBufferStart, int... vector>
[[gnu::always_inline]] inline void ChainTile(ChainState<V>& c, const float* x_left,
                                             const float* x_right, const Tile& t,
                                             float* const (&outs)[kMaxGroupLanes],
                                             std::integer_sequence<int, vector...>) {
    typename V::FloatW z[kMaxGroupLanes];
    auto one = [&]<int k>() __attribute__((always_inline)) {
        typename V::DoubleW x = {};
        if constexpr (kSound) x = Input<V, k>(x_left, x_right, t.frame);
        z[k] = Echoes<V, kFirstEcho>(c, x, t.past1 + k * V::kWidth, t.past2 + k * V::kWidth);
        if constexpr (kLowpass) {
            typename V::FloatW& low = c.low[k % ChainState<V>::kLows];
            if constexpr (kBufferStart && k * ChainState<V>::kSamples < 2) {
                low = z[k];
            } else {
                z[k] = Smooth<V>(c, low, z[k]);
            }
        }
    };
    (one.template operator()<vector>(), ...);
    Transpose<V>(z);
    (StoreW<V>(outs[vector] + t.n, z[vector]), ...);  // lane i's output is z[i]
}

// Samples [from_sample, samples) of the block that starts at `first_sample`, a
// tile at a time. `kSound`: the voice wrote something this block, and x_left and
// x_right hold what goes into the echoes from sample `from_sample` on,
// [frame][lane] as in Scratch.
template <class V, bool kSound, bool kFirstEcho, bool kLowpass>
[[gnu::always_inline]] inline void ChainSamples(Group& group, const float* x_left,
                                                const float* x_right, ChainState<V>& c,
                                                std::int64_t first_sample, int from_sample,
                                                int samples, float* const (&outs)[kMaxGroupLanes]) {
    const EffectChain& chain = group.voice.chain;
    // The state in a local, kept in registers: a store through a float pointer
    // could otherwise change it, as far as the compiler knows. So are the pointers.
    ChainState<V> state = c;
    // Where the samples start in the rings.
    int ring1_sample = static_cast<int>((first_sample + from_sample) % chain.echo_delay1);
    int ring2_sample = static_cast<int>((first_sample + from_sample) % chain.echo_delay2);
    float* const ring1 = group.echo1;
    float* const ring2 = group.echo2;
    const int delay1 = chain.echo_delay1, delay2 = chain.echo_delay2;
    float* const out[kMaxGroupLanes] = {outs[0], outs[1], outs[2], outs[3]};
    constexpr auto vectors = std::make_integer_sequence<int, kMaxGroupLanes>{};
    for (int n = from_sample; n < samples; n += V::kWidth) {
        const Tile t{n, (n - from_sample) / 2, ring1 + kMaxGroupLanes * ring1_sample,
                     ring2 + kMaxGroupLanes * ring2_sample};
        if (kLowpass && first_sample + n == 0) {
            ChainTile<V, kSound, kFirstEcho, kLowpass, true>(state, x_left, x_right, t, out,
                                                             vectors);
        } else {
            ChainTile<V, kSound, kFirstEcho, kLowpass, false>(state, x_left, x_right, t, out,
                                                              vectors);
        }
        ring1_sample += V::kWidth;
        if (ring1_sample == delay1) ring1_sample = 0;
        ring2_sample += V::kWidth;
        if (ring2_sample == delay2) ring2_sample = 0;
    }
    c = state;
}

// The chain of every lane of a group over one block, lanes side by side, by the
// voice's EffectChain: x = float(gain * w * m), the two echoes, and the low-pass
// where the voice has one. Writes each lane's output to outs[i] and records, per
// lane, the last sample where y1 and y2 were not zero. `inputs`: where each
// segment's x is, used when `sound`. `first_echo_quiet`: the first echo has
// neither input nor anything left in its ring, so it is skipped.
template <class V>
[[gnu::always_inline]] inline void Chain(Group& group, std::span<const SegmentInput> inputs,
                                         bool sound, bool first_echo_quiet,
                                         std::int64_t first_sample, int samples,
                                         float* const (&outs)[kMaxGroupLanes]) {
    const EffectChain& chain = group.voice.chain;
    ChainState<V> c;
    c.feedback1 = SplatW<V>(chain.echo_feedback1);
    c.feedback2 = SplatW<V>(chain.echo_feedback2);
    c.lowpass = SplatW<V>(chain.lowpass);
    float low[2 * kMaxGroupLanes] = {};  // left lanes, then right lanes
    for (std::size_t i = 0; i < group.lanes.size(); ++i) {
        low[i] = group.lanes[i]->low_left;
        low[kMaxGroupLanes + i] = group.lanes[i]->low_right;
    }
    __builtin_memcpy(&c.low, low, sizeof low);
    auto segment = [&]<bool kSound, bool kFirstEcho>(const float* x_left, const float* x_right,
                                                     int from_sample, int end_sample) {
        if (chain.lowpass != 0) {
            ChainSamples<V, kSound, kFirstEcho, true>(group, x_left, x_right, c, first_sample,
                                                      from_sample, end_sample, outs);
        } else {
            ChainSamples<V, kSound, kFirstEcho, false>(group, x_left, x_right, c, first_sample,
                                                       from_sample, end_sample, outs);
        }
    };
    if (sound) {
        for (const SegmentInput& input : inputs) {
            segment.template operator()<true, true>(input.left, input.right, 2 * input.first_frame,
                                                    2 * (input.first_frame + input.frames));
        }
    } else if (!first_echo_quiet) {
        segment.template operator()<false, true>(nullptr, nullptr, 0, samples);
    } else {
        segment.template operator()<false, false>(nullptr, nullptr, 0, samples);
    }
    __builtin_memcpy(low, &c.low, sizeof low);
    // Per lane, whether any of its y1 and y2 was not zero; the sign of a zero does
    // not count.
    std::uint32_t bits1[kMaxGroupLanes] = {}, bits2[kMaxGroupLanes] = {};
    for (int j = 0; j < V::kWidth; ++j) {
        bits1[j % kMaxGroupLanes] |= static_cast<std::uint32_t>(c.bits1[j]) & 0x7FFFFFFFu;
        bits2[j % kMaxGroupLanes] |= static_cast<std::uint32_t>(c.bits2[j]) & 0x7FFFFFFFu;
    }
    for (std::size_t i = 0; i < group.lanes.size(); ++i) {
        Lane& lane = *group.lanes[i];
        if (bits1[i] != 0) lane.last_loud_sample1 = first_sample + samples - 1;
        if (bits2[i] != 0) lane.last_loud_sample2 = first_sample + samples - 1;
        lane.low_left = low[i];
        lane.low_right = low[kMaxGroupLanes + i];
    }
}

// MixTrack over [first_sample, end_sample) for every lane, in job order:
// mix[i] = volume * out[i] + mix[i], skipping the lanes' silent blocks. The
// lanes' output for first_sample is at block `first_block` of their slots, and
// the mix's at `chunk_mix`.
template <class V>
void MixLanes(const std::vector<Lane>& lanes, int first_block, std::int64_t first_sample,
              std::int64_t end_sample, float* chunk_mix) {
    for (const Lane& lane : lanes) {
        for (std::int64_t block_first_sample = first_sample; block_first_sample < end_sample;) {
            const std::int64_t block_in_chunk = (block_first_sample - first_sample) / kBlockSamples;
            const std::int64_t block_end_sample =
                std::min(end_sample, first_sample + (block_in_chunk + 1) * kBlockSamples);
            if (!lane.silent[static_cast<std::size_t>(first_block + block_in_chunk)]) {
                float* mix = chunk_mix + (block_first_sample - first_sample);
                const float* out = lane.out + std::int64_t{first_block} * kBlockSamples +
                                   (block_first_sample - first_sample);
                const int n = static_cast<int>(block_end_sample - block_first_sample);
                const typename V::DoubleW volume = SplatW<V>(lane.volume);
                int i = 0;
                for (; i + V::kWidth <= n; i += V::kWidth) {
                    StoreW<V>(mix + i, V::RoundToFloatW(volume * LoadFloatsW<V>(out + i) +
                                                        LoadFloatsW<V>(mix + i)));
                }
                for (; i < n; ++i)
                    mix[i] = Round(double{lane.volume} * out[i] + mix[i]);
            }
            block_first_sample = block_end_sample;
        }
    }
}

// StorePcm16 (buffers.cpp) for n samples of a finished mix: ToPcm16 of
// float(factor x), stored as little-endian 16-bit samples at `out`.
template <class V>
void MixToPcm16(const float* mix, int n, float factor, unsigned char* out) {
    using DoubleW = typename V::DoubleW;
    const DoubleW scale = SplatW<V>(factor);
    int i = 0;
    for (; i + V::kWidth <= n; i += V::kWidth) {
        DoubleW v = V::WidenW(V::RoundToFloatW(scale * LoadFloatsW<V>(mix + i))) * 32767.0;
        v = v > -32768.0 ? v : (v != v ? 0.0 : -32768.0);  // NaN fails both tests
        v = v < 32767.0 ? v : 32767.0;
        const typename V::Int16W pcm = __builtin_convertvector(V::TruncateW(v), typename V::Int16W);
        __builtin_memcpy(out + 2 * i, &pcm, sizeof pcm);
    }
    for (; i < n; ++i) {
        const std::int16_t pcm = ToPcm16(Round(double{factor} * mix[i]));
        __builtin_memcpy(out + 2 * i, &pcm, sizeof pcm);
    }
}

}  // namespace wave::fast
