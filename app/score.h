// The song as a score: the notes of each track, as a sequencer sees them.
#pragma once

#include <cstdint>
#include <vector>

#include "synth/track_renderer.h"

namespace wave {

// One note of a track: it starts at step `step` and lasts `steps` steps, until the
// track's next note-on, rest or end. `note` is the track's own note number.
struct ScoreNote {
    int step;
    int steps;
    std::uint8_t note;
};

// The notes of `track`, in order, from the steps RenderTrack reads.
std::vector<ScoreNote> TrackNotes(SongTrack track);

// The nearest MIDI note to note `note` (12-tone equal temperament, A4 = note 69
// at 440 Hz), and how far the note's pitch lies from it, in cents.
struct MidiPitch {
    int note;
    double cents;
};
MidiPitch NearestMidiNote(int note);

}  // namespace wave
