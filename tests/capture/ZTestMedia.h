// Small media files for capture tests: an uncompressed AVI with a test card
// and a tone, and YUV4MPEG2 clips, written byte by byte.
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace zantest {

inline void put16(std::string& s, std::uint32_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>((v >> 8) & 0xFF);
}
inline void put32(std::string& s, std::uint32_t v) {
    put16(s, v & 0xFFFF);
    put16(s, v >> 16);
}
inline std::string chunk(const char* id, const std::string& body) {
    std::string s(id, 4);
    put32(s, static_cast<std::uint32_t>(body.size()));
    s += body;
    if (body.size() & 1) s += '\0';
    return s;
}
inline std::string list(const char* type, const std::string& body) { return chunk("LIST", std::string(type, 4) + body); }

// Stored row r (of height) holds the byte r in every position; stored
// bottom-up, so the top row of the picture is the last stored row.
inline std::string testCardRow(int width, int topDownRow) { return std::string(width * 3, static_cast<char>(topDownRow)); }

// 16-bit mono samples of a 440 Hz tone that swells from half to full
// strength, so that no stretch of it repeats.
inline std::string tone(int samples, int rate) {
    std::string pcm;
    for (int i = 0; i < samples; ++i) {
        const double strength = 8000 * (0.5 + 0.5 * i / samples);
        put16(pcm, static_cast<std::uint16_t>(static_cast<std::int16_t>(strength * std::sin(2 * M_PI * 440.0 * i / rate))));
    }
    return pcm;
}

struct AviSpec {
    int width = 8, height = 6, fps = 20, frames = 3;
    bool withAudio = true;
    int rate = 22000;
    std::string pcm;
};

// RGB24 frames stored bottom-up (positive height), audio in one chunk.
inline std::string avi(const AviSpec& spec) {
    std::string avih;
    put32(avih, 1000000 / spec.fps);
    for (int i = 0; i < 3; ++i) put32(avih, 0);
    put32(avih, spec.frames);
    put32(avih, 0);
    put32(avih, spec.withAudio ? 2 : 1);
    put32(avih, 0);
    put32(avih, spec.width);
    put32(avih, spec.height);
    for (int i = 0; i < 4; ++i) put32(avih, 0);

    std::string vstrh = "vidsDIB ";
    for (int i = 0; i < 3; ++i) put32(vstrh, 0);
    put32(vstrh, 1);
    put32(vstrh, spec.fps);
    for (int i = 0; i < 7; ++i) put32(vstrh, 0);
    std::string bih;
    put32(bih, 40);
    put32(bih, spec.width);
    put32(bih, spec.height);
    put16(bih, 1);
    put16(bih, 24);
    put32(bih, 0);
    put32(bih, spec.width * spec.height * 3);
    for (int i = 0; i < 4; ++i) put32(bih, 0);
    std::string hdrl = chunk("avih", avih) + list("strl", chunk("strh", vstrh) + chunk("strf", bih));

    std::string movi;
    for (int f = 0; f < spec.frames; ++f) {
        std::string frame;
        for (int stored = 0; stored < spec.height; ++stored) frame += testCardRow(spec.width, spec.height - 1 - stored);
        movi += chunk("00db", frame);
    }
    if (spec.withAudio) {
        std::string astrh = "auds";
        put32(astrh, 0);
        for (int i = 0; i < 3; ++i) put32(astrh, 0);
        put32(astrh, 1);
        put32(astrh, spec.rate);
        for (int i = 0; i < 7; ++i) put32(astrh, 0);
        std::string wfx;
        put16(wfx, 1);
        put16(wfx, 1);
        put32(wfx, spec.rate);
        put32(wfx, spec.rate * 2);
        put16(wfx, 2);
        put16(wfx, 16);
        put16(wfx, 0);
        hdrl += list("strl", chunk("strh", astrh) + chunk("strf", wfx));
        movi += chunk("01wb", spec.pcm);
    }
    const std::string body = "AVI " + list("hdrl", hdrl) + list("movi", movi);
    std::string riff = "RIFF";
    put32(riff, static_cast<std::uint32_t>(body.size()));
    return riff + body;
}

// One 4:2:0 or 4:2:2 frame per entry of lumas; chroma planes hold U = 100 + row, V = 200.
inline std::string y4m(int width, int height, const char* chroma, const std::vector<int>& lumas) {
    std::string s = "YUV4MPEG2 W" + std::to_string(width) + " H" + std::to_string(height) + " F25:1 Ip A1:1 C" + chroma + "\n";
    const bool is420 = std::string(chroma).rfind("420", 0) == 0;
    const int chromaRows = is420 ? (height + 1) / 2 : height;
    for (int luma : lumas) {
        s += "FRAME\n";
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x) s += static_cast<char>(luma + x);
        for (int y = 0; y < chromaRows; ++y) s += std::string(width / 2, static_cast<char>(100 + y));
        for (int y = 0; y < chromaRows; ++y) s += std::string(width / 2, static_cast<char>(200));
    }
    return s;
}

}  // namespace zantest
