// The song for the browser: renders it as the player does (the 16-bit mix, on
// one thread, or on two in wave_web_threads) and hands the PCM and the song's
// notes to the page's script (web/render-worker.js).
#include <emscripten/emscripten.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "app/song.h"
#include "synth/buffers.h"
#include "synth/track_renderer.h"  // ResetNoiseRand, SetReportLine

// Module.onRenderProgress(tracks_done, tracks_total), where the script set one.
EM_JS(void, PostRenderProgress, (int tracks_done, int tracks_total), {
    if (Module["onRenderProgress"]) Module["onRenderProgress"](tracks_done, tracks_total);
});

// The threads a render runs on: one, or two in the module built with threads.
#ifdef WAVE_WEB_THREADS
constexpr int kThreads = WAVE_WEB_THREADS;
#else
constexpr int kThreads = 1;
#endif

static_assert(sizeof(wave::SongNote) == 4 * sizeof(std::int32_t),
              "the page reads a note as four ints");

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
    // The render needs a MixBuffer of zeros (RenderSongToPcm16) and writes no
    // further than the sound's 16-bit samples, so only those of the last render
    // are cleared; TrackBuffer is working memory, written before it is read.
    static std::size_t written_samples = 0;
    std::memset(MixBuffer, 0, written_samples * sizeof(std::int16_t));
    ResetNoiseRand();
    int posted = 0;
    PostRenderProgress(posted, DetunePassCount() * kTrackCount);
    SetReportLine([](const char*) {});  // the page shows progress; the report lines stay unprinted
    written_samples =
        RenderSongToPcm16(kThreads, FastPathIsa::kBest, [&posted](const SongProgress& progress) {
            PostTracksDone(posted, progress);
        }).samples;
    SetReportLine(nullptr);
    return MixPcmBytes();
}

EMSCRIPTEN_KEEPALIVE int WebPcmBytes() {
    return static_cast<int>(wave::kPcmBytes);
}

EMSCRIPTEN_KEEPALIVE int WebRenderThreads() {
    return kThreads;
}

EMSCRIPTEN_KEEPALIVE int WebSampleRate() {
    return wave::SND_RATE;
}

// The song's notes for the page's piano roll: WebSongNoteCount() SongNotes,
// each four 32-bit ints (track, note, first step, steps), from here on.
EMSCRIPTEN_KEEPALIVE const wave::SongNote* WebSongNotes() {
    static const std::vector<wave::SongNote> notes = wave::SongNotes();
    return notes.data();
}

EMSCRIPTEN_KEEPALIVE int WebSongNoteCount() {
    return static_cast<int>(wave::SongNotes().size());
}

EMSCRIPTEN_KEEPALIVE int WebTrackCount() {
    return wave::kTrackCount;
}

// Track n's name, a NUL-terminated ASCII string.
EMSCRIPTEN_KEEPALIVE const char* WebTrackName(int n) {
    return wave::SongTrackName(n);
}

EMSCRIPTEN_KEEPALIVE int WebStepFrames() {
    return wave::SND_UNIT_LEN;
}

}  // extern "C"
