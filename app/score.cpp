#include "app/score.h"

#include <cmath>

#include "synth/buffers.h"

namespace wave {

std::vector<ScoreNote> TrackNotes(SongTrack track) {
    const SongTrack steps = PlayedSteps(track);
    const int count = static_cast<int>(steps.size());
    std::vector<ScoreNote> notes;
    for (int k = 0; k < count; ++k) {
        const std::uint8_t code = steps[k];
        if (code == SND_HOLD || code == SND_REST) continue;
        int end = k + 1;
        while (end < count && steps[end] == SND_HOLD)
            ++end;
        notes.push_back({k, end - k, code});
    }
    return notes;
}

MidiPitch NearestMidiNote(int note) {
    const double hertz = double{NoteIncrement(note)} * SND_RATE;
    const double midi = 69 + 12 * std::log2(hertz / 440);
    const double nearest = std::round(midi);
    return {static_cast<int>(nearest), 100 * (midi - nearest)};
}

}  // namespace wave
