#include "tools/wave_render/libraries.h"

#include <dlfcn.h>

#include <cstring>
#include <optional>

namespace wave::render {

namespace {

// The names the dynamic loader knows the libraries by: the interface versions
// their headers describe.
constexpr const char* kSndfileLibrary = "libsndfile.so.1";
constexpr const char* kSoxrLibrary = "libsoxr.so.0";
constexpr const char* kSmfLibrary = "libsmf.so.0";

template <typename Calls>
struct Loaded {
    std::optional<Calls> calls;
    std::string error;
    bool short_of_memory = false;
};

// Opens `library`, or says why it cannot in `error`; `short_of_memory` when the
// library, or one it needs, is there but could not be mapped into memory.
void* Open(const char* library, std::string& error, bool& short_of_memory) {
    void* handle = dlopen(library, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char* why = dlerror();
        error = std::string("cannot load ") + library + (why ? std::string(": ") + why : "");
        short_of_memory = why != nullptr && (std::strstr(why, "failed to map segment") ||
                                             std::strstr(why, "Cannot allocate memory"));
    }
    return handle;
}

// Sets `call` to the function `name` of the library, or says why it cannot.
template <typename Call>
bool Bind(void* handle, const char* library, const char* name, Call& call, std::string& error) {
    void* address = dlsym(handle, name);
    if (address == nullptr) {
        error = std::string(library) + " has no " + name;
        return false;
    }
    static_assert(sizeof call == sizeof address);
    std::memcpy(&call, &address, sizeof call);
    return true;
}

// Opens `library` and sets its calls with bind_all(calls, bind), where
// bind(name, call) sets one call and says whether it could.
template <typename Calls, typename BindAll>
Loaded<Calls> Load(const char* library, BindAll bind_all) {
    Loaded<Calls> loaded;
    void* handle = Open(library, loaded.error, loaded.short_of_memory);
    if (handle == nullptr) return loaded;
    Calls calls{};
    const auto bind = [&](const char* name, auto& call) {
        return Bind(handle, library, name, call, loaded.error);
    };
    if (bind_all(calls, bind)) loaded.calls = calls;
    return loaded;
}

template <typename Calls>
const Calls* Answer(const Loaded<Calls>& loaded, std::string& error, bool* short_of_memory) {
    if (short_of_memory != nullptr) *short_of_memory = loaded.short_of_memory;
    if (!loaded.calls) {
        error = loaded.error;
        return nullptr;
    }
    return &*loaded.calls;
}

}  // namespace

const SndfileCalls* Sndfile(std::string& error, bool* short_of_memory) {
    static const Loaded<SndfileCalls> loaded =
        Load<SndfileCalls>(kSndfileLibrary, [](SndfileCalls& c, const auto& bind) {
            return bind("sf_format_check", c.format_check) &&
                   bind("sf_open_virtual", c.open_virtual) && bind("sf_close", c.close) &&
                   bind("sf_strerror", c.strerror) && bind("sf_set_string", c.set_string) &&
                   bind("sf_command", c.command) && bind("sf_writef_short", c.writef_short) &&
                   bind("sf_writef_float", c.writef_float);
        });
    return Answer(loaded, error, short_of_memory);
}

const SoxrCalls* Soxr(std::string& error, bool* short_of_memory) {
    static const Loaded<SoxrCalls> loaded =
        Load<SoxrCalls>(kSoxrLibrary, [](SoxrCalls& c, const auto& bind) {
            return bind("soxr_io_spec", c.io_spec) && bind("soxr_quality_spec", c.quality_spec) &&
                   bind("soxr_create", c.create) && bind("soxr_process", c.process) &&
                   bind("soxr_delete", c.destroy);
        });
    return Answer(loaded, error, short_of_memory);
}

const SmfCalls* Smf(std::string& error, bool* short_of_memory) {
    static const Loaded<SmfCalls> loaded =
        Load<SmfCalls>(kSmfLibrary, [](SmfCalls& c, const auto& bind) {
            return bind("smf_new", c.create) && bind("smf_delete", c.destroy) &&
                   bind("smf_set_format", c.set_format) && bind("smf_set_ppqn", c.set_ppqn) &&
                   bind("smf_track_new", c.track_new) && bind("smf_add_track", c.add_track) &&
                   bind("smf_event_new_from_pointer", c.event_new_from_pointer) &&
                   bind("smf_event_new_from_bytes", c.event_new_from_bytes) &&
                   bind("smf_event_new_textual", c.event_new_textual) &&
                   bind("smf_track_add_event_pulses", c.track_add_event_pulses) &&
                   bind("smf_track_add_eot_pulses", c.track_add_eot_pulses) &&
                   bind("smf_save", c.save);
        });
    return Answer(loaded, error, short_of_memory);
}

}  // namespace wave::render
