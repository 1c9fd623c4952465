#include "tools/wave_render/score.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>

#include "app/score.h"
#include "app/song.h"
#include "synth/buffers.h"
#include "tools/wave_render/libraries.h"

namespace wave::render {

namespace {

// A step is a sixteenth note: four to the quarter, at 96 pulses to the quarter.
constexpr int kPulsesPerQuarter = 96;
constexpr int kStepsPerQuarter = 4;
constexpr int kPulsesPerStep = kPulsesPerQuarter / kStepsPerQuarter;
// A quarter lasts four steps of SND_UNIT_LEN frames: 0.4999546 s, just over 120 a minute.
constexpr long kMicrosecondsPerQuarter =
    (2L * kStepsPerQuarter * SND_UNIT_LEN * 1000000L / SND_RATE + 1) / 2;

// The percussion channel, and the drum each noisy voice plays there: the pitch
// dropping sine is the kick (bass drum 1), the filtered noise the snare.
constexpr int kDrumChannel = 9;
int DrumNote(VoiceType voice) {
    return voice == VOICE_NOISE ? 38 : 36;
}

struct SmfDeleter {
    const SmfCalls* smf;
    void operator()(smf_t* file) const { smf->destroy(file); }
};

// Adds a meta event of `type` with `data` at pulse 0.
bool AddMeta(const SmfCalls& smf, smf_track_t* track, int type,
             std::initializer_list<unsigned char> data) {
    std::vector<unsigned char> bytes = {0xFF, static_cast<unsigned char>(type),
                                        static_cast<unsigned char>(data.size())};
    bytes.insert(bytes.end(), data.begin(), data.end());
    smf_event_t* event = smf.event_new_from_pointer(bytes.data(), static_cast<int>(bytes.size()));
    if (event == nullptr) return false;
    smf.track_add_event_pulses(track, event, 0);
    return true;
}

bool AddName(const SmfCalls& smf, smf_track_t* track, const std::string& name) {
    smf_event_t* event = smf.event_new_textual(0x03, name.c_str());
    if (event == nullptr) return false;
    smf.track_add_event_pulses(track, event, 0);
    return true;
}

bool AddShort(const SmfCalls& smf, smf_track_t* track, int pulses, int status, int data1,
              int data2) {
    smf_event_t* event = smf.event_new_from_bytes(status, data1, data2);
    if (event == nullptr) return false;
    smf.track_add_event_pulses(track, event, pulses);
    return true;
}

// Reads the whole of `fd` from its start.
bool ReadBack(int fd, std::vector<unsigned char>& bytes) {
    const off_t size = lseek(fd, 0, SEEK_END);
    if (size < 0 || lseek(fd, 0, SEEK_SET) != 0) return false;
    bytes.resize(static_cast<std::size_t>(size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = read(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

bool IsScoreFormat(std::string_view name) {
    const std::string lower = Lower(name);
    return lower == "mid" || lower == "midi";
}

bool EncodeScore(EncodedFile& out, std::string& error) {
    const SmfCalls* smf = Smf(error);
    if (smf == nullptr) return false;
    const std::unique_ptr<smf_t, SmfDeleter> file(smf->create(), SmfDeleter{smf});
    if (!file || smf->set_format(file.get(), 1) != 0 ||
        smf->set_ppqn(file.get(), kPulsesPerQuarter) != 0) {
        error = "cannot start a MIDI file";
        return false;
    }
    const int end = kSongSteps * kPulsesPerStep;
    float loudest = 0;
    for (const ArrangementEntry& row : kArrangement)
        loudest = std::max(loudest, row.volume);

    // The tempo track: the song's name, 4/4 and the tempo.
    smf_track_t* tempo = smf->track_new();
    if (tempo == nullptr) {
        error = "cannot add a MIDI track";
        return false;
    }
    smf->add_track(file.get(), tempo);
    const long us = kMicrosecondsPerQuarter;
    bool ok = AddName(*smf, tempo, "Wave") && AddMeta(*smf, tempo, 0x58, {4, 2, 24, 8}) &&
              AddMeta(*smf, tempo, 0x51,
                      {static_cast<unsigned char>(us >> 16), static_cast<unsigned char>(us >> 8),
                       static_cast<unsigned char>(us)}) &&
              smf->track_add_eot_pulses(tempo, end) == 0;

    int melodic_channel = 0;
    for (const ArrangementEntry& row : kArrangement) {
        if (!ok) break;
        smf_track_t* track = smf->track_new();
        if (track == nullptr) {
            ok = false;
            break;
        }
        smf->add_track(file.get(), track);
        const bool drum = row.voice >= VOICE_JITTER_SINE;
        const int channel = drum ? kDrumChannel : melodic_channel++;
        const int velocity =
            std::max(1, static_cast<int>(std::lround(127.0 * row.volume / loudest)));
        ok = AddName(*smf, track, std::string(VoiceName(row.voice)));
        for (const ScoreNote& note : TrackNotes(SongTrackData(row.track))) {
            if (!ok) break;
            const int pitch = drum ? DrumNote(row.voice) : NearestMidiNote(note.note).note;
            const int on = note.step * kPulsesPerStep;
            const int off = (note.step + note.steps) * kPulsesPerStep;
            ok = AddShort(*smf, track, on, 0x90 | channel, pitch, velocity) &&
                 AddShort(*smf, track, off, 0x80 | channel, pitch, 0);
        }
        ok = ok && smf->track_add_eot_pulses(track, end) == 0;
    }
    if (!ok) {
        error = "cannot add the song's events to a MIDI file";
        return false;
    }

    // The library writes only to a named file: an unnamed one in memory, read back.
    const int fd = memfd_create("wave-render-score", MFD_CLOEXEC);
    if (fd < 0) {
        error = std::string("cannot make room for the MIDI file: ") + std::strerror(errno);
        return false;
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const bool saved = smf->save(file.get(), path.c_str()) == 0 && ReadBack(fd, out.head);
    close(fd);
    if (!saved) {
        error = "cannot write the MIDI file";
        return false;
    }
    out.tail = {};
    return true;
}

}  // namespace wave::render
