#include "ZSkinArt.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {

// The skin's palette.
const ZSkinColor kFrameDark = ZSkinParseColor("#1F3A5F");
const ZSkinColor kFrameLight = ZSkinParseColor("#6F9AD0");
const ZSkinColor kFrameBody = ZSkinParseColor("#3D6A9E");
const ZSkinColor kFrameInner = ZSkinParseColor("#A9C0DD");
const ZSkinColor kWhite = ZSkinParseColor("#FFFFFF");
const ZSkinColor kBlack = ZSkinParseColor("#000000");
const ZSkinColor kClear = ZSkinParseColor("#00000000");

// Colour of a window edge at a distance from its outer line.
ZSkinColor edgeColor(int distance) {
    if (distance <= 0) return kFrameDark;
    if (distance >= ZSKIN_EDGE - 1) return kFrameInner;
    return ZSkinMix(kFrameLight, kFrameBody, (distance - 1) / static_cast<double>(ZSKIN_EDGE - 3));
}

// The eight pieces of the window frame: corners ZSKIN_EDGE square, edges one
// pixel long, stretched by the template.
std::vector<ZSkinPicture> drawBorder() {
    struct Piece {
        const char* name;
        int width, height;
        int (*distance)(int x, int y);
    };
    constexpr int e = ZSKIN_EDGE - 1;
    const Piece pieces[] = {
        {"topleft", ZSKIN_EDGE, ZSKIN_EDGE, [](int x, int y) { return std::min(x, y); }},
        {"top", 1, ZSKIN_EDGE, [](int, int y) { return y; }},
        {"topright", ZSKIN_EDGE, ZSKIN_EDGE, [](int x, int y) { return std::min(e - x, y); }},
        {"left", ZSKIN_EDGE, 1, [](int x, int) { return x; }},
        {"right", ZSKIN_EDGE, 1, [](int x, int) { return e - x; }},
        {"bottomleft", ZSKIN_EDGE, ZSKIN_EDGE, [](int x, int y) { return std::min(x, e - y); }},
        {"bottom", 1, ZSKIN_EDGE, [](int, int y) { return e - y; }},
        {"bottomright", ZSKIN_EDGE, ZSKIN_EDGE, [](int x, int y) { return std::min(e - x, e - y); }},
    };
    std::vector<ZSkinPicture> out;
    for (const Piece& p : pieces) {
        ZSkinCanvas c(p.width, p.height, kClear);
        for (int y = 0; y < p.height; ++y)
            for (int x = 0; x < p.width; ++x) c.fill({x, y, x + 1, y + 1}, edgeColor(p.distance(x, y)));
        out.push_back({std::string("border_") + p.name + ".png", c});
    }
    return out;
}

// A button face in one of its states.
struct Face {
    ZSkinColor top, bottom, frame, highlight;
};

// A sprite sheet of w x h frames: columns normal, hover, disabled; rows up,
// pushed (the pushed face lit from below and its highlight gone). The glyph,
// when given, is drawn in every frame at the frame's origin.
ZSkinCanvas drawButtonSheet(int w, int h, const Face (&faces)[3],
                            void (*glyph)(ZSkinCanvas&, int x, int y, ZSkinColor)) {
    ZSkinCanvas sheet(w * 3, h * 2, kClear);
    for (int row = 0; row < 2; ++row)
        for (int col = 0; col < 3; ++col) {
            const Face& f = faces[col];
            const ZRect r = {col * w, row * h, col * w + w, row * h + h};
            if (row == 0) {
                sheet.verticalGradient(r, f.top, f.bottom);
                sheet.fill({r.left + 1, r.top + 1, r.right - 1, r.top + 2}, f.highlight);
            } else {
                sheet.verticalGradient(r, f.bottom, f.top);
            }
            sheet.frame(r, f.frame);
            if (glyph) glyph(sheet, r.left + (row ? 1 : 0), r.top + (row ? 1 : 0), col == 2 ? f.frame : kWhite);
        }
    return sheet;
}

Face face(const char* top, const char* bottom, const char* frame, const char* highlight) {
    return {ZSkinParseColor(top), ZSkinParseColor(bottom), ZSkinParseColor(frame), ZSkinParseColor(highlight)};
}

const Face kDisabled = face("#D5D9DE", "#B3B9C1", "#8A929C", "#E8EBEE");

