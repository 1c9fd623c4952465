// The song for the browser: renders it as the player does (one thread, the
// 16-bit mix) and hands the PCM to the page's script (web/render-worker.js).
#include <emscripten/emscripten.h>

#include <cstdint>

#include "app/song.h"
#include "synth/buffers.h"
#include "synth/track_renderer.h"  // ResetNoiseRand, SetReportLine

// Module.onRenderProgress(tracks_done, tracks_total), where the script set one.
EM_JS(void, PostRenderProgress, (int tracks_done, int tracks_total), {
    if (Module["onRenderProgress"]) Module["onRenderProgress"](tracks_done, tracks_total);
});

namespace {

// Every track count from the last one posted up to `tracks_done`, in order, so
// the page sees each finished track once.
void PostTracksDone(int& posted, const wave::SongProgress& progress) {
    while (posted < progress.tracks_done)
        PostRenderProgress(++posted, progress.tracks);
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
    int posted = 0;
    PostRenderProgress(posted, DetunePassCount() * kTrackCount);
    SetReportLine([](const char*) {});  // the page shows progress; the report lines stay unprinted
    RenderSongToPcm16(1, FastPathIsa::kBest, [&posted](const SongProgress& progress) {
        PostTracksDone(posted, progress);
    });
    SetReportLine(nullptr);
    return MixPcmBytes();
}

EMSCRIPTEN_KEEPALIVE int WebPcmBytes() {
    return static_cast<int>(wave::kPcmBytes);
}

EMSCRIPTEN_KEEPALIVE int WebSampleRate() {
    return wave::SND_RATE;
}

}  // extern "C"
