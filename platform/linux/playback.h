// What the terminal prompt needs to know of the wave output devices.
#pragma once

#include <string>

namespace wave::platform {

// A descriptor that becomes readable whenever a queued buffer finishes.
int PlaybackEventFd();
// Drains PlaybackEventFd.
void ClearPlaybackEvents();
// True when no open device has a buffer queued.
bool PlaybackIdle();
// Stops every open device at once, as waveOutReset does, and closes it.
void StopAllPlayback();
// Why a device was lost during playback ("ALSA device ...: reason"), once: empty
// when none was, or when it has been taken already.
std::string TakeLostDeviceReason();

}  // namespace wave::platform