std::vector<ZSkinPicture> drawButtons() {
    const Face blue[3] = {face("#6C9BDB", "#3565A8", "#1F3A5F", "#A6C4EC"),
                          face("#8AB4EC", "#4A7CC2", "#1F3A5F", "#C2D8F4"), kDisabled};
    const Face green[3] = {face("#6BC47F", "#2E8A48", "#1C4F2A", "#A8E0B4"),
                           face("#86D698", "#3DA05A", "#1C4F2A", "#C4ECCD"), kDisabled};
    const Face red[3] = {face("#E27A72", "#B23A31", "#5E1B16", "#F2B3AE"),
                         face("#EE958E", "#C84B42", "#5E1B16", "#F7CCC9"), kDisabled};
    auto cross = [](ZSkinCanvas& c, int x, int y, ZSkinColor colour) {
        for (int i = 4; i < ZSKIN_SMALL_BUTTON - 4; ++i) {
            c.fill({x + i, y + i, x + i + 1, y + i + 1}, colour);
            c.fill({x + ZSKIN_SMALL_BUTTON - 1 - i, y + i, x + ZSKIN_SMALL_BUTTON - i, y + i + 1}, colour);
        }
    };
    auto bar = [](ZSkinCanvas& c, int x, int y, ZSkinColor colour) {
        c.fill({x + 4, y + ZSKIN_SMALL_BUTTON - 6, x + ZSKIN_SMALL_BUTTON - 4, y + ZSKIN_SMALL_BUTTON - 4}, colour);
    };
    const int w = ZSKIN_BUTTON_WIDTH, h = ZSKIN_BUTTON_HEIGHT, s = ZSKIN_SMALL_BUTTON;
    return {{"button.png", drawButtonSheet(w, h, blue, nullptr)},
            {"button_green.png", drawButtonSheet(w, h, green, nullptr)},
            {"button_red.png", drawButtonSheet(w, h, red, nullptr)},
            {"button_close.png", drawButtonSheet(s, s, red, cross)},
            {"button_minimize.png", drawButtonSheet(s, s, blue, bar)}};
}

// Scroll bar pictures: a handle with three grip lines and a tiled track, in
// both directions.
std::vector<ZSkinPicture> drawScroll() {
    const ZSkinColor track = ZSkinParseColor("#DCE3EC");
    const ZSkinColor groove = ZSkinParseColor("#B7C3D2");
    const ZSkinColor grip = ZSkinParseColor("#1F3A5F");
    const int t = ZSKIN_SCROLL_THICKNESS, l = ZSKIN_SCROLL_HANDLE;

    ZSkinCanvas handle(t, l, kClear);
    handle.verticalGradient({0, 0, t, l}, ZSkinParseColor("#8AB4EC"), ZSkinParseColor("#3565A8"));
    handle.frame({0, 0, t, l}, kFrameDark);
    for (int i = -1; i <= 1; ++i) handle.fill({3, l / 2 + 3 * i, t - 3, l / 2 + 3 * i + 1}, grip);
    ZSkinCanvas back(t, 8, track);
    back.fill({t / 2 - 1, 0, t / 2 + 1, 8}, groove);
    back.fill({0, 0, 1, 8}, groove);

    // The horizontal pair is the vertical pair turned a quarter.
    ZSkinCanvas handleH(l, t, kClear), backH(8, t, kClear);
    for (int y = 0; y < l; ++y)
        for (int x = 0; x < t; ++x) handleH.fill({y, x, y + 1, x + 1}, handle.at(x, y));
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < t; ++x) backH.fill({y, x, y + 1, x + 1}, back.at(x, y));
    return {{"scroll_handle.png", handle},
            {"scroll_back.png", back},
            {"scroll_handle_h.png", handleH},
            {"scroll_back_h.png", backH}};
}

bool inEllipse(double x, double y, double cx, double cy, double rx, double ry) {
    const double dx = (x - cx) / rx, dy = (y - cy) / ry;
    return dx * dx + dy * dy <= 1.0;
}

// The picture of a buddy who has none: a head and shoulders on a soft
// background, with a microphone badge when audio is on and a camera badge
// when video is.
ZSkinCanvas drawProfile(bool audio, bool video) {
    const int n = ZSKIN_PROFILE;
    ZSkinCanvas c(n, n, kClear);
    c.verticalGradient({0, 0, n, n}, ZSkinParseColor("#D3E0F1"), ZSkinParseColor("#9DB6D8"));
    const ZSkinColor figure = ZSkinParseColor("#4E6A8F");
    c.shape([](double x, double y) { return inEllipse(x, y, 32, 24, 11, 13); }, figure);
    c.shape([](double x, double y) { return inEllipse(x, y, 32, 70, 27, 24); }, figure);
    c.shape([](double x, double y) { return x >= 27 && x <= 37 && y >= 32 && y <= 48; }, figure);
    if (audio) {
        c.shape([](double x, double y) { return inEllipse(x, y, 53, 53, 9.5, 9.5); }, ZSkinParseColor("#2E8A48"));
        // A microphone: a capsule on a stand.
        c.shape([](double x, double y) { return inEllipse(x, y, 53, 50, 2.6, 4.8); }, kWhite);
        c.shape([](double x, double y) { return x >= 52.3 && x <= 53.7 && y >= 54 && y <= 58; }, kWhite);
        c.shape([](double x, double y) { return x >= 50 && x <= 56 && y >= 57.5 && y <= 58.8; }, kWhite);
    }
    if (video) {
        c.shape([](double x, double y) { return inEllipse(x, y, 11, 53, 9.5, 9.5); }, ZSkinParseColor("#C0632A"));
        // A camera: a body and a lens cone.
        c.shape([](double x, double y) { return x >= 5 && x <= 13 && y >= 49.5 && y <= 56.5; }, kWhite);
        c.shape([](double x, double y) { return x >= 13 && x <= 17.5 && std::fabs(y - 53) <= (x - 13) * 0.8 + 1; },
                kWhite);
    }
    c.frame({0, 0, n, n}, ZSkinParseColor("#6E87A8"));
    return c;
}

