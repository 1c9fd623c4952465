#include "tests/support/song_facts.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include <unistd.h>

#include "app/score.h"
#include "app/song.h"
#include "synth/buffers.h"
#include "tests/support/sha256.h"

namespace wave::test {

namespace {

constexpr std::size_t kFrames = SND_BUF_LEN / 2;
constexpr const char* kPinnedPcmCopy = WAVE_TEST_BUILD_DIR "/golden_pcm.raw";

std::string Line(const char* format, auto value) {
    char line[64];
    std::snprintf(line, sizeof line, format, value);
    return line;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string FirstWord(const std::string& path) {
    std::istringstream in(ReadFile(path));
    std::string word;
    in >> word;
    return word;
}

// FNV-1a, 64 bits, over one channel's samples of frames [first, end).
std::uint64_t ChannelDigest(const std::int16_t* pcm, std::size_t first, std::size_t end,
                            int channel) {
    std::uint64_t h = 0xcbf29ce484222325u;
    for (std::size_t f = first; f < end; ++f) {
        const auto sample = static_cast<std::uint16_t>(pcm[2 * f + channel]);
        for (const std::uint8_t byte : {sample & 0xff, sample >> 8}) {
            h = (h ^ byte) * 0x100000001b3u;
        }
    }
    return h;
}

std::size_t StepEnd(std::size_t step, std::size_t frames) {
    return std::min(frames, (step + 1) * SND_UNIT_LEN);
}

// The step digest the pinned list gives for `step`: past its end, the song is silent.
StepDigest PinnedStep(const std::vector<StepDigest>& steps, std::size_t step, std::size_t frames) {
    if (step < steps.size()) return steps[step];
    const std::vector<std::int16_t> silence(2 * SND_UNIT_LEN, 0);
    const std::size_t length = StepEnd(step, frames) - step * SND_UNIT_LEN;
    return {ChannelDigest(silence.data(), 0, length, 0),
            ChannelDigest(silence.data(), 0, length, 1)};
}

const char* ChannelName(int channel) {
    return channel == 0 ? "left" : "right";
}

}  // namespace

std::vector<float> DetuneSchedule() {
    std::vector<float> schedule;
    for (float d = kFirstDetune; d <= kLastDetune; d = static_cast<float>(double{d} + kDetuneStep))
        schedule.push_back(d);
    return schedule;
}

SongCounts Counts() {
    const int tracks = static_cast<int>(kArrangement.size());
    const int passes = static_cast<int>(DetuneSchedule().size());
    return {tracks, passes, tracks * passes};
}

std::vector<std::string> RenderReport() {
    std::vector<std::string> lines;
    for (const float d : DetuneSchedule()) {
        lines.push_back(Line("detune = %f\n", d));
        for (const ArrangementEntry& row : kArrangement)
            lines.push_back(Line("Render Track ch[%d]\n", row.voice));
    }
    return lines;
}

std::vector<std::string> PlayerReport() {
    std::vector<std::string> lines = {Line("ALLOC = %d kbyte\n", int{kBufferBytes / 1024}),
                                      Line("SND_UNIT_NUM = %d\n", SND_UNIT_NUM)};
    const std::vector<std::string> render = RenderReport();
    lines.insert(lines.end(), render.begin(), render.end());
    return lines;
}

std::string PinnedPcmHash() {
    return FirstWord(WAVE_GOLDEN_DIR "/golden_pcm.sha256");
}

std::string PinnedWavHash() {
    return FirstWord(WAVE_GOLDEN_DIR "/golden_wav.sha256");
}

std::string TracksSoundingAt(int step) {
    const std::vector<SongNote> notes = SongNotes();
    std::string sounding;
    for (const ArrangementEntry& row : kArrangement) {
        for (const SongNote& n : notes) {
            if (n.track != row.track || step < n.first_step || step >= n.first_step + n.steps)
                continue;
            if (!sounding.empty()) sounding += ", ";
            sounding += std::to_string(row.track) + " " + SongTrackName(row.track) + " (" +
                        std::string(VoiceName(row.voice)) + ", note " + std::to_string(n.note) +
                        ")";
        }
    }
    return sounding.empty() ? "no track" : sounding;
}

std::vector<StepDigest> StepDigests(const std::int16_t* pcm, std::size_t frames) {
    std::size_t sound_end = 2 * frames;
    while (sound_end > 0 && pcm[sound_end - 1] == 0)
        --sound_end;
    const std::size_t sound_frames = (sound_end + 1) / 2;
    std::vector<StepDigest> steps;
    for (std::size_t first = 0; first < sound_frames; first += SND_UNIT_LEN) {
        const std::size_t end = std::min(frames, first + SND_UNIT_LEN);
        steps.push_back({ChannelDigest(pcm, first, end, 0), ChannelDigest(pcm, first, end, 1)});
    }
    return steps;
}

std::string FormatStepDigests(const std::vector<StepDigest>& digests) {
    std::string text;
    for (std::size_t s = 0; s < digests.size(); ++s) {
        char line[64];
        std::snprintf(line, sizeof line, "%zu %016llx %016llx\n", s,
                      static_cast<unsigned long long>(digests[s].left),
                      static_cast<unsigned long long>(digests[s].right));
        text += line;
    }
    return text;
}

std::vector<StepDigest> ParseStepDigests(const std::string& text) {
    std::istringstream in(text);
    std::vector<StepDigest> digests;
    std::size_t step;
    std::string left, right;
    while (in >> step >> left >> right) {
        if (step != digests.size() || left.size() != 16 || right.size() != 16) return {};
        StepDigest digest;
        for (auto [text, value] : {std::pair{&left, &digest.left}, {&right, &digest.right}}) {
            const char* end = text->data() + text->size();
            if (std::from_chars(text->data(), end, *value, 16).ptr != end) return {};
        }
        digests.push_back(digest);
    }
    return in.eof() ? digests : std::vector<StepDigest>{};
}

std::string FrameTime(std::size_t frame) {
    const std::size_t ms = frame * 1000 / SND_RATE;
    char text[32];
    std::snprintf(text, sizeof text, "%02zu:%02zu.%03zu", ms / 60000, ms / 1000 % 60, ms % 1000);
    return text;
}

std::string DescribeFirstDifference(const std::int16_t* pcm, std::size_t frames,
                                    const PinnedPcm& pinned) {
    std::ostringstream out;
    if (!pinned.samples.empty()) {
        auto was = [&](std::size_t i) { return i < pinned.samples.size() ? pinned.samples[i] : 0; };
        std::size_t i = 0;
        while (i < 2 * frames && pcm[i] == was(i))
            ++i;
        if (i == 2 * frames) return "";
        const std::size_t frame = i / 2;
        const std::size_t step = frame / SND_UNIT_LEN;
        out << "first differing frame " << frame << " at " << FrameTime(frame) << ", ";
        bool first = true;
        for (int c = 0; c < 2; ++c) {
            const std::size_t k = 2 * frame + c;
            if (pcm[k] == was(k)) continue;
            out << (first ? "" : " and ") << ChannelName(c) << " channel (pinned " << was(k)
                << ", now " << pcm[k] << ")";
            first = false;
        }
        out << "; step " << step
            << ", tracks with a note there: " << TracksSoundingAt(static_cast<int>(step));
        return out.str();
    }
    const std::vector<StepDigest> now = StepDigests(pcm, frames);
    const std::size_t steps = (frames + SND_UNIT_LEN - 1) / SND_UNIT_LEN;
    for (std::size_t s = 0; s < steps; ++s) {
        const StepDigest want = PinnedStep(pinned.steps, s, frames);
        const StepDigest got = PinnedStep(now, s, frames);
        const bool left = want.left != got.left, right = want.right != got.right;
        if (!left && !right) continue;
        const std::size_t first = s * SND_UNIT_LEN, last = StepEnd(s, frames) - 1;
        out << "first differing step " << s << ": frames " << first << " to " << last << ", "
            << FrameTime(first) << " to " << FrameTime(last) << ", "
            << (left && right ? "both channels"
                : left        ? "left channel"
                              : "right channel")
            << "; tracks with a note there: " << TracksSoundingAt(static_cast<int>(s))
            << " (the exact frame needs a copy of the pinned render, which a passing run keeps"
            << " in " << kPinnedPcmCopy << ")";
        return out.str();
    }
    return "";
}

PinnedPcm LoadPinnedPcm() {
    PinnedPcm pinned;
    pinned.steps = ParseStepDigests(ReadFile(WAVE_GOLDEN_DIR "/golden_pcm.steps"));
    const std::string copy = ReadFile(kPinnedPcmCopy);
    if (copy.empty() || copy.size() > kPcmBytes || copy.size() % 4 != 0) return pinned;
    std::vector<std::int16_t> samples(SND_BUF_LEN, 0);
    std::copy(copy.begin(), copy.end(), reinterpret_cast<char*>(samples.data()));
    // Only a copy of the pinned PCM itself is a reference.
    if (Sha256Hex(reinterpret_cast<const std::uint8_t*>(samples.data()), kPcmBytes) ==
        PinnedPcmHash()) {
        pinned.samples = std::move(samples);
    }
    return pinned;
}

void KeepPinnedPcmCopy(const std::int16_t* pcm, std::size_t frames) {
    if (frames != kFrames || !LoadPinnedPcm().samples.empty()) return;
    std::size_t end = 2 * frames;
    while (end > 0 && pcm[end - 1] == 0)
        --end;
    end += end % 2;  // whole frames
    // Written aside and renamed into place: the render tests may run side by side.
    const std::string path = kPinnedPcmCopy;
    const std::string part = path + "." + std::to_string(::getpid());
    {
        std::ofstream out(part, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(pcm), static_cast<std::streamsize>(2 * end));
        if (!out) return;
    }
    std::error_code error;
    std::filesystem::rename(part, path, error);
    if (error) std::filesystem::remove(part, error);
}

std::string WriteNewStepDigests(const std::int16_t* pcm, std::size_t frames) {
    const std::string path = WAVE_TEST_BUILD_DIR "/golden_pcm.steps.new";
    std::ofstream(path, std::ios::trunc) << FormatStepDigests(StepDigests(pcm, frames));
    return path;
}

}  // namespace wave::test
