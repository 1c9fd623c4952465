// Playback of the rendered mix on the default wave output device.
#pragma once

#include "platform/wave_out.h"

namespace wave {

// Stops and releases the device if one is open, then clears both sample buffers.
// Returns MMSYSERR_NODRIVER when the device was lost during playback (the
// platform has said so when it happened), MMSYSERR_NOERROR otherwise.
MMRESULT ResetState();

// Queues the 16-bit PCM in MixBuffer (see RenderSongToPcm16) on the default
// device. Returns the result of opening the device; on success the device plays
// from MixBuffer until ResetState.
MMRESULT PlayMix();

}  // namespace wave
