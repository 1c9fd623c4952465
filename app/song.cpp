#include "app/song.h"

#include "app/score.h"

#include <cstdio>
#include <initializer_list>
#include <vector>

#include "synth/buffers.h"
#include "synth/fast_renderer.h"

namespace wave {

namespace {

// Note numbers of the four-row chord cycle F#, G#, A#m, G# that the song turns on.
struct Triad {
    std::uint8_t root, fifth, third;
};
constexpr std::array<Triad, 4> kChordCycle = {
    {{42, 49, 58}, {44, 51, 60}, {46, 53, 61}, {44, 51, 60}}};

constexpr int Step(int row, int position) {
    return kRowSteps * row + position;
}

constexpr TrackData Silent() {
    TrackData t{};
    t[kSongSteps] = SND_END;
    return t;
}

// A one-note drum track: a row shape is the set of positions that strike, and
// the rows are given as ranges of rows sharing a shape.
using RowShape = std::initializer_list<int>;
struct RowRange {
    int first, last;
    RowShape shape;
};

constexpr TrackData Drums(std::uint8_t note, std::initializer_list<RowRange> rows) {
    TrackData t = Silent();
    for (const RowRange& range : rows) {
        for (int r = range.first; r <= range.last; ++r) {
            for (int p : range.shape)
                t[Step(r, p)] = note;
        }
    }
    return t;
}

constexpr RowShape N0 = {}, N1 = {4, 12}, N2 = {4, 12, 15}, N3 = {4, 12, 13, 14, 15},
                   N4 = {12, 13, 14, 15}, N5 = {14, 15};
constexpr RowShape K0 = {}, K1 = {0, 4, 8, 12}, K2 = {0, 4, 8, 12, 14},
                   K3 = {0, 4, 8, 12, 13, 14, 15}, K4 = {14, 15};

// Arpeggios: A(x, y, z) = x y z x y z ... x, a note on every step; row 15 is a break.
constexpr TrackData Arpeggios() {
    TrackData t = Silent();
    for (int r = 4; r < kSongSteps / kRowSteps; ++r) {
        if (r == 15) {
            t[Step(r, 0)] = SND_REST;
            continue;
        }
        const Triad c = kChordCycle[r % 4];
        const std::uint8_t notes[3] = {c.root, c.fifth, c.third};
        for (int p = 0; p < kRowSteps; ++p)
            t[Step(r, p)] = notes[p % 3];
    }
    return t;
}

// Bass: the chord's root on every fourth step.
constexpr TrackData Bass() {
    TrackData t = Silent();
    for (int r = 0; r < kSongSteps / kRowSteps; ++r) {
        for (int p = 0; p < kRowSteps; p += 4)
            t[Step(r, p)] = kChordCycle[r % 4].root;
    }
    return t;
}

// Off-beat stabs: 127 0 a 0 0 a 0 0 b 0 0 b 0 0 b 0, with (a, b) chosen by r mod 4.
struct Stab {
    std::uint8_t a, b;
};
constexpr TrackData Stabs(const std::array<Stab, 4>& cycle) {
    TrackData t = Silent();
    for (int r = 0; r < kSongSteps / kRowSteps; ++r) {
        const Stab s = cycle[r % 4];
        t[Step(r, 0)] = SND_REST;
        for (int p : {2, 5})
            t[Step(r, p)] = s.a;
        for (int p : {8, 11, 14})
            t[Step(r, p)] = s.b;
    }
    return t;
}

// The lead line, as notes with their lengths in steps. It enters at step 246
// with a pickup and then follows the chord cycle row by row.
struct LeadNote {
    std::uint8_t note;
    std::uint8_t steps;
};
constexpr int kLeadStart = Step(15, 6);
// clang-format off
constexpr LeadNote kLead[] = {
    // pickup
    {61, 2}, {63, 2}, {65, 2}, {68, 4},
    // theme
    {70, 4}, {68, 2}, {70, 2}, {73, 4}, {70, 2}, {68, 2},       // F#
    {72, 6}, {68, 2}, {63, 4}, {65, 2}, {68, 2},                // G#
    {70, 4}, {65, 2}, {61, 2}, {65, 4}, {68, 2}, {70, 2},       // A#m
    {68, 8}, {63, 4}, {60, 4},                                  // G#
    // theme, answered
    {70, 4}, {68, 2}, {70, 2}, {73, 4}, {72, 2}, {73, 2},       // F#
    {72, 6}, {70, 2}, {68, 4}, {63, 4},                         // G#
    {65, 4}, {61, 2}, {58, 2}, {61, 4}, {63, 4},                // A#m
    {60, 6}, {63, 2}, {68, 8},                                  // G#
    // bridge: long notes up high
    {73, 8}, {72, 4}, {70, 4},                                  // F#
    {72, 8}, {68, 4}, {63, 4},                                  // G#
    {65, 6}, {68, 2}, {70, 4}, {73, 4},                         // A#m
    {72, 4}, {70, 2}, {68, 2}, {63, 4}, {60, 2}, {63, 2},       // G#
    // bridge, answered
    {73, 8}, {72, 4}, {70, 2}, {68, 2},                         // F#
    {72, 6}, {68, 2}, {72, 4}, {73, 4},                         // G#
    {70, 4}, {73, 2}, {70, 2}, {65, 4}, {61, 4},                // A#m
    {63, 4}, {65, 4}, {68, 4}, {72, 2}, {70, 2},                // G#
    // theme again
    {70, 4}, {68, 2}, {70, 2}, {73, 4}, {70, 2}, {68, 2},       // F#
    {72, 6}, {68, 2}, {63, 4}, {65, 2}, {68, 2},                // G#
    {70, 4}, {65, 2}, {61, 2}, {65, 4}, {68, 2}, {70, 2},       // A#m
    {72, 4}, {68, 4}, {63, 8},                                  // G#
    // close, ending on the fifth so the echoes hang
    {61, 4}, {65, 2}, {68, 2}, {70, 4}, {73, 4},                // F#
    {72, 6}, {70, 2}, {68, 4}, {63, 4},                         // G#
    {65, 4}, {68, 4}, {70, 4}, {73, 4},                         // A#m
    {72, 8}, {68, 8},                                           // G#
};
// clang-format on

constexpr TrackData Lead() {
    TrackData t = Silent();
    int step = kLeadStart;
    for (const LeadNote& n : kLead) {
        t[step] = n.note;
        step += n.steps;
    }
    return t;
}

constexpr int LeadLength() {
    int steps = 0;
    for (const LeadNote& n : kLead)
        steps += n.steps;
    return steps;
}
static_assert(std::size(kLead) == 111, "the lead line has 111 note-ons");
static_assert(kLeadStart + LeadLength() == kSongSteps, "the lead line fills the song");
static_assert(kLead[std::size(kLead) - 1].steps >= 2, "the last step of the lead is a hold");

constexpr std::array<TrackData, kTrackCount> kTracks = {
    Drums(64, {{0, 6, N0},
               {7, 7, N5},
               {8, 10, N1},
               {11, 11, N2},
               {12, 14, N1},
               {15, 15, N4},
               {16, 18, N1},
               {19, 19, N2},
               {20, 22, N1},
               {23, 23, N3},
               {24, 26, N1},
               {27, 27, N3},
               {28, 30, N1},
               {31, 31, N3},
               {32, 34, N1},
               {35, 35, N3},
               {36, 38, N1},
               {39, 39, N3}}),
    Drums(40, {{0, 7, K0},
               {8, 10, K1},
               {11, 11, K2},
               {12, 14, K1},
               {15, 15, K4},
               {16, 22, K1},
               {23, 23, K3},
               {24, 30, K1},
               {31, 31, K3},
               {32, 38, K1},
               {39, 39, K3}}),
    Lead(),
    Arpeggios(),
    Bass(),
    Stabs({{{54, 54}, {56, 56}, {58, 58}, {58, 56}}}),
    Stabs({{{58, 58}, {60, 60}, {61, 61}, {60, 60}}}),
};

}  // namespace

SongTrack SongTrackData(int n) {
    return kTracks.at(static_cast<std::size_t>(n));
}

const char* SongTrackName(int n) {
    constexpr std::array<const char*, kTrackCount> kNames = {
        "snare", "kick", "lead", "arpeggio", "bass", "low stab", "high stab"};
    return kNames.at(static_cast<std::size_t>(n));
}

std::vector<SongNote> SongNotes() {
    std::vector<SongNote> notes;
    for (int track = 0; track < kTrackCount; ++track) {
        for (const ScoreNote& note : TrackNotes(SongTrackData(track)))
            notes.push_back({track, note.note, note.step, note.steps});
    }
    return notes;
}

namespace {

// The detune of every pass: from 0.997, d = float(d + 0.002) while d <= 1.004.
std::vector<float> DetunePasses() {
    std::vector<float> passes;
    float d = kFirstDetune;
    do {
        passes.push_back(d);
        d = static_cast<float>(double{d} + kDetuneStep);
    } while (d <= kLastDetune);
    return passes;
}

void ReportPass(float detune) {
    char line[32];
    std::snprintf(line, sizeof line, "detune = %f\n", detune);
    ReportLine(line);
}

}  // namespace

int DetunePassCount() {
    return static_cast<int>(DetunePasses().size());
}

int RenderSongReference(PlainSine sine) {
    const std::vector<float> passes = DetunePasses();
    for (float d : passes) {
        ReportPass(d);
        for (const ArrangementEntry& row : kArrangement) {
            RenderTrack(row.voice, SongTrackData(row.track), row.volume, row.left, row.right, d,
                        sine);
        }
    }
    const int count = static_cast<int>(passes.size());
    ScaleMix(static_cast<float>(1.0 / count));
    return count;
}

namespace {

// RenderSong, and with `to_pcm16` RenderSongToPcm16.
Pcm16Song RenderSongWith(MixUse use, int threads, FastPathIsa isa, const SongProgressFn& progress,
                         bool to_pcm16, int solo) {
    const std::vector<float> passes = DetunePasses();
    std::vector<RenderJob> jobs;
    for (float d : passes) {
        for (std::size_t r = 0; r < kArrangement.size(); ++r) {
            const ArrangementEntry& row = kArrangement[r];
            const bool heard = solo == kEveryRow || static_cast<std::size_t>(solo) == r;
            jobs.push_back({row.voice, SongTrackData(row.track), heard ? row.volume : 0.0f,
                            row.left, row.right, d});
        }
    }
    const int count = static_cast<int>(passes.size());
    const float scale = static_cast<float>(1.0 / count);
    // The tracks render side by side, so their lines follow the progress.
    std::size_t reported = 0;
    const std::int64_t pcm_end = RenderJobs(
        jobs, threads,
        [&](double done) {
            for (; reported < jobs.size() && done * jobs.size() >= reported + 1; ++reported) {
                if (reported % kArrangement.size() == 0) ReportPass(jobs[reported].detune);
                if (jobs[reported].voice <= kLastVoiceType) ReportTrackLine(jobs[reported].voice);
            }
            if (progress) {
                progress({done, static_cast<int>(reported), static_cast<int>(jobs.size())});
            }
        },
        isa, use, to_pcm16 ? std::optional<float>(scale) : std::nullopt);
    if (!to_pcm16) ScaleMix(scale);
    return {count, static_cast<std::size_t>(pcm_end)};
}

}  // namespace

int RenderSong(MixUse use, int threads, FastPathIsa isa, const SongProgressFn& progress, int solo) {
    return RenderSongWith(use, threads, isa, progress, false, solo).passes;
}

Pcm16Song RenderSongToPcm16(int threads, FastPathIsa isa, const SongProgressFn& progress,
                            int solo) {
    return RenderSongWith(MixUse::kPcm16, threads, isa, progress, true, solo);
}

}  // namespace wave
