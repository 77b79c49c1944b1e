// The program's pictures that the desktop shows outside its windows: the
// tray's presence badges and the program icon, drawn here since no file of
// the skin is needed to show them.
#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include <algorithm>
#include <cmath>

#include "ZNonPortable_X11.h"

namespace {

// Offline, changing, online; the private states repeat them with a mark.
const std::uint32_t kStateColour[] = {0x909090, 0xE0B000, 0x20A040, 0x909090, 0xE0B000, 0x20A040};
const std::uint32_t kOutline = 0x303030;

// The share of a pixel inside a disc, from 4 x 4 samples.
double discCover(int x, int y, double centre, double radius) {
    int inside = 0;
    for (int sy = 0; sy < 4; ++sy)
        for (int sx = 0; sx < 4; ++sx) {
            const double dx = x + (sx + 0.5) / 4 - centre, dy = y + (sy + 0.5) / 4 - centre;
            if (dx * dx + dy * dy <= radius * radius) ++inside;
        }
    return inside / 16.0;
}

std::vector<unsigned long> programIcon();

}  // namespace

std::vector<std::uint32_t> _ZX11BadgePixels(int state, int size) {
    std::vector<std::uint32_t> out(static_cast<std::size_t>(size) * size, 0);
    const std::uint32_t fill = kStateColour[state >= 0 && state < 6 ? state : 0];
    const double centre = size / 2.0, radius = size / 2.0 - 0.5, ring = std::max(1.0, size / 16.0);
    const bool marked = state >= 3;
    const int markFrom = size * 5 / 16, markTo = size - markFrom;
    for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
            const double outer = discCover(x, y, centre, radius);
            if (outer <= 0) continue;
            const double inner = discCover(x, y, centre, radius - ring);
            std::uint32_t rgb = inner >= 0.5 ? fill : kOutline;
            if (marked && x >= markFrom && x < markTo && y >= markFrom && y < markTo) rgb = kOutline;
            const std::uint32_t alpha = static_cast<std::uint32_t>(std::lround(outer * 255));
            out[static_cast<std::size_t>(y) * size + x] = alpha << 24 | rgb;
        }
    return out;
}

void _ZX11SetProgramIdentity(Display* d, Window window) {
    if (!d || !window) return;
    char resName[] = "zandrel";
    char resClass[] = "Zandrel";
    XClassHint classHint{resName, resClass};
    XSetClassHint(d, window, &classHint);
    static const std::vector<unsigned long> icon = programIcon();
    XChangeProperty(d, window, XInternAtom(d, "_NET_WM_ICON", False), XA_CARDINAL, 32, PropModeReplace,
                    reinterpret_cast<const unsigned char*>(icon.data()), static_cast<int>(icon.size()));
}

namespace {

// Width, height and the pixels of each size, as longs (the property's 32-bit
// items travel in longs on the client side): the online badge.
std::vector<unsigned long> programIcon() {
    std::vector<unsigned long> icon;
    for (int size : {16, 32, 48}) {
        icon.push_back(static_cast<unsigned long>(size));
        icon.push_back(static_cast<unsigned long>(size));
        for (std::uint32_t p : _ZX11BadgePixels(2, size)) icon.push_back(p);
    }
    return icon;
}

}  // namespace
