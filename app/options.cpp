#include "app/options.h"

#include <cstdio>
#include <cstring>

namespace wave {

namespace {

constexpr int kUsageError = 2;

constexpr const char* kHelp =
    "usage: wave [--help | --version]\n"
    "\n"
    "Renders the built-in song (about 80 seconds of music and its echoes) and plays\n"
    "it on the default audio device; standard output gets a report of the render.\n"
    "\n"
    "To stop: answer OK in the message box \"Wave\" (on a terminal, Enter or Ctrl-D),\n"
    "or press Ctrl-C. With standard input from a pipe or a file, a line stops the\n"
    "song and the end of input lets it play to the end: 'wave < /dev/null'.\n"
    "\n"
    "To write the song to a file instead, use wave-render: it is installed beside\n"
    "wave, and a build from source has it in build/release/tools/wave-render\n"
    "('wave-render --help').\n"
    "\n"
    "options:\n"
    "  -h, --help   show this help and exit\n"
    "  --version    show the version and exit\n"
    "\n"
    "Exit status: 0 after OK or the end of the song, 1 when the audio device cannot\n"
    "be opened or stops working, 2 for a usage error.\n";

}  // namespace

int HandleArguments(int argc, char** argv) {
    if (argc < 2) return kPlay;
    const char* arg = argv[1];
    if (argc == 2 && (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0)) {
        std::fputs(kHelp, stdout);
        return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
    }
    if (argc == 2 && std::strcmp(arg, "--version") == 0) {
        std::printf("wave %s\n", WAVE_VERSION);
        return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : 1;
    }
    const bool is_option = arg[0] == '-' && arg[1] != 0;
    const bool known = std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0 ||
                       std::strcmp(arg, "--version") == 0;
    if (known) {
        std::fprintf(stderr, "wave: %s takes no arguments (see 'wave --help')\n", arg);
    } else {
        std::fprintf(stderr, "wave: %s '%s'; wave takes no arguments (see 'wave --help')\n",
                     is_option ? "unknown option" : "unexpected argument", arg);
    }
    return kUsageError;
}

}  // namespace wave
