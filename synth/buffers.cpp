#include "synth/buffers.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace wave {

// Where the system has 2 MiB pages, buffers aligned to them can be backed by
// them whole (see platform/memory.h).
#if defined(__linux__)
constexpr std::size_t kBufferAlignment = std::size_t{2} << 20;
#else
constexpr std::size_t kBufferAlignment = 64;
#endif

alignas(kBufferAlignment) float TrackBuffer[SND_BUF_LEN];
alignas(kBufferAlignment) float MixBuffer[SND_BUF_LEN];

namespace {

// The passes that leave zeros as they are go block by block and skip the blocks
// that are all zero: reading memory that was never written costs little, while
// writing it, even a zero, makes the system give it a page of its own.
constexpr std::size_t kBlockSamples = 4096;

std::size_t BlockSamples(std::size_t first) {
    return std::min<std::size_t>(kBlockSamples, SND_BUF_LEN - first);
}

// Whether every bit of the n floats from p is zero (-0 is not).
bool AllZero(const float* p, std::size_t n) {
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t b;
        std::memcpy(&b, p + i, sizeof b);
        bits |= b;
    }
    return bits == 0;
}

void ZeroBuffer(float* buffer) {
    for (std::size_t first = 0; first < SND_BUF_LEN; first += kBlockSamples) {
        const std::size_t n = BlockSamples(first);
        if (!AllZero(buffer + first, n)) std::memset(buffer + first, 0, n * sizeof(float));
    }
}

}  // namespace

void ClearBuffers() {
    ClearTrack();
    ZeroBuffer(MixBuffer);
}

void ClearTrack() {
    ZeroBuffer(TrackBuffer);
}

void MixTrack(float volume) {
    for (int i = 0; i < SND_BUF_LEN; ++i) {
        MixBuffer[i] = static_cast<float>(double{volume} * TrackBuffer[i] + MixBuffer[i]);
    }
}

void ScaleMix(float factor) {
    // A finite factor that is not negative leaves +0 as it is.
    const bool keeps_zero = factor >= 0 && std::isfinite(factor);
    for (std::size_t first = 0; first < SND_BUF_LEN; first += kBlockSamples) {
        const std::size_t n = BlockSamples(first);
        if (keeps_zero && AllZero(MixBuffer + first, n)) continue;
        for (std::size_t i = first; i < first + n; ++i)
            MixBuffer[i] = static_cast<float>(double{factor} * MixBuffer[i]);
    }
}

void ApplyEcho(int delay, float feedback) {
    if (delay >= SND_BUF_LEN) return;
    for (int n = delay; n < SND_BUF_LEN; ++n) {
        TrackBuffer[n] =
            static_cast<float>(double{feedback} * TrackBuffer[n - delay] + TrackBuffer[n]);
    }
}

void ApplyLowpass(float c) {
    for (int n = 2; n < SND_BUF_LEN; ++n) {
        const double x = TrackBuffer[n];
        TrackBuffer[n] = static_cast<float>((TrackBuffer[n - 2] - x) * c + x);
    }
}

void ApplyTwoSlopeShaper(int start, float threshold, float high, float low) {
    for (int i = start < 0 ? 0 : start; i < SND_BUF_LEN; ++i) {
        const double x = TrackBuffer[i];
        const double gain = std::fabs(x) >= threshold ? high : low;
        TrackBuffer[i] = static_cast<float>(x < 0 ? -(std::fabs(x) * gain) : x * gain);
    }
}

// The 16-bit samples of `value` of n <= kBlockSamples floats from `in`, stored
// at `out`: all of them are read before any is written, so `out` may overlap
// `in` (it does for the in-place conversion).
template <typename Value>
void StoreBlock(const float* in, std::size_t n, Value value, unsigned char* out) {
    std::int16_t block[kBlockSamples];
    for (std::size_t i = 0; i < n; ++i)
        block[i] = ToPcm16(value(in[i]));
    std::memcpy(out, block, n * sizeof block[0]);
}

void ConvertMixToPcm16() {
    auto* pcm = reinterpret_cast<unsigned char*>(MixBuffer);
    // A block's 16-bit samples land on the floats of that block or of the blocks
    // before it, never after, so a block read whole before it is written is
    // converted as if sample by sample. Zeros that would land on zeros are not written.
    for (std::size_t first = 0; first < SND_BUF_LEN; first += kBlockSamples) {
        const std::size_t n = BlockSamples(first);
        if (AllZero(MixBuffer + first, n) && AllZero(MixBuffer + first / 2, n / 2)) continue;
        StoreBlock(
            MixBuffer + first, n, [](float x) { return x; }, pcm + 2 * first);
    }
}

void StorePcm16(const float* mix, std::size_t n, float factor, std::size_t first) {
    auto* pcm = reinterpret_cast<unsigned char*>(MixBuffer) + 2 * first;
    for (std::size_t at = 0; at < n; at += kBlockSamples) {
        StoreBlock(
            mix + at, std::min(kBlockSamples, n - at),
            [factor](float x) { return static_cast<float>(double{factor} * x); }, pcm + 2 * at);
    }
}

const std::uint8_t* MixPcmBytes() {
    return reinterpret_cast<const std::uint8_t*>(MixBuffer);
}

std::int16_t MixPcmSample(std::size_t i) {
    std::int16_t s;
    std::memcpy(&s, MixPcmBytes() + 2 * i, sizeof s);
    return s;
}

}  // namespace wave
