// The default skin's files, without a display: the generator draws exactly
// the pictures and sound that are committed, every picture and sound the
// template names is there, and the pictures are what the program's readers
// expect of them (the pointer with its transparency, grey copies of the
// buddy pictures, sprite sheets of whole frames, a playable ring).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <set>
#include <string>

#include "ZImage.h"
#include "ZPortable_Bytes.h"
#include "ZTestProcess.h"
#include "ZTestSupport.h"

using namespace zantest;

namespace {

std::filesystem::path skinFolder() { return std::filesystem::path(ZAN_TEST_DATA).parent_path().parent_path() / "skin"; }

struct Picture {
    ZImageFormat format;
    std::string pixels;
    const unsigned char* at(int x, int y) const {
        return reinterpret_cast<const unsigned char*>(pixels.data()) +
               (static_cast<std::size_t>(y) * format.width + x) * ZImageBytesPerPixel(format.type);
    }
};

Picture load(const std::string& name) {
    Picture p;
    const std::string bytes = ZTestReadFile((skinFolder() / name).string());
    EXPECT_TRUE(ZImageLoad(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()),
                           p.format, p.pixels))
        << name;
    return p;
}

// The files the skin names: image sources (a rectangle after the name
// selects a frame) and the sounds and pictures the program itself opens.
std::set<std::string> namedFiles() {
    const std::string xml = ZTestReadFile((skinFolder() / "template.xml").string());
    std::set<std::string> names = {"cursor.png", "phone.wav", "defaultprofile.png", "defaultprofile_BW.png"};
    for (const char* v : {"_a", "_v", "_av"}) {
        names.insert(std::string("defaultprofile") + v + ".png");
        names.insert(std::string("defaultprofile") + v + "_BW.png");
    }
    const std::regex source(R"re((src|handlesrc|backsrc)="([^"$(]+\.png))re", std::regex::icase);
    for (auto m = std::sregex_iterator(xml.begin(), xml.end(), source); m != std::sregex_iterator(); ++m)
        names.insert((*m)[2]);
    return names;
}

}  // namespace

TEST(SkinResources, TheGeneratorDrawsExactlyTheCommittedFiles) {
    ZTempDir out;
    const pid_t pid = spawn(ZAN_SKIN_TOOL, {out.path()}, "", -1, -1, -1);
    ASSERT_EQ(reapExitCode(pid, 60000), 0);
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(out.path())) {
        const std::string name = entry.path().filename().string();
        EXPECT_EQ(ZTestReadFile(entry.path().string()), ZTestReadFile((skinFolder() / name).string()))
            << name << " differs from the committed one: run zandrel-skin skin and commit the result";
        ++files;
    }
    // Everything in skin/ besides the template comes from the generator.
    int committed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(skinFolder()))
        if (entry.path().filename() != "template.xml") ++committed;
    EXPECT_EQ(files, committed);
}

TEST(SkinResources, EveryFileTheSkinAndTheProgramNameIsThere) {
    const std::set<std::string> names = namedFiles();
    EXPECT_TRUE(names.count("button.png"));
    EXPECT_TRUE(names.count("border_topleft.png"));
    for (const std::string& name : names) EXPECT_TRUE(std::filesystem::exists(skinFolder() / name)) << name;
}

TEST(SkinResources, PicturesAreWhatTheirReadersExpect) {
    // The sharing side takes only an RGBA pointer; its corner is see-through
    // and its tip opaque.
    const Picture cursor = load("cursor.png");
    ASSERT_EQ(cursor.format.type, ZIT_RGBA32);
    EXPECT_EQ(cursor.at(cursor.format.width - 1, 0)[3], 0);
    EXPECT_EQ(cursor.at(1, 2)[3], 255);

    // Each grey copy is its picture in grey, pixel for pixel.
    for (const char* v : {"", "_a", "_v", "_av"}) {
        const Picture colour = load(std::string("defaultprofile") + v + ".png");
        const Picture grey = load(std::string("defaultprofile") + v + "_BW.png");
        ASSERT_EQ(colour.format, grey.format) << v;
        bool tinted = false;
        for (int y = 0; y < grey.format.height; ++y)
            for (int x = 0; x < grey.format.width; ++x) {
                const unsigned char* g = grey.at(x, y);
                const unsigned char* c = colour.at(x, y);
                ASSERT_TRUE(g[0] == g[1] && g[1] == g[2]) << v << " at " << x << "," << y;
                EXPECT_NEAR(g[0], 0.299 * c[0] + 0.587 * c[1] + 0.114 * c[2], 1.0);
                tinted |= c[0] != c[1] || c[1] != c[2];
            }
        EXPECT_TRUE(tinted) << v;
    }
    // The badges tell the variants apart.
    EXPECT_NE(load("defaultprofile.png").pixels, load("defaultprofile_a.png").pixels);
    EXPECT_NE(load("defaultprofile_a.png").pixels, load("defaultprofile_v.png").pixels);

    // Sprite sheets are three frames across and two down, the size the
    // template's references give ("button.png(0,0,84,22)").
    const std::string xml = ZTestReadFile((skinFolder() / "template.xml").string());
    const std::regex frame(R"re(src="([a-z_]+\.png)\(0,0,([0-9]+),([0-9]+)\)")re");
    int sheets = 0;
    for (auto m = std::sregex_iterator(xml.begin(), xml.end(), frame); m != std::sregex_iterator(); ++m, ++sheets) {
        const Picture sheet = load((*m)[1]);
        EXPECT_EQ(sheet.format.width, 3 * std::stoi((*m)[2])) << (*m)[1];
        EXPECT_EQ(sheet.format.height, 2 * std::stoi((*m)[3])) << (*m)[1];
    }
    EXPECT_GT(sheets, 10);
}

TEST(SkinResources, TheRingIsPlayablePcm) {
    const std::string wav = ZTestReadFile((skinFolder() / "phone.wav").string());
    ASSERT_GT(wav.size(), 44u);
    EXPECT_EQ(wav.substr(0, 4), "RIFF");
    EXPECT_EQ(wav.substr(8, 8), "WAVEfmt ");
    auto le = [&](std::size_t at, int bytes) {
        std::uint32_t v = 0;
        for (int i = bytes - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(wav[at + i]);
        return v;
    };
    EXPECT_EQ(le(4, 4), wav.size() - 8);
    EXPECT_EQ(le(20, 2), 1u);   // PCM
    EXPECT_EQ(le(22, 2), 1u);   // mono
    EXPECT_EQ(le(34, 2), 16u);  // bits
    const std::uint32_t rate = le(24, 4);
    EXPECT_EQ(wav.substr(36, 4), "data");
    const std::uint32_t bytes = le(40, 4);
    ASSERT_EQ(bytes, wav.size() - 44);
    // A second or two of sound that rings: loud samples, and silence between.
    EXPECT_GT(bytes / 2.0 / rate, 1.0);
    EXPECT_LT(bytes / 2.0 / rate, 4.0);
    int loud = 0, quiet = 0;
    for (std::size_t i = 44; i + 1 < wav.size(); i += 2) {
        const int v = static_cast<std::int16_t>(le(i, 2));
        loud += std::abs(v) > 8000;
        quiet += v == 0;
    }
    EXPECT_GT(loud, static_cast<int>(rate / 10));
    EXPECT_GT(quiet, static_cast<int>(rate / 5));
}
