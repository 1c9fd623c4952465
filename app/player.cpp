#include "app/player.h"

#include "platform/memory.h"
#include "synth/buffers.h"

namespace wave {

namespace {

HWAVEOUT device = nullptr;
WAVEFORMATEX format;
WAVEHDR header;

}  // namespace

MMRESULT ResetState() {
    MMRESULT stopped = MMSYSERR_NOERROR;
    if (device != nullptr) {
        // Stop first: the device must not read the buffers that are cleared below.
        if (waveOutReset(device) == MMSYSERR_NODRIVER) stopped = MMSYSERR_NODRIVER;
        waveOutUnprepareHeader(device, &header, sizeof header);
        waveOutClose(device);
        device = nullptr;
    }
    // ClearBuffers, without bringing into memory the pages that the render never
    // touched: writing zeros over both buffers would make the process hold all
    // 127 MB of them on its way out.
    platform::ZeroPages(TrackBuffer, kBufferBytes);
    platform::ZeroPages(MixBuffer, kBufferBytes);
    return stopped;
}

MMRESULT PlayMix() {
    format = WAVEFORMATEX{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = 2;
    format.nSamplesPerSec = SND_RATE;
    format.nAvgBytesPerSec = 176400;
    format.nBlockAlign = 4;
    format.wBitsPerSample = 16;
    format.cbSize = 0;
    const MMRESULT opened = waveOutOpen(&device, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL);
    if (opened != MMSYSERR_NOERROR) {
        device = nullptr;
        return opened;
    }

    header = WAVEHDR{};
    header.lpData = reinterpret_cast<LPSTR>(MixBuffer);
    header.dwBufferLength = format.wBitsPerSample / 8 * SND_BUF_LEN;
    header.dwLoops = 1;
    waveOutPrepareHeader(device, &header, sizeof header);
    waveOutWrite(device, &header, sizeof header);
    return MMSYSERR_NOERROR;
}

}  // namespace wave
