// The modal message box on a terminal. The caption and text go to standard
// error, so standard output carries only the program's report.
//
// OK is a line on standard input, or the end of input when it is a terminal.
// When standard input is not a terminal, its end means "no one will answer":
// the box then closes once playback has finished, so `wave < /dev/null` plays
// the whole song. SIGINT, SIGTERM and SIGHUP stop playback, and the program then
// ends by that signal, so that a calling shell or script sees how it ended
// (status 128 + signal) and stops too. Once the box has closed, or a first stop
// signal has been taken, a stop signal ends the program at once: the stop then
// under way is not waited for, and no signal goes unanswered.
//
// Input that goes on without ever holding a line (`wave < /dev/zero`) is no
// answer: past kLongestAnswer bytes it is no longer read, as at its end.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>

#include "platform/linux/playback.h"
#include "platform/wave_out.h"

namespace {

// A program whose report is piped into a reader that goes away must go on
// playing, so a broken pipe is an error to ignore, not a reason to die.
const bool kBrokenPipeIgnored = [] {
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}();

constexpr std::size_t kLongestAnswer = 64 * 1024;

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

int signal_pipe[2] = {-1, -1};

void OnSignal(int sig) {
    const int saved = errno;
    const unsigned char byte = static_cast<unsigned char>(sig);
    [[maybe_unused]] ssize_t written = write(signal_pipe[1], &byte, 1);
    errno = saved;
}

// Ends the process by `sig`, so that the caller sees how it ended; safe in a handler.
void EndNow(int sig) {
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(sig, &action, nullptr);
    // Delivered as the handler returns, or at once where `sig` is not blocked.
    raise(sig);
}

void HandleStopSignals(void (*handler)(int)) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    for (int sig : kStopSignals)
        sigaction(sig, &action, nullptr);
}

void CatchStopSignals() {
    if (signal_pipe[0] < 0 && pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
    HandleStopSignals(OnSignal);
}

// From here on a stop signal ends the program at once; one that was caught while
// the box was open, and not yet acted on, does so now.
void EndOnStopSignals() {
    HandleStopSignals(EndNow);
    unsigned char sig = 0;
    if (signal_pipe[0] >= 0 && read(signal_pipe[0], &sig, 1) == 1) EndNow(sig);
}

[[noreturn]] void EndBySignal(int sig) {
    EndNow(sig);
    std::_Exit(128 + sig);  // not reached: the signal's default action ends the process
}

void AppendUtf8(std::string& out, wchar_t wc) {
    auto c = static_cast<char32_t>(wc);
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

std::string Utf8(const wchar_t* text) {
    std::string out;
    for (; text != nullptr && *text != 0; ++text)
        AppendUtf8(out, *text);
    return out;
}

void WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

// Acts on a stop signal that has been caught: stops playback and ends the
// program by the signal. Returns when none has been.
void ActOnStopSignal() {
    unsigned char sig = 0;
    if (read(signal_pipe[0], &sig, 1) == 1) {
        HandleStopSignals(EndNow);  // a second signal need not wait for this stop
        wave::platform::StopAllPlayback();
        EndBySignal(sig);
    }
}

// A device lost in mid-play is said at once, in one line; the prompt stays. A
// Ctrl-C reaches the whole process group, a device's reader process too, and
// then the device may be lost just before the signal arrives here: the signal
// is given a moment first, and when it comes, it ends the program without a word
// about the device.
void ReportLostDevice() {
    const std::string reason = wave::platform::TakeLostDeviceReason();
    if (reason.empty()) return;
    pollfd signal_fd = {signal_pipe[0], POLLIN, 0};
    int ready;
    do {
        ready = poll(&signal_fd, 1, 200);  // the signal's handler interrupts it
    } while (ready < 0 && errno == EINTR);
    if (ready > 0) ActOnStopSignal();
    WriteAll(STDERR_FILENO, std::string(program_invocation_short_name) +
                                ": lost the default audio device during playback: " + reason +
                                "\n");
}

// Waits for OK, a stop signal, or the end of playback with no one to answer.
int WaitForAnswer(bool terminal) {
    bool input_open = true;
    std::size_t unanswered = 0;  // bytes read since the last line
    for (;;) {
        // Playback over and no one to answer: the box closes, unless a stop signal is pending.
        const bool finished = !input_open && wave::platform::PlaybackIdle();

        pollfd fds[3] = {{signal_pipe[0], POLLIN, 0},
                         {wave::platform::PlaybackEventFd(), POLLIN, 0},
                         {input_open ? STDIN_FILENO : -1, POLLIN, 0}};
        if (poll(fds, 3, finished ? 0 : -1) < 0) {
            if (errno == EINTR) continue;
            return IDOK;
        }
        if (fds[0].revents & POLLIN) ActOnStopSignal();
        if (fds[1].revents) wave::platform::ClearPlaybackEvents();
        ReportLostDevice();
        if (finished) return IDOK;
        if (fds[2].revents & POLLNVAL) {
            input_open = false;
        } else if (fds[2].revents) {
            char bytes[256];
            const ssize_t n = read(STDIN_FILENO, bytes, sizeof bytes);
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            if (n > 0) {
                if (std::string(bytes, static_cast<std::size_t>(n)).find('\n') !=
                    std::string::npos) {
                    return IDOK;
                }
                unanswered += static_cast<std::size_t>(n);
                // Not a line anyone typed: no answer is coming from there.
                if (unanswered > kLongestAnswer) input_open = false;
                continue;
            }
            // End of input: a terminal's Ctrl-D or an unfinished last line is an answer.
            if (terminal || unanswered > 0) return IDOK;
            input_open = false;
        }
    }
}

}  // namespace

int MessageBoxW(HWND, const wchar_t* lpText, const wchar_t* lpCaption, UINT) {
    const bool terminal = isatty(STDIN_FILENO) == 1;
    std::string box = "[" + Utf8(lpCaption) + "]\n" + Utf8(lpText) + "\n";
    if (terminal) box += "[OK: press Enter]\n";
    WriteAll(STDERR_FILENO, box);

    CatchStopSignals();
    const int answer = WaitForAnswer(terminal);
    EndOnStopSignals();
    return answer;
}
