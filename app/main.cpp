// wave: renders the song, plays it, and waits for OK.
#include <cstdio>
#include <new>

#include "app/options.h"
#include "app/player.h"
#include "app/song.h"
#include "platform/memory.h"
#include "platform/process.h"
#include "platform/room.h"
#include "synth/buffers.h"

namespace {

constexpr const wchar_t* kCaption = L"Wave";
constexpr const wchar_t* kMessage =
    L"ぷれいなう : OKを押すと終了します。\n再生終わったらOK押して終了してください。";

}  // namespace

namespace {

int Run(int argc, char** argv) {
    using namespace wave;
    if (const int status = HandleArguments(argc, argv); status != kPlay) return status;

    // The buffers are static storage, zero at the start, and no device is open
    // yet: there is nothing to reset before the render. Clearing them anyway
    // would make the system give every page of them to the process at once.
    platform::AdviseLargePages(TrackBuffer, kBufferBytes);
    platform::AdviseLargePages(MixBuffer, kBufferBytes);
    std::printf("ALLOC = %d kbyte\n", static_cast<int>(kBufferBytes / 1024));
    std::printf("SND_UNIT_NUM = %d\n", SND_UNIT_NUM);
    RenderSongToPcm16();  // scaled and converted to 16 bits as it renders

    const MMRESULT opened = PlayMix();
    std::fflush(stdout);
    if (opened != MMSYSERR_NOERROR) {
        char reason[MAXERRORLENGTH];
        waveOutGetErrorTextA(opened, reason, sizeof reason);
        std::fprintf(stderr, "wave: cannot open the default audio device: %s\n", reason);
        ResetState();
        return 1;
    }

    MessageBoxW(nullptr, kMessage, kCaption, MB_OK);
    // A device lost in mid-play has been reported when it happened; the status says so too.
    return ResetState() == MMSYSERR_NOERROR ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace wave;
    // Before anything opens a file or a device: the report and the prompt must
    // not land in the audio stream, nor the prompt read its answer from it.
    platform::OpenClosedStandardDescriptors();
    if (!platform::HasRoomToStart()) {
        std::fputs("wave: out of memory\n", stderr);
        return 1;
    }
    try {
        return Run(argc, argv);
    } catch (const std::bad_alloc&) {
        std::fputs("wave: out of memory\n", stderr);
        return 1;
    }
}