std::vector<ZSkinPicture> drawProfiles() {
    std::vector<ZSkinPicture> out;
    const struct {
        const char* suffix;
        bool audio, video;
    } variants[] = {{"", false, false}, {"_a", true, false}, {"_v", false, true}, {"_av", true, true}};
    for (const auto& v : variants) {
        ZSkinCanvas colour = drawProfile(v.audio, v.video);
        ZSkinCanvas grey = colour;
        grey.toGrey();
        out.push_back({std::string("defaultprofile") + v.suffix + ".png", colour});
        out.push_back({std::string("defaultprofile") + v.suffix + "_BW.png", grey});
    }
    return out;
}

double segmentDistance(double px, double py, double ax, double ay, double bx, double by) {
    const double dx = bx - ax, dy = by - ay;
    const double t = std::clamp(((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy), 0.0, 1.0);
    return std::hypot(px - (ax + t * dx), py - (ay + t * dy));
}

// The remote pointer of the screen viewer: a white arrow with a black
// outline on a transparent ground.
ZSkinPicture drawCursor() {
    static const double arrow[][2] = {{1, 1}, {1, 16}, {4.8, 12.6}, {7.6, 18.6}, {10, 17.5}, {7.3, 11.6}, {12, 11.6}};
    constexpr int kCorners = sizeof(arrow) / sizeof(arrow[0]);
    auto inside = [](double x, double y) {
        bool in = false;
        for (int i = 0, j = kCorners - 1; i < kCorners; j = i++)
            if ((arrow[i][1] > y) != (arrow[j][1] > y) &&
                x < (arrow[j][0] - arrow[i][0]) * (y - arrow[i][1]) / (arrow[j][1] - arrow[i][1]) + arrow[i][0])
                in = !in;
        return in;
    };
    auto nearEdge = [](double x, double y, double width) {
        for (int i = 0, j = kCorners - 1; i < kCorners; j = i++)
            if (segmentDistance(x, y, arrow[j][0], arrow[j][1], arrow[i][0], arrow[i][1]) <= width) return true;
        return false;
    };
    ZSkinCanvas c(14, 21, kClear);
    c.shape([&](double x, double y) { return inside(x, y) || nearEdge(x, y, 0.9); }, kBlack);
    c.shape([&](double x, double y) { return inside(x, y) && !nearEdge(x, y, 0.9); }, kWhite);
    return {"cursor.png", c, true};
}

void putLE(std::string& out, std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

}  // namespace

std::vector<ZSkinPicture> ZSkinDrawPictures() {
    std::vector<ZSkinPicture> all;
    for (auto part : {drawBorder(), drawButtons(), drawScroll(), drawProfiles()})
        all.insert(all.end(), part.begin(), part.end());
    all.push_back(drawCursor());
    return all;
}

std::string ZSkinRingTone() {
    // Two bursts of a warbling two-note trill, each note with a soft third
    // harmonic, shaped so that no step clicks.
    constexpr int kRate = 22050;
    constexpr double kPi = 3.14159265358979323846;
    constexpr double kBurst = 0.7, kGap = 0.35, kTail = 0.25, kTrill = 0.05, kRamp = 0.008;
    const double notes[2] = {1318.5, 1046.5};
    std::vector<std::int16_t> samples;
    double phase = 0;
    for (int burst = 0; burst < 2; ++burst) {
        const int n = static_cast<int>(kBurst * kRate);
        for (int i = 0; i < n; ++i) {
            const double t = static_cast<double>(i) / kRate;
            const double f = notes[static_cast<int>(t / kTrill) % 2];
            phase += 2 * kPi * f / kRate;
            const double envelope = std::min({1.0, t / kRamp, (kBurst - t) / kRamp});
            const double v = 0.8 * std::sin(phase) + 0.2 * std::sin(3 * phase);
            samples.push_back(static_cast<std::int16_t>(std::lround(v * envelope * 0.45 * 32767)));
        }
        samples.insert(samples.end(), static_cast<std::size_t>((burst ? kTail : kGap) * kRate), 0);
    }
    const std::uint32_t dataBytes = static_cast<std::uint32_t>(samples.size() * 2);
    std::string wav = "RIFF";
    putLE(wav, 36 + dataBytes, 4);
    wav += "WAVEfmt ";
    putLE(wav, 16, 4);
    putLE(wav, 1, 2);          // PCM
    putLE(wav, 1, 2);          // mono
    putLE(wav, kRate, 4);
    putLE(wav, kRate * 2, 4);  // bytes per second
    putLE(wav, 2, 2);          // bytes per frame
    putLE(wav, 16, 2);         // bits per sample
    wav += "data";
    putLE(wav, dataBytes, 4);
    for (std::int16_t s : samples) putLE(wav, static_cast<std::uint16_t>(s), 2);
    return wav;
}
