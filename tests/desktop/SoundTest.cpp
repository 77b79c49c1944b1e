#include <gtest/gtest.h>

#include "ZNonPortable.h"
#include "ZNonPortable_Sound.h"
#include "ZPortable_Text.h"
#include "ZTestSupport.h"

namespace {

void put16(std::string& s, unsigned v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>((v >> 8) & 0xFF);
}
void put32(std::string& s, std::uint32_t v) {
    put16(s, v & 0xFFFF);
    put16(s, v >> 16);
}

std::string chunk(const char* id, const std::string& body, std::uint32_t statedSize = 0xFFFFFFFF) {
    std::string c(id, 4);
    put32(c, statedSize == 0xFFFFFFFF ? static_cast<std::uint32_t>(body.size()) : statedSize);
    c += body;
    if (body.size() & 1) c += '\0';
    return c;
}

std::string fmt(unsigned tag, unsigned channels, std::uint32_t rate, unsigned bits) {
    std::string f;
    put16(f, tag);
    put16(f, channels);
    put32(f, rate);
    put32(f, rate * channels * bits / 8);
    put16(f, channels * bits / 8);
    put16(f, bits);
    return f;
}

std::string riff(const std::string& chunks) {
    std::string r = "RIFF";
    put32(r, static_cast<std::uint32_t>(4 + chunks.size()));
    return r + "WAVE" + chunks;
}

// 100 stereo 16-bit frames of a ramp.
std::string samples() {
    std::string s;
    for (unsigned i = 0; i < 200; ++i) put16(s, i * 300);
    return s;
}

}  // namespace

TEST(ZSoundReadings, FollowTheFirstControlOfEachKindWithTheirFallbacks) {
    const ZSoundControl mutedOn{ZSOUND_CONTROL_MUTE, 0, 1, 1, true};
    const ZSoundControl mutedOff{ZSOUND_CONTROL_MUTE, 0, 1, 0, true};
    const ZSoundControl muteUnread{ZSOUND_CONTROL_MUTE, 0, 1, 0, false};
    const struct {
        std::vector<ZSoundControl> controls;
        bool muted;
        float volume;
    } rows[] = {
        {{}, false, 1.0f},
        {{mutedOn}, true, 1.0f},
        {{mutedOff, mutedOn}, false, 1.0f},
        {{muteUnread}, true, 1.0f},
        {{{ZSOUND_CONTROL_VOLUME, 0, 65535, 0, true}}, false, 0.0f},
        {{{ZSOUND_CONTROL_VOLUME, 0, 65535, 65535, true}}, false, 1.0f},
        {{{ZSOUND_CONTROL_VOLUME, 100, 300, 150, true}}, false, 0.25f},
        {{{ZSOUND_CONTROL_VOLUME, 0, 65535, 100, false}}, false, 1.0f},
        {{{ZSOUND_CONTROL_VOLUME, 7, 7, 7, true}}, false, 1.0f},  // no range: not a division by zero
    };
    for (const auto& row : rows) {
        ZSoundLine line{"Master", row.controls};
        EXPECT_EQ(_ZSoundGetMute(line), row.muted);
        EXPECT_FLOAT_EQ(_ZSoundGetVolume(line), row.volume);
    }
}

TEST(ZSoundReadings, VolumeValuesAreTruncatedWithinTheControlRange) {
    EXPECT_EQ(_ZSoundVolumeValue(0, 65535, 0.5f), 32767u);
    EXPECT_EQ(_ZSoundVolumeValue(0, 65535, 0.0f), 0u);
    EXPECT_EQ(_ZSoundVolumeValue(0, 65535, 1.0f), 65535u);
    EXPECT_EQ(_ZSoundVolumeValue(100, 200, 0.259f), 125u);
}

TEST(ZSound, WithoutASoundCardTheFallbacksHold) {
    _ZSoundSetDevices("zan_no_such_card", "zan_no_such_card", "");
    ZLogCapture log;
    EXPECT_FALSE(ZSoundGetMute());
    EXPECT_FLOAT_EQ(ZSoundGetVolume(), 1.0f);
    ZSoundSetMute(false);
    ZSoundSetMute(true);
    EXPECT_TRUE(log.lines().empty());
    ZSoundSetVolume(0.5f);
    EXPECT_EQ(log.count(L"WARNING Couldn't set volume, ignoring."), 2) << "once per line";
}

