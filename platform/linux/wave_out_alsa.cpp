// Wave output over ALSA's "default" PCM. Each open device owns a playback
// thread that feeds its queued buffers to ALSA in period-sized chunks, so that
// waveOutWrite returns at once and waveOutReset takes effect within a period.
#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "platform/linux/playback.h"
#include "platform/wave_out.h"

namespace {

constexpr const char* kDeviceName = "default";
constexpr unsigned kLatencyMicroseconds = 40000;

}  // namespace

struct HWAVEOUT__ {
    snd_pcm_t* pcm = nullptr;
    unsigned frame_bytes = 0;
    unsigned rate = 0;
    snd_pcm_uframes_t chunk_frames = 0;

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<WAVEHDR*> queue;  // guarded by mutex, as are the headers' dwFlags
    std::atomic<bool> resetting{false};
    bool closing = false;
    std::thread player;
};

namespace {

std::mutex devices_mutex;
std::set<HWAVEOUT> open_devices;  // guarded by devices_mutex
std::string last_open_error;      // guarded by devices_mutex

int event_pipe[2] = {-1, -1};
std::once_flag event_pipe_once;

void CreateEventPipe() {
    if (pipe2(event_pipe, O_CLOEXEC | O_NONBLOCK) != 0) event_pipe[0] = event_pipe[1] = -1;
}

void SignalPlaybackEvent() {
    std::call_once(event_pipe_once, CreateEventPipe);
    if (event_pipe[1] < 0) return;
    const char byte = 1;
    [[maybe_unused]] ssize_t written = write(event_pipe[1], &byte, 1);
}

// ALSA prints its own diagnostics to stderr; the caller reports failures itself.
void SilentAlsaError(const char*, int, const char*, int, const char*, ...) {}

bool IsOpen(HWAVEOUT hwo) {
    std::lock_guard lock(devices_mutex);
    return open_devices.count(hwo) != 0;
}

void MarkDone(WAVEHDR* header) {
    header->dwFlags = (header->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
}

// Waits until ALSA has played what it holds, or a reset asks to stop.
void WaitUntilPlayed(HWAVEOUT dev) {
    while (!dev->resetting) {
        snd_pcm_sframes_t delay = 0;
        if (snd_pcm_delay(dev->pcm, &delay) < 0 || delay <= 0) return;
        const auto wait = std::chrono::microseconds(
            std::min<long long>(20000, 1000000LL * delay / dev->rate + 1000));
        std::unique_lock lock(dev->mutex);
        dev->changed.wait_for(lock, wait, [dev] { return dev->resetting.load(); });
    }
}

// Feeds one buffer to ALSA. Returns early when a reset asks to stop.
void PlayBuffer(HWAVEOUT dev, const WAVEHDR& header) {
    const char* data = header.lpData;
    const snd_pcm_uframes_t frames = header.dwBufferLength / dev->frame_bytes;
    snd_pcm_uframes_t done = 0;
    while (done < frames && !dev->resetting) {
        const snd_pcm_uframes_t n = std::min(dev->chunk_frames, frames - done);
        snd_pcm_sframes_t written = snd_pcm_writei(dev->pcm, data + done * dev->frame_bytes, n);
        if (written < 0) written = snd_pcm_recover(dev->pcm, static_cast<int>(written), 1);
        if (written < 0) return;  // the device is gone: what is left cannot be played
        done += static_cast<snd_pcm_uframes_t>(written);
    }
    WaitUntilPlayed(dev);
}

void PlayerThread(HWAVEOUT dev) {
    std::unique_lock lock(dev->mutex);
    for (;;) {
        dev->changed.wait(lock,
                          [dev] { return dev->closing || dev->resetting || !dev->queue.empty(); });
        if (dev->resetting) {
            lock.unlock();
            snd_pcm_drop(dev->pcm);
            snd_pcm_prepare(dev->pcm);
            lock.lock();
            for (WAVEHDR* header : dev->queue)
                MarkDone(header);
            dev->queue.clear();
            dev->resetting = false;
            dev->changed.notify_all();
            SignalPlaybackEvent();
            continue;
        }
        if (dev->queue.empty()) return;  // closing
        WAVEHDR* header = dev->queue.front();
        lock.unlock();
        PlayBuffer(dev, *header);
        lock.lock();
        if (dev->resetting) continue;  // the reset marks it done
        dev->queue.pop_front();
        MarkDone(header);
        dev->changed.notify_all();
        SignalPlaybackEvent();
    }
}

MMRESULT OpenFailure(MMRESULT result, const std::string& reason) {
    std::lock_guard lock(devices_mutex);
    last_open_error = reason;
    return result;
}

}  // namespace

MMRESULT waveOutOpen(HWAVEOUT* phwo, UINT uDeviceID, const WAVEFORMATEX* pwfx, DWORD_PTR, DWORD_PTR,
                     DWORD fdwOpen) {
    if (phwo == nullptr || pwfx == nullptr) return MMSYSERR_INVALPARAM;
    if (uDeviceID != WAVE_MAPPER && uDeviceID != 0) return MMSYSERR_BADDEVICEID;
    if (fdwOpen != CALLBACK_NULL) return MMSYSERR_INVALFLAG;
    if (pwfx->wFormatTag != WAVE_FORMAT_PCM || pwfx->wBitsPerSample != 16 || pwfx->nChannels == 0 ||
        pwfx->nSamplesPerSec == 0 || pwfx->nBlockAlign != pwfx->nChannels * 2) {
        return WAVERR_BADFORMAT;
    }

    snd_lib_error_set_handler(SilentAlsaError);
    snd_pcm_t* pcm = nullptr;
    int err = snd_pcm_open(&pcm, kDeviceName, SND_PCM_STREAM_PLAYBACK, 0);
    if (err < 0) {
        return OpenFailure(MMSYSERR_NODRIVER, std::string("ALSA device \"") + kDeviceName +
                                                  "\": " + snd_strerror(err));
    }
    err = snd_pcm_set_params(pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED,
                             pwfx->nChannels, pwfx->nSamplesPerSec, 1, kLatencyMicroseconds);
    snd_pcm_uframes_t buffer_frames = 0, period_frames = 0;
    if (err >= 0) err = snd_pcm_get_params(pcm, &buffer_frames, &period_frames);
    if (err < 0) {
        snd_pcm_close(pcm);
        return OpenFailure(WAVERR_BADFORMAT, std::string("ALSA device \"") + kDeviceName +
                                                 "\" refused 16-bit PCM: " + snd_strerror(err));
    }

    auto* dev = new HWAVEOUT__;
    dev->pcm = pcm;
    dev->frame_bytes = pwfx->nBlockAlign;
    dev->rate = pwfx->nSamplesPerSec;
    dev->chunk_frames = std::max<snd_pcm_uframes_t>(period_frames, 64);
    dev->player = std::thread(PlayerThread, dev);
    {
        std::lock_guard lock(devices_mutex);
        open_devices.insert(dev);
    }
    *phwo = dev;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, WAVEHDR* pwh, UINT cbwh) {
    if (!IsOpen(hwo)) return MMSYSERR_INVALHANDLE;
    if (pwh == nullptr || cbwh < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
    std::lock_guard lock(hwo->mutex);
    if (pwh->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    pwh->dwFlags |= WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutWrite(HWAVEOUT hwo, WAVEHDR* pwh, UINT cbwh) {
    if (!IsOpen(hwo)) return MMSYSERR_INVALHANDLE;
    if (pwh == nullptr || cbwh < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
    std::lock_guard lock(hwo->mutex);
    if (!(pwh->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
    if (pwh->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    pwh->dwFlags = (pwh->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    hwo->queue.push_back(pwh);
    hwo->changed.notify_all();
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutReset(HWAVEOUT hwo) {
    if (!IsOpen(hwo)) return MMSYSERR_INVALHANDLE;
    std::unique_lock lock(hwo->mutex);
    if (hwo->queue.empty()) return MMSYSERR_NOERROR;
    hwo->resetting = true;
    hwo->changed.notify_all();
    hwo->changed.wait(lock, [hwo] { return !hwo->resetting; });
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, WAVEHDR* pwh, UINT cbwh) {
    if (!IsOpen(hwo)) return MMSYSERR_INVALHANDLE;
    if (pwh == nullptr || cbwh < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
    std::lock_guard lock(hwo->mutex);
    if (pwh->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    pwh->dwFlags &= ~WHDR_PREPARED;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutClose(HWAVEOUT hwo) {
    {
        std::lock_guard lock(devices_mutex);
        if (open_devices.count(hwo) == 0) return MMSYSERR_INVALHANDLE;
        std::lock_guard device_lock(hwo->mutex);
        if (!hwo->queue.empty()) return WAVERR_STILLPLAYING;
        open_devices.erase(hwo);
        hwo->closing = true;
        hwo->changed.notify_all();
    }
    hwo->player.join();
    snd_pcm_close(hwo->pcm);
    delete hwo;
    return MMSYSERR_NOERROR;
}

MMRESULT waveOutGetErrorTextA(MMRESULT mmrError, char* pszText, UINT cchText) {
    if (pszText == nullptr || cchText == 0) return MMSYSERR_INVALPARAM;
    std::string text;
    switch (mmrError) {
        case MMSYSERR_NOERROR:
            text = "The command completed successfully.";
            break;
        case MMSYSERR_BADDEVICEID:
            text = "The device identifier is out of range.";
            break;
        case MMSYSERR_INVALHANDLE:
            text = "The device handle is invalid.";
            break;
        case MMSYSERR_NOMEM:
            text = "Not enough memory.";
            break;
        case MMSYSERR_INVALFLAG:
            text = "The flags are invalid.";
            break;
        case MMSYSERR_INVALPARAM:
            text = "A parameter is invalid.";
            break;
        case WAVERR_STILLPLAYING:
            text = "A buffer is still playing.";
            break;
        case WAVERR_UNPREPARED:
            text = "The header is not prepared.";
            break;
        case MMSYSERR_NODRIVER:
        case WAVERR_BADFORMAT: {
            std::lock_guard lock(devices_mutex);
            text = last_open_error.empty() ? "The device cannot be opened." : last_open_error;
            break;
        }
        default:
            text = "Unknown error.";
            break;
    }
    std::snprintf(pszText, cchText, "%s", text.c_str());
    return MMSYSERR_NOERROR;
}

namespace wave::platform {

int PlaybackEventFd() {
    std::call_once(event_pipe_once, CreateEventPipe);
    return event_pipe[0];
}

void ClearPlaybackEvents() {
    char bytes[64];
    while (PlaybackEventFd() >= 0 && read(event_pipe[0], bytes, sizeof bytes) > 0) {
    }
}

bool PlaybackIdle() {
    std::lock_guard lock(devices_mutex);
    for (HWAVEOUT dev : open_devices) {
        std::lock_guard device_lock(dev->mutex);
        if (!dev->queue.empty()) return false;
    }
    return true;
}

void StopAllPlayback() {
    std::set<HWAVEOUT> devices;
    {
        std::lock_guard lock(devices_mutex);
        devices = open_devices;
    }
    for (HWAVEOUT dev : devices) {
        waveOutReset(dev);
        waveOutClose(dev);
    }
}

}  // namespace wave::platform
