// Wave output over ALSA's "default" PCM. Each open device owns a playback
// thread that feeds its queued buffers to ALSA in period-sized chunks, so that
// waveOutWrite returns at once and waveOutReset takes effect within a period.
//
// A device that stops taking frames (a sound server that went away) ends
// playback: its queued buffers are marked done, the reason waits for the prompt
// to report it, and the calls on it return MMSYSERR_NODRIVER from then on.
//
// ALSA's file plugin, which captures what is played into a file or a pipe, holds
// back the last buffer's worth of frames until the PCM is stopped or closed, then
// writes them in one go, and asserts (aborting the program) when that write comes
// up short: a full disk, a file size limit, a reader that goes away, a signal in
// mid-write. The playback thread therefore takes no signals, and the frames such
// a device holds back never wait for the stop: a reset takes them back unplayed
// before it drops the rest, and the end of the last buffer is followed by a
// buffer of silence, which pushes them out through writes whose failures are
// reported, and which is then taken back.
#include <alsa/asoundlib.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/linux/playback.h"
#include "platform/wave_out.h"

namespace {

constexpr const char* kDeviceName = "default";

// The song is rendered before it plays, so latency does not matter, only
// continuity: a large buffer rides out a busy machine. With both cores busy,
// PulseAudio and PipeWire clients at normal priority were seen stalled for up to
// 0.8 s, so 0.5 s still broke up and 1 s nearly never did; two seconds leave a
// margin. A reset drops what is buffered, and the short periods keep it prompt.
constexpr unsigned kBufferMicroseconds = 2000000;
constexpr unsigned kPeriodMicroseconds = 20000;

// Writes that fail with no frame accepted for this long mean the device is gone.
constexpr auto kGiveUpAfter = std::chrono::milliseconds(500);
constexpr auto kRetryInterval = std::chrono::milliseconds(20);
// A server may report a few frames as unplayed for ever: the final wait ends at
// most this long after the moment the smallest delay seen says the end is heard.
constexpr auto kEndMargin = std::chrono::milliseconds(300);

using Clock = std::chrono::steady_clock;

}  // namespace

struct HWAVEOUT__ {
    snd_pcm_t* pcm = nullptr;
    unsigned frame_bytes = 0;
    unsigned rate = 0;
    snd_pcm_uframes_t chunk_frames = 0;
    // The device writes out the frames it holds only when stopped (ALSA's file
    // plugin); `silence` pushes them out.
    bool holds_back = false;
    std::vector<char> silence;

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<WAVEHDR*> queue;  // guarded by mutex, as are the headers' dwFlags
    std::atomic<bool> resetting{false};
    bool closing = false;
    bool lost = false;  // the device stopped taking frames; guarded by mutex
    std::thread player;
};

