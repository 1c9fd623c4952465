#include "synth/buffers.h"

#include <cmath>
#include <cstring>

namespace wave {

alignas(64) float TrackBuffer[SND_BUF_LEN];
alignas(64) float MixBuffer[SND_BUF_LEN];

void ClearBuffers() {
    ClearTrack();
    std::memset(MixBuffer, 0, sizeof MixBuffer);
}

void ClearTrack() {
    std::memset(TrackBuffer, 0, sizeof TrackBuffer);
}

void MixTrack(float volume) {
    for (int i = 0; i < SND_BUF_LEN; ++i) {
        MixBuffer[i] = static_cast<float>(double{volume} * TrackBuffer[i] + MixBuffer[i]);
    }
}

void ScaleMix(float factor) {
    for (int i = 0; i < SND_BUF_LEN; ++i) {
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

// Truncates toward zero, then clamps to the 16-bit range (NaN gives 0).
static std::int16_t ToPcm16(float sample) {
    const double v = sample * 32767.0;
    if (!(v > -32768.0)) return v <= -32768.0 ? INT16_MIN : 0;
    if (v >= 32767.0) return INT16_MAX;
    return static_cast<std::int16_t>(static_cast<std::int32_t>(v));
}

void ConvertMixToPcm16() {
    auto* pcm = reinterpret_cast<unsigned char*>(MixBuffer);
    // Writing sample i touches bytes 2i and 2i + 1, never a float not yet read.
    for (std::size_t i = 0; i < SND_BUF_LEN; ++i) {
        const std::int16_t s = ToPcm16(MixBuffer[i]);
        std::memcpy(pcm + 2 * i, &s, sizeof s);
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
