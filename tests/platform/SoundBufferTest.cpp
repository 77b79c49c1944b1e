// The looping sound buffer: over ALSA's file plugin the pump hands the ring
// to the device at the pace of the clock, and over the null backend the
// cursors follow the clock they are given.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "ZNonPortable.h"
#include "ZNonPortable_SoundBuffer.h"
#include "ZTestSupport.h"

namespace {

std::int64_t g_now = 0;
std::int64_t testClock() { return g_now; }

// A 16-bit ramp that never repeats within the buffer.
void fillRamp(ZSoundBuffer buffer, std::uint32_t bytes) {
    void *front = nullptr, *back = nullptr;
    std::uint32_t frontBytes = 0, backBytes = 0;
    ASSERT_EQ(0, ZSoundBufferLock(buffer, 0, 0, &front, &frontBytes, &back, &backBytes, true));
    ASSERT_EQ(frontBytes, bytes);
    ASSERT_EQ(back, nullptr);
    for (std::uint32_t i = 0; i < bytes / 2; ++i) {
        const std::int16_t s = static_cast<std::int16_t>(i);
        std::memcpy(static_cast<char*>(front) + 2 * i, &s, 2);
    }
    ASSERT_EQ(0, ZSoundBufferUnlock(buffer, front, frontBytes, back, backBytes));
}

}  // namespace

TEST(ZSoundBuffer, AlsaFileDeviceGetsTheRingAtThePaceOfTheClock) {
    ZTempDir dir;
    const std::string out = dir.file("out.raw");
    _ZSoundBufferSetDevice("zanout",
                           "pcm.zanout { type file slave { pcm { type null } } file \"" + out + "\" format raw }");
    ZSoundBuffer buffer = nullptr;
    ASSERT_EQ(0, ZSoundBufferOpen(&buffer, 8000, 16, 1, 16000));
    fillRamp(buffer, 16000);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(0, ZSoundBufferPlay(buffer));
    ZThreadSleep(500000);
    std::uint32_t play = 0, write = 0;
    ASSERT_EQ(0, ZSoundBufferGetCurrentPosition(buffer, &play, &write));
    ZSoundBufferClose(buffer);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    _ZSoundBufferSetDevice("default", "");
    EXPECT_GT(play, 6000u);  // about 500 ms of 16000 bytes a second, and never past the write cursor
    EXPECT_GT(write, play);
    const std::string written = ZTestReadFile(out);
    // The device took the clock's share, 40 ms of device buffer ahead at most.
    EXPECT_GE(written.size(), static_cast<std::size_t>(16000 * 0.4));
    EXPECT_LE(written.size(), static_cast<std::size_t>(16000 * (seconds + 0.06)));
    ASSERT_GE(written.size(), 400u);
    for (std::uint32_t i = 0; i < 200; ++i) {
        std::int16_t s;
        std::memcpy(&s, &written[2 * i], 2);
        ASSERT_EQ(s, static_cast<std::int16_t>(i));
    }
}

TEST(ZSoundBuffer, NullBackendCursorsFollowTheGivenClockAndWrapWithTheBuffer) {
    _ZSoundBufferSetDevice("", "");
    _ZSoundBufferSetClock(testClock);
    g_now = 7000000;
    ZSoundBuffer buffer = nullptr;
    ASSERT_EQ(0, ZSoundBufferOpen(&buffer, 8000, 16, 1, 16000));
    std::uint32_t play = 1, write = 1;
    ZSoundBufferGetCurrentPosition(buffer, &play, &write);
    EXPECT_EQ(play, 0u);  // not playing yet
    ZSoundBufferPlay(buffer);
    g_now += 250000;
    ZSoundBufferGetCurrentPosition(buffer, &play, &write);
    EXPECT_EQ(play, 4000u);
    EXPECT_EQ(write, 4160u);  // one 10 ms chunk ahead
    g_now += 1000000;
    ZSoundBufferGetCurrentPosition(buffer, &play, &write);
    EXPECT_EQ(play, 4000u);  // a whole buffer later: the same place
    void *front = nullptr, *back = nullptr;
    std::uint32_t frontBytes = 0, backBytes = 0;
    ASSERT_EQ(0, ZSoundBufferLock(buffer, 15000, 3000, &front, &frontBytes, &back, &backBytes, false));
    EXPECT_EQ(frontBytes, 1000u);
    EXPECT_EQ(backBytes, 2000u);
    ZSoundBufferUnlock(buffer, front, frontBytes, back, backBytes);
    EXPECT_LT(ZSoundBufferLock(buffer, 16000, 10, &front, &frontBytes, &back, &backBytes, false), 0);
    ZSoundBufferClose(buffer);
    ZSoundBuffer refused = nullptr;
    EXPECT_LT(ZSoundBufferOpen(&refused, 8000, 12, 1, 16000), 0);
    EXPECT_EQ(refused, nullptr);
    _ZSoundBufferSetClock(nullptr);
    _ZSoundBufferSetDevice("default", "");
}
