// The song for the browser: renders it as the player does (one thread, the
// 16-bit mix) and hands the PCM to the page's script (web/render-worker.js).
#include <emscripten/emscripten.h>

#include <cstdint>
#include <cstring>

#include "app/song.h"
#include "synth/buffers.h"
#include "synth/track_renderer.h"

// Module.onRenderProgress(tracks_done, tracks_total), where the script set one.
EM_JS(void, PostRenderProgress, (int tracks_done, int tracks_total), {
    if (Module["onRenderProgress"]) Module["onRenderProgress"](tracks_done, tracks_total);
});

namespace {

int tracks_done = 0;
int tracks_total = 0;

// The render reports a line per pass and per track; a track line is progress.
void CountTrackLine(const char* line) {
    constexpr char kTrackLine[] = "Render Track";
    if (std::strncmp(line, kTrackLine, sizeof kTrackLine - 1) == 0) {
        PostRenderProgress(++tracks_done, tracks_total);
    }
}

}  // namespace

extern "C" {

// Renders the whole song and returns the start of its 16-bit PCM: WebPcmBytes()
// bytes, stereo interleaved, little-endian. Every call starts from the state of
// a fresh process, so every call gives the same bytes.
EMSCRIPTEN_KEEPALIVE const std::uint8_t* WebRenderSong() {
    using namespace wave;
    ClearBuffers();
    ResetNoiseRand();
    tracks_done = 0;
    tracks_total = DetunePassCount() * kTrackCount;
    PostRenderProgress(tracks_done, tracks_total);
    SetReportLine(CountTrackLine);
    RenderSong(MixUse::kPcm16);
    SetReportLine(nullptr);
    ConvertMixToPcm16();
    return MixPcmBytes();
}

EMSCRIPTEN_KEEPALIVE int WebPcmBytes() {
    return static_cast<int>(wave::kPcmBytes);
}

EMSCRIPTEN_KEEPALIVE int WebSampleRate() {
    return wave::SND_RATE;
}

}  // extern "C"
