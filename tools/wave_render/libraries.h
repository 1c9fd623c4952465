// The encoder libraries, loaded when a format first needs them. A WAV file is
// written without them, and loading them, with every codec they bring along,
// would be most of this program's start-up.
#pragma once

// smf.h includes glib.h inside extern "C", where glib's C++ parts do not compile;
// included first, glib.h is not included again there.
#include <glib.h>
// clang-format off
#include <smf.h>
// clang-format on
#include <sndfile.h>
#include <soxr.h>

#include <string>

namespace wave::render {

// The libsndfile calls this program makes.
struct SndfileCalls {
    decltype(&::sf_format_check) format_check;
    decltype(&::sf_open_virtual) open_virtual;
    decltype(&::sf_close) close;
    decltype(&::sf_strerror) strerror;
    decltype(&::sf_set_string) set_string;
    decltype(&::sf_command) command;
    decltype(&::sf_writef_short) writef_short;
    decltype(&::sf_writef_float) writef_float;
};

// The libsoxr calls this program makes.
struct SoxrCalls {
    decltype(&::soxr_io_spec) io_spec;
    decltype(&::soxr_quality_spec) quality_spec;
    decltype(&::soxr_create) create;
    decltype(&::soxr_process) process;
    decltype(&::soxr_delete) destroy;
};

// The libsmf calls this program makes, for the score.
struct SmfCalls {
    decltype(&::smf_new) create;
    decltype(&::smf_delete) destroy;
    decltype(&::smf_set_format) set_format;
    decltype(&::smf_set_ppqn) set_ppqn;
    decltype(&::smf_track_new) track_new;
    decltype(&::smf_add_track) add_track;
    decltype(&::smf_event_new_from_pointer) event_new_from_pointer;
    decltype(&::smf_event_new_from_bytes) event_new_from_bytes;
    decltype(&::smf_event_new_textual) event_new_textual;
    decltype(&::smf_track_add_event_pulses) track_add_event_pulses;
    decltype(&::smf_track_add_eot_pulses) track_add_eot_pulses;
    decltype(&::smf_save) save;
};

// The library's calls, loaded on the first call; null when it cannot be loaded,
// and then `error` says why, and `short_of_memory` whether it is there but did
// not fit in memory. Every later call gives the same answer.
const SndfileCalls* Sndfile(std::string& error, bool* short_of_memory = nullptr);
const SoxrCalls* Soxr(std::string& error, bool* short_of_memory = nullptr);
const SmfCalls* Smf(std::string& error, bool* short_of_memory = nullptr);

}  // namespace wave::render
