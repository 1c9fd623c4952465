// The wave output calls on the host's audio, through a device whose reader
// takes the stream in real time (ALSA_CONFIG_PATH is set by the test runner).
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "platform/wave_out.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBytesPerSecond = 176400;

WAVEFORMATEX CdFormat() {
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = 2;
    format.nSamplesPerSec = 44100;
    format.nAvgBytesPerSec = kBytesPerSecond;
    format.nBlockAlign = 4;
    format.wBitsPerSample = 16;
    return format;
}

class WaveOutTest : public ::testing::Test {
protected:
    void SetUp() override {
        const WAVEFORMATEX format = CdFormat();
        ASSERT_EQ(waveOutOpen(&device, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL),
                  MMSYSERR_NOERROR);
    }
    void TearDown() override {
        if (device == nullptr) return;
        waveOutReset(device);
        waveOutUnprepareHeader(device, &header, sizeof header);
        EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    }

    void Queue(int seconds) {
        samples.assign(static_cast<std::size_t>(seconds) * kBytesPerSecond / 2, 1000);
        header = WAVEHDR{};
        header.lpData = reinterpret_cast<LPSTR>(samples.data());
        header.dwBufferLength = static_cast<DWORD>(samples.size() * 2);
        ASSERT_EQ(waveOutPrepareHeader(device, &header, sizeof header), MMSYSERR_NOERROR);
        ASSERT_EQ(waveOutWrite(device, &header, sizeof header), MMSYSERR_NOERROR);
    }

    HWAVEOUT device = nullptr;
    WAVEHDR header{};
    std::vector<std::int16_t> samples;
};

TEST_F(WaveOutTest, WriteReturnsAtOnceWithTheHeaderInQueue) {
    const auto before = Clock::now();
    Queue(30);
    EXPECT_LT(Clock::now() - before, std::chrono::seconds(5)) << "the write waited for playback";
    EXPECT_EQ(header.dwFlags, WHDR_PREPARED | WHDR_INQUEUE);
}

TEST_F(WaveOutTest, CloseAndUnprepareRefuseWhileABufferIsQueued) {
    Queue(30);
    EXPECT_EQ(waveOutClose(device), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutUnprepareHeader(device, &header, sizeof header), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutPrepareHeader(device, &header, sizeof header), WAVERR_STILLPLAYING);
    EXPECT_EQ(waveOutWrite(device, &header, sizeof header), WAVERR_STILLPLAYING);
}

TEST_F(WaveOutTest, ResetStopsPlaybackPromptlyAndMarksTheHeaderDone) {
    Queue(30);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto before = Clock::now();
    EXPECT_EQ(waveOutReset(device), MMSYSERR_NOERROR);
    // Dropped, ALSA's file plugin still writes out the two seconds it holds to its
    // real-time reader; a real device goes silent within 100 ms (tests/e2e/server_test.sh).
    EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(3000));
    EXPECT_EQ(header.dwFlags, WHDR_PREPARED | WHDR_DONE);
    EXPECT_EQ(waveOutUnprepareHeader(device, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(header.dwFlags, WHDR_DONE);
    EXPECT_EQ(waveOutClose(device), MMSYSERR_NOERROR);
    device = nullptr;
}

TEST_F(WaveOutTest, ABufferPlaysToTheEndAndIsMarkedDone) {
    Queue(1);
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    MMRESULT unprepared;
    while ((unprepared = waveOutUnprepareHeader(device, &header, sizeof header)) ==
               WAVERR_STILLPLAYING &&
           Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(unprepared, MMSYSERR_NOERROR);
    EXPECT_EQ(header.dwFlags, WHDR_DONE);
    // Played once, it can be queued again.
    ASSERT_EQ(waveOutPrepareHeader(device, &header, sizeof header), MMSYSERR_NOERROR);
    EXPECT_EQ(waveOutWrite(device, &header, sizeof header), MMSYSERR_NOERROR);
}

TEST_F(WaveOutTest, WriteNeedsAPreparedHeader) {
    WAVEHDR unprepared{};
    std::int16_t frame[2] = {0, 0};
    unprepared.lpData = reinterpret_cast<LPSTR>(frame);
    unprepared.dwBufferLength = sizeof frame;
    EXPECT_EQ(waveOutWrite(device, &unprepared, sizeof unprepared), WAVERR_UNPREPARED);
    EXPECT_EQ(waveOutPrepareHeader(device, &unprepared, sizeof unprepared - 1),
              MMSYSERR_INVALPARAM);
}

TEST(WaveOutHandleTest, UnknownHandlesAndBadArgumentsAreRefused) {
    HWAVEOUT bogus = reinterpret_cast<HWAVEOUT>(&bogus);
    WAVEHDR header{};
    EXPECT_EQ(waveOutWrite(bogus, &header, sizeof header), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutReset(bogus), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutClose(bogus), MMSYSERR_INVALHANDLE);
    EXPECT_EQ(waveOutClose(nullptr), MMSYSERR_INVALHANDLE);

    WAVEFORMATEX format = CdFormat();
    format.wBitsPerSample = 12;
    HWAVEOUT device = nullptr;
    EXPECT_EQ(waveOutOpen(&device, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL), WAVERR_BADFORMAT);
    EXPECT_EQ(device, nullptr);
}

}  // namespace
