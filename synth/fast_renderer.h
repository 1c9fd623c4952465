// The fast path: renders a list of tracks into MixBuffer with the same result,
// bit for bit, as calling RenderTrack for each of them in turn.
//
// Every track is processed as one walk over the buffer, in blocks: voice, its
// effect chain (voices.h) and the mix, with the echoes kept in ring buffers. Up to
// four tracks of one voice type run side by side as lanes, the sines are
// computed a vector at a time, and work that provably adds nothing (silence before
// the first note, echo tails that have died away) is skipped. TrackBuffer is
// used as working memory; its contents afterwards are not the reference path's.
//
// Where each plain step lives on the fast path (under synth/fast/):
//   plain step (synth/)                    fast function
//   RenderVoice, step codes 255/127/0/n    EnterStep (lane.cpp); a note-on's
//                                          frames replayed: FillNote, RecallNote
//   per-frame update: AdvanceFrame,        AdvanceFrames (voice_kernels.h); for
//     DecayAmplitude (voices.h)              lanes it does not cover, Phases (lane.cpp)
//   Waveform (track_renderer.cpp)          Waveform, PmLeadWaveform (voice_kernels.h)
//   sin via SineThen (sine.h)              SineToFloat, FloatMinusSine (sines.h)
//   v = w m, float(gain v) into the buffer Amplify (voice_kernels.h)
//   ApplyEcho twice (buffers.cpp)          Echoes, ChainTile, Chain (chain_kernels.h)
//   ApplyLowpass (buffers.cpp)             Smooth, ChainTile (chain_kernels.h)
//   MixTrack (buffers.cpp)                 MixLanes (chain_kernels.h)
//   StorePcm16 (buffers.cpp)               MixToPcm16 (chain_kernels.h)
//   RenderTrack, one call after another    RenderJobs (renderer.cpp), ordered by
//                                          the Scheduler (scheduler.h)
//   RenderTrack's effect chain by voice    Chain, by the voice's EffectChain
// The span words (step, block, segment, chunk, slot, batch) are set out in
// synth/fast/lane.h; the working memory's plan in synth/fast/working_memory.h;
// the kernels' vectors and instruction sets in synth/fast/simd.h.
#pragma once

#include <functional>
#include <optional>
#include <span>

#include "synth/track_renderer.h"

namespace wave {

struct RenderJob {
    VoiceType voice;
    SongTrack track;
    float volume;
    float left;
    float right;
    float detune;
};

// Called with the fraction of the work done, from 0 to 1, on the calling thread.
using RenderProgress = std::function<void(double)>;

// Which instructions the fast path may use: the best the processor has (AVX-512
// or AVX2 where there is one), AVX2 at most, or the build's baseline. All give
// the same bits.
enum class FastPathIsa { kBest, kAvx2, kBaseline };

// What becomes of the mix after RenderJobs. kFloats: it is used as it is, and
// every float equals what RenderTrack would leave. kPcm16: nothing more is added
// to it, and it is only converted to 16 bits by ConvertMixToPcm16, perhaps after
// scaling by a factor of at most 1. Then, once all the tracks have yet to add is
// provably below half a 16-bit step and the rest of the mix is still zero, the
// rest is left at zero: the same 16-bit samples, without rendering the echo
// tails that die away beneath them.
enum class MixUse { kFloats, kPcm16 };

// The fast path's vectorised sines: out[i] = float(sin(x[i])) and
// out[i] = float(minuend[i] - sin(x[i])), each equal to what SineThen gives.
void SineToFloat(const double* x, float* out, int n, FastPathIsa isa = FastPathIsa::kBest);
void FloatMinusSine(const float* minuend, const double* x, float* out, int n,
                    FastPathIsa isa = FastPathIsa::kBest);
// StorePcm16(mix, n, factor, first) with the fast path's vectorised conversion.
void StoreMixPcm16(const float* mix, int n, float factor, std::size_t first,
                   FastPathIsa isa = FastPathIsa::kBest);

// Adds the jobs into MixBuffer as RenderTrack would, in order, and advances
// NoiseRand as it would; prints nothing. `threads` > 1 spreads the work over
// that many threads; the result is the same for every count.
//
// With `pcm_scale` (and kPcm16) MixBuffer must hold only +0 before the jobs, as
// at the start of the process or after ClearBuffers, and RenderJobs leaves it as
// ScaleMix(*pcm_scale) and ConvertMixToPcm16 would: the 16-bit samples. It mixes
// each chunk apart and stores only its 16-bit samples, so MixBuffer is written
// up to the 16-bit samples of the end of the sound, and nothing past them.
// Returns where those 16-bit samples end: every one from there on is zero (and
// without `pcm_scale`, SND_BUF_LEN).
std::int64_t RenderJobs(std::span<const RenderJob> jobs, int threads = 1,
                        const RenderProgress& progress = {}, FastPathIsa isa = FastPathIsa::kBest,
                        MixUse use = MixUse::kFloats,
                        std::optional<float> pcm_scale = std::nullopt);

}  // namespace wave