namespace {

std::mutex devices_mutex;
std::set<HWAVEOUT> open_devices;  // guarded by devices_mutex
// Why the last open failed or the last device was lost; guarded by devices_mutex.
std::string last_error;
std::string lost_reason;  // a lost device's, until taken; guarded by devices_mutex

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

// How feeding a buffer to ALSA ended.
struct Outcome {
    enum Kind { kPlayed, kReset, kLost } kind;
    int error = 0;  // for kLost, the negative error code that ended it
};

// Sleeps for `interval` unless a reset comes first.
void PauseUnlessReset(HWAVEOUT dev, Clock::duration interval) {
    std::unique_lock lock(dev->mutex);
    dev->changed.wait_for(lock, interval, [dev] { return dev->resetting.load(); });
}

// Waits until ALSA has played what it holds, or a reset asks to stop. Bounded:
// the wait ends at the latest kEndMargin after the end that the smallest delay
// seen so far foretells, so a device that never reports its last frames played,
// or that freezes, cannot hold it for ever.
Outcome WaitUntilPlayed(HWAVEOUT dev) {
    // A buffer shorter than ALSA's never reached the start threshold.
    if (snd_pcm_state(dev->pcm) == SND_PCM_STATE_PREPARED) snd_pcm_start(dev->pcm);
    snd_pcm_sframes_t smallest = -1;
    Clock::time_point deadline{};
    while (!dev->resetting) {
        snd_pcm_sframes_t delay = 0;
        const int err = snd_pcm_delay(dev->pcm, &delay);
        if (err == -EPIPE) return {Outcome::kPlayed};  // ran dry: everything was played
        if (err < 0) return {Outcome::kLost, err};
        if (delay <= 0) return {Outcome::kPlayed};
        const auto now = Clock::now();
        if (smallest < 0 || delay < smallest) {
            smallest = delay;
            deadline = now + std::chrono::microseconds(1000000LL * delay / dev->rate) + kEndMargin;
        }
        if (now >= deadline) return {Outcome::kPlayed};
        PauseUnlessReset(dev,
                         std::min<Clock::duration>(std::chrono::milliseconds(20), deadline - now));
    }
    return {Outcome::kReset};
}

// Feeds frames to ALSA. Returns early when a reset asks to stop, or when the
// device stops taking frames: a failed recovery, or writes that keep failing with
// nothing accepted for kGiveUpAfter.
Outcome WriteFrames(HWAVEOUT dev, const char* data, snd_pcm_uframes_t frames) {
    snd_pcm_uframes_t done = 0;
    bool failing = false;  // since a failed write, the device has not been seen running
    Clock::time_point failing_since{};
    while (done < frames) {
        if (dev->resetting) return {Outcome::kReset};
        const snd_pcm_uframes_t n = std::min(dev->chunk_frames, frames - done);
        const snd_pcm_sframes_t written =
            snd_pcm_writei(dev->pcm, data + done * dev->frame_bytes, n);
        if (written >= 0) {
            done += static_cast<snd_pcm_uframes_t>(written);
            // Frames taken after a recovery only prove the device alive once it runs.
            if (snd_pcm_state(dev->pcm) == SND_PCM_STATE_RUNNING) failing = false;
            continue;
        }
        const int err = static_cast<int>(written);
        if (snd_pcm_recover(dev->pcm, err, 1) < 0) return {Outcome::kLost, err};
        // Recovered: an underrun takes one retry; a device that is gone may
        // "recover" every time and fail again at once, or after a buffer's worth.
        const auto now = Clock::now();
        if (!failing) {
            failing = true;
            failing_since = now;
            continue;
        }
        if (now - failing_since >= kGiveUpAfter) return {Outcome::kLost, err};
        PauseUnlessReset(dev, kRetryInterval);
    }
    return {Outcome::kPlayed};
}

// Feeds one buffer to ALSA and waits until it is played.
Outcome PlayBuffer(HWAVEOUT dev, const WAVEHDR& header) {
    const Outcome written =
        WriteFrames(dev, header.lpData, header.dwBufferLength / dev->frame_bytes);
    return written.kind == Outcome::kPlayed ? WaitUntilPlayed(dev) : written;
}

// Takes back the frames ALSA holds that have not been played, so that stopping
// the device drops them instead of writing them out.
void TakeBackUnplayed(HWAVEOUT dev) {
    const snd_pcm_sframes_t unplayed = snd_pcm_rewindable(dev->pcm);
    if (unplayed > 0) snd_pcm_rewind(dev->pcm, static_cast<snd_pcm_uframes_t>(unplayed));
}

// For a device that holds frames back: pushes them out behind a buffer of
// silence, then takes the silence back. A write that fails here is reported as
// for any other frames.
Outcome PushOutHeldFrames(HWAVEOUT dev) {
    const Outcome written =
        WriteFrames(dev, dev->silence.data(), dev->silence.size() / dev->frame_bytes);
    if (written.kind == Outcome::kPlayed) TakeBackUnplayed(dev);
    return written;
}

bool IsLastQueued(HWAVEOUT dev) {
    std::lock_guard lock(dev->mutex);
    return dev->queue.size() == 1 && !dev->resetting;
}

// Records why the device is lost, for waveOutGetErrorTextA and for the prompt to say.
void RecordLost(int err) {
    std::lock_guard lock(devices_mutex);
    last_error = std::string("ALSA device \"") + kDeviceName + "\": " + snd_strerror(err);
    lost_reason = last_error;
}

void PlayerThread(HWAVEOUT dev) {
    std::unique_lock lock(dev->mutex);
    for (;;) {
        dev->changed.wait(lock,
                          [dev] { return dev->closing || dev->resetting || !dev->queue.empty(); });
        if (dev->resetting) {
            lock.unlock();
            if (dev->holds_back) TakeBackUnplayed(dev);
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
        Outcome outcome = PlayBuffer(dev, *header);
        // Nothing more is queued: what the device holds back must not wait for the stop.
        if (outcome.kind == Outcome::kPlayed && dev->holds_back && IsLastQueued(dev)) {
            outcome = PushOutHeldFrames(dev);
        }
        if (outcome.kind == Outcome::kLost) RecordLost(outcome.error);
        lock.lock();
        if (outcome.kind == Outcome::kLost) {
            // Nothing more can be played: every queued buffer is done.
            dev->lost = true;
            for (WAVEHDR* queued : dev->queue)
                MarkDone(queued);
            dev->queue.clear();
        } else {
            if (dev->resetting) continue;  // the reset marks it done
            dev->queue.pop_front();
            MarkDone(header);
        }
        dev->changed.notify_all();
        SignalPlaybackEvent();
    }
}

// Asks for 16-bit interleaved frames at the format's rate and channels, about
// kBufferMicroseconds of buffering in periods of about kPeriodMicroseconds, and
// playback that starts once the buffer is full.
int Configure(snd_pcm_t* pcm, const WAVEFORMATEX& format, snd_pcm_uframes_t* period_frames,
              snd_pcm_uframes_t* buffer_frames) {
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    unsigned buffer_us = kBufferMicroseconds, period_us = kPeriodMicroseconds;
    int err = snd_pcm_hw_params_any(pcm, hw);
    if (err >= 0) err = snd_pcm_hw_params_set_rate_resample(pcm, hw, 1);
    if (err >= 0) err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED);
    if (err >= 0) err = snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16_LE);
    if (err >= 0) err = snd_pcm_hw_params_set_channels(pcm, hw, format.nChannels);
    if (err >= 0) err = snd_pcm_hw_params_set_rate(pcm, hw, format.nSamplesPerSec, 0);
    if (err >= 0) err = snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &buffer_us, nullptr);
    if (err >= 0) err = snd_pcm_hw_params_set_period_time_near(pcm, hw, &period_us, nullptr);
    if (err >= 0) err = snd_pcm_hw_params(pcm, hw);
    if (err >= 0) err = snd_pcm_hw_params_get_buffer_size(hw, buffer_frames);
    if (err >= 0) err = snd_pcm_hw_params_get_period_size(hw, period_frames, nullptr);

    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_sw_params_alloca(&sw);
    if (err >= 0) err = snd_pcm_sw_params_current(pcm, sw);
    if (err >= 0) err = snd_pcm_sw_params_set_start_threshold(pcm, sw, *buffer_frames);
    if (err >= 0) err = snd_pcm_sw_params_set_avail_min(pcm, sw, *period_frames);
    if (err >= 0) err = snd_pcm_sw_params(pcm, sw);
    return err;
}

