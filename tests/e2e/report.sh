# The lines a render reports on standard output, for the end-to-end tests: as
# the song data makes them (tests/support/song_facts.h), printed by the song_dump
# that WAVE_SONG_DUMP names (the build's tests set it).
expected_report() {
    "${WAVE_SONG_DUMP:?the song_dump tool is not named in WAVE_SONG_DUMP}" report
}
# The number of track renders the report holds, one "Render Track ch[N]" line each.
rendered_tracks() {
    expected_report | grep -c '^Render Track ch\['
}
