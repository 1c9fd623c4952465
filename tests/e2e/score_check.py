"""Reads a MIDI file with mido, a reader this project did not write, and checks it
against the song data that song_dump prints: per track the number of notes, the
first and last note's time and pitch, and the length of the whole.

usage: score_check.py SONG_MID SONG_DUMP_OUTPUT
"""
import math
import sys

import mido

STEP_SECONDS = 5512 / 44100
TICKS_PER_STEP = None  # from the file: a step is a sixteenth note


def expected_pitch(voice, note):
    """The drums' General MIDI notes, or the nearest MIDI note to the song's pitch."""
    if voice == 10:
        return 36  # bass drum 1
    if voice == 11:
        return 38  # acoustic snare
    hertz = 44100 * 0.00019219286 * 2 ** (note / 12)
    return round(69 + 12 * math.log2(hertz / 440))


def song_rows(dump):
    rows = []
    for line in open(dump):
        fields = line.split()
        voice, codes = int(fields[0]), [int(c) for c in fields[2:]]
        codes = codes[:codes.index(255)]
        notes = [(step, code) for step, code in enumerate(codes) if code not in (0, 127)]
        rows.append((voice, notes, len(codes)))
    return rows


def file_tracks(path):
    midi = mido.MidiFile(path)
    assert midi.type == 1, f"format {midi.type}, expected 1"
    tracks = []
    for track in midi.tracks:
        now, notes = 0, []
        for message in track:
            now += message.time
            if message.type == "note_on" and message.velocity > 0:
                notes.append((now, message.note, message.channel))
        tracks.append((track.name, notes))
    return midi, tracks


def main():
    midi, tracks = file_tracks(sys.argv[1])
    rows = song_rows(sys.argv[2])
    assert len(tracks) == len(rows) + 1, f"{len(tracks)} tracks for {len(rows)} rows and a tempo track"
    ticks_per_step = midi.ticks_per_beat // 4
    failures = []
    for number, ((voice, notes, steps), (name, got)) in enumerate(zip(rows, tracks[1:]), 1):
        want = [(step * ticks_per_step, expected_pitch(voice, note)) for step, note in notes]
        have = [(tick, pitch) for tick, pitch, _ in got]
        for what, w, h in (("notes", len(want), len(have)), ("first note", want[0], have[:1] and have[0]),
                           ("last note", want[-1], have[-1:] and have[-1])):
            if w != h:
                failures.append(f"track {number} ({name}): {what} {h}, expected {w}")
        drum_channels = {channel for _, _, channel in got if voice >= 10}
        if drum_channels - {9}:
            failures.append(f"track {number} ({name}): drums on channels {drum_channels}")
        print(f"track {number} {name}: {len(have)} notes, first {have[0]}, last {have[-1]}")
    song_seconds = rows[0][2] * STEP_SECONDS
    if abs(midi.length - song_seconds) > 0.001:
        failures.append(f"length {midi.length} s, expected {song_seconds} s")
    for failure in failures:
        print(failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