// The playback thread blocks the signals that stop the program, so that they
// reach the thread that waits for them and never cut short a write of its own.
std::thread StartPlayerThread(HWAVEOUT dev) {
    sigset_t stop_signals, previous;
    sigemptyset(&stop_signals);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGALRM, SIGUSR1, SIGUSR2, SIGCHLD})
        sigaddset(&stop_signals, sig);
    pthread_sigmask(SIG_BLOCK, &stop_signals, &previous);
    std::thread player(PlayerThread, dev);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return player;
}

MMRESULT OpenFailure(MMRESULT result, const std::string& reason) {
    std::lock_guard lock(devices_mutex);
    last_error = reason;
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

    // A capture file that reaches the file size limit is a failed write, reported
    // as a lost device, not a signal that ends the program without a word.
    std::signal(SIGXFSZ, SIG_IGN);
    snd_lib_error_set_handler(SilentAlsaError);
    snd_pcm_t* pcm = nullptr;
    int err = snd_pcm_open(&pcm, kDeviceName, SND_PCM_STREAM_PLAYBACK, 0);
    if (err < 0) {
        return OpenFailure(MMSYSERR_NODRIVER, std::string("ALSA device \"") + kDeviceName +
                                                  "\": " + snd_strerror(err));
    }
    snd_pcm_uframes_t period_frames = 0, buffer_frames = 0;
    err = Configure(pcm, *pwfx, &period_frames, &buffer_frames);
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
    dev->holds_back = snd_pcm_type(pcm) == SND_PCM_TYPE_FILE;
    if (dev->holds_back) {
        // A buffer to push out what is held back, and a chunk more: a write that
        // came up short at the end of the first is retried, and fails, in the second.
        dev->silence.assign((buffer_frames + dev->chunk_frames) * dev->frame_bytes, 0);
    }
    try {
        dev->player = StartPlayerThread(dev);
    } catch (const std::system_error&) {
        // No thread to play with (out of memory, or of threads): no device either.
        snd_pcm_close(pcm);
        delete dev;
        return OpenFailure(MMSYSERR_NOMEM, "not enough memory to start playback");
    }
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
    if (hwo->lost) return MMSYSERR_NODRIVER;
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
    if (!hwo->queue.empty()) {
        hwo->resetting = true;
        hwo->changed.notify_all();
        hwo->changed.wait(lock, [hwo] { return !hwo->resetting; });
    }
    return hwo->lost ? MMSYSERR_NODRIVER : MMSYSERR_NOERROR;
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
            text = last_error.empty() ? "The device cannot be opened." : last_error;
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

std::string TakeLostDeviceReason() {
    std::lock_guard lock(devices_mutex);
    return std::exchange(lost_reason, std::string());
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
