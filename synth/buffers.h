// The two process-wide sample buffers and the whole-buffer operations on them.
//
// Samples are 32-bit floats, stereo interleaved (even index left, odd right).
// Every operation computes in double and rounds to float where it stores.
#pragma once

#include <cstddef>
#include <cstdint>

namespace wave {

inline constexpr int SND_RATE = 44100;        // frames per second
inline constexpr int SND_UNIT_NUM = 1440;     // steps a track can hold
inline constexpr int SND_UNIT_LEN = 5512;     // frames per step
inline constexpr int SND_BUF_LEN = 15876000;  // samples per buffer: 180 s of stereo

inline constexpr std::size_t kBufferBytes = sizeof(float) * SND_BUF_LEN;
inline constexpr std::size_t kPcmBytes = sizeof(std::int16_t) * SND_BUF_LEN;

// Scratch for the track being rendered.
extern float TrackBuffer[SND_BUF_LEN];
// Accumulates the song; after ConvertMixToPcm16 its first kPcmBytes hold the PCM.
extern float MixBuffer[SND_BUF_LEN];

void ClearBuffers();
void ClearTrack();
// mix[i] = volume * track[i] + mix[i]
void MixTrack(float volume);
// mix[i] = factor * mix[i]
void ScaleMix(float factor);
// y[n] = x[n] + feedback * y[n - delay], in place, ascending; no-op when delay >= SND_BUF_LEN.
void ApplyEcho(int delay, float feedback);
// y[n] = x[n] + c * (y[n - 1] - x[n]) per channel; the first frame is left as it is.
void ApplyLowpass(float c);
// |x| >= threshold ? |x| * high : |x| * low, keeping the sign of x.
void ApplyTwoSlopeShaper(int start, float threshold, float high, float low);
// In place: sample i becomes ToPcm16(mix[i]).
void ConvertMixToPcm16();
// trunc(sample * 32767) saturated to the 16-bit range; NaN gives 0.
inline std::int16_t ToPcm16(float sample) {
    const double v = sample * 32767.0;
    if (!(v > -32768.0)) return v <= -32768.0 ? INT16_MIN : 0;
    if (v >= 32767.0) return INT16_MAX;
    return static_cast<std::int16_t>(static_cast<std::int32_t>(v));
}

// Writes the 16-bit samples [first, first + n) at the start of MixBuffer from
// `mix`, a piece of a mix kept elsewhere: each what ScaleMix(factor) and then
// ConvertMixToPcm16 would make of it. For a mix finished piece by piece.
void StorePcm16(const float* mix, std::size_t n, float factor, std::size_t first);

// The 16-bit PCM that ConvertMixToPcm16 leaves at the start of MixBuffer.
const std::uint8_t* MixPcmBytes();
// Sample i of that PCM.
std::int16_t MixPcmSample(std::size_t i);

}  // namespace wave