TEST(ZWave, HeadersAreReadThroughABoundedChunkWalk) {
    const std::string data = samples();
    const std::string pcm = fmt(1, 2, 22050, 16);
    std::string huge = riff(chunk("fmt ", pcm) + chunk("data", data, 0x7FFFFFFF));
    const struct {
        const char* what;
        std::string bytes;
        bool ok;
        std::size_t length;
    } rows[] = {
        {"plain", riff(chunk("fmt ", pcm) + chunk("data", data)), true, data.size()},
        {"odd chunk before data", riff(chunk("fmt ", pcm) + chunk("LIST", "abc") + chunk("data", data)), true,
         data.size()},
        {"data longer than stated file", huge, true, data.size()},
        {"float samples", riff(chunk("fmt ", fmt(3, 2, 22050, 32)) + chunk("data", data)), false, 0},
        {"12-bit samples", riff(chunk("fmt ", fmt(1, 2, 22050, 12)) + chunk("data", data)), false, 0},
        {"no channels", riff(chunk("fmt ", fmt(1, 0, 22050, 16)) + chunk("data", data)), false, 0},
        {"short fmt", riff(chunk("fmt ", pcm.substr(0, 10)) + chunk("data", data)), false, 0},
        {"data before fmt", riff(chunk("data", data) + chunk("fmt ", pcm)), false, 0},
        {"chunk beyond the end", riff(chunk("fmt ", pcm, 4000)), false, 0},
        {"chunk size at the limit", riff(chunk("fmt ", pcm) + chunk("junk", "", 0xFFFFFFF0u)), false, 0},
        {"no data", riff(chunk("fmt ", pcm)), false, 0},
        {"not WAVE", "RIFF\x04\0\0\0AVI ", false, 0},
        {"empty", "", false, 0},
    };
    for (const auto& row : rows) {
        ZWaveInfo info;
        EXPECT_EQ(_ZSoundParseWave(row.bytes, info), row.ok) << row.what;
        if (row.ok) {
            EXPECT_EQ(info.channels, 2) << row.what;
            EXPECT_EQ(info.sampleRate, 22050) << row.what;
            EXPECT_EQ(info.bitsPerSample, 16) << row.what;
            EXPECT_EQ(info.dataLength, row.length) << row.what;
            EXPECT_EQ(row.bytes.substr(info.dataOffset, info.dataLength), data) << row.what;
        }
    }
}

TEST(ZSound, PlayingAWaveFileWritesItsSamplesToTheDevice) {
    ZTempDir dir;
    const std::string data = samples();
    const std::string wav = dir.file("phone.wav");
    ZTestWriteFile(wav, riff(chunk("fmt ", fmt(1, 2, 22050, 16)) + chunk("data", data)));
    const std::string out = dir.file("played.raw");
    _ZSoundSetDevices("zan_no_such_card", "zantest",
                      "pcm.zantest { type file slave { pcm { type null } } file \"" + out + "\" format raw }");
    ZLogCapture log;
    ZSoundPlay(ZFromUTF8(wav));
    ASSERT_TRUE(_ZSoundWaitIdle(10000));
    EXPECT_TRUE(log.lines().empty()) << ZToUTF8(log.lines().empty() ? L"" : log.lines()[0]);
    EXPECT_EQ(ZTestReadFile(out), data);
}

TEST(ZSound, AFileThatCannotBePlayedIsOneWarning) {
    ZTempDir dir;
    const std::string bad = dir.file("notes.wav");
    ZTestWriteFile(bad, "RIFF....WAVEfmt nonsense");
    _ZSoundSetDevices("zan_no_such_card", "null", "pcm.null { type null }");
    for (const std::string& path : {dir.file("missing.wav"), bad}) {
        ZLogCapture log;
        ZSoundPlay(ZFromUTF8(path));
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_NE(log.lines()[0].find(L"WARNING Unable to play sound '" + ZFromUTF8(path) + L"', ignoring."),
                  std::wstring::npos);
    }
    EXPECT_TRUE(_ZSoundWaitIdle(1000));
}
