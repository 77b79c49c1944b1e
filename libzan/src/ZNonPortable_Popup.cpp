// Override-redirect text windows drawn with the core font (UTF-16 units as
// two-byte characters of an ISO 10646 font when the server has one).
#include "ZNonPortable_Popup.h"

#include <algorithm>

#include "ZNonPortable_X11.h"

namespace {

const int kPadding = 4;
const int kBorder = 1;

XFontStruct* font(Display* d) {
    static XFontStruct* loaded = nullptr;
    if (!loaded) loaded = XLoadQueryFont(d, "-misc-fixed-medium-r-normal--13-*-*-*-*-*-iso10646-1");
    if (!loaded) loaded = XLoadQueryFont(d, "fixed");
    return loaded;
}

std::vector<XChar2b> units(const std::wstring& text) {
    std::vector<XChar2b> out;
    for (wchar_t u : text) {
        const unsigned v = static_cast<unsigned>(u) & 0xFFFF;
        out.push_back(XChar2b{static_cast<unsigned char>(v >> 8), static_cast<unsigned char>(v & 0xFF)});
    }
    return out;
}

int textWidth(XFontStruct* f, const std::wstring& text) {
    if (!f || text.empty()) return 0;
    std::vector<XChar2b> u = units(text);
    return XTextWidth16(f, u.data(), static_cast<int>(u.size()));
}

}  // namespace

_ZPopup* _ZPopupOpen(const std::vector<std::wstring>& lines, int x, int y, bool bottomAligned) {
    Display* d = _ZX11Display();
    if (!d) return nullptr;
    _ZPopup* p = new _ZPopup;
    p->lines = lines;
    p->font = font(d);
    p->lineHeight = p->font ? p->font->ascent + p->font->descent + 4 : 16;
    int widest = 40;
    for (const std::wstring& line : lines) widest = std::max(widest, textWidth(p->font, line));
    p->width = widest + 2 * kPadding;
    p->height = std::max<int>(1, static_cast<int>(lines.size())) * p->lineHeight + 2 * kPadding;
    const int screenWidth = DisplayWidth(d, DefaultScreen(d));
    const int screenHeight = DisplayHeight(d, DefaultScreen(d));
    if (bottomAligned) y -= p->height + 2 * kBorder;
    x = std::clamp(x, 0, std::max(0, screenWidth - p->width - 2 * kBorder));
    y = std::clamp(y, 0, std::max(0, screenHeight - p->height - 2 * kBorder));

    XSetWindowAttributes a{};
    a.override_redirect = True;
    a.background_pixel = 0xFFFFE1;
    a.border_pixel = 0x404040;
    a.event_mask = ExposureMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask | KeyPressMask;
    p->window = XCreateWindow(d, DefaultRootWindow(d), x, y, static_cast<unsigned>(p->width),
                              static_cast<unsigned>(p->height), kBorder, CopyFromParent, InputOutput, CopyFromParent,
                              CWOverrideRedirect | CWBackPixel | CWBorderPixel | CWEventMask, &a);
    p->gc = XCreateGC(d, p->window, 0, nullptr);
    if (p->font) XSetFont(d, p->gc, p->font->fid);
    XMapRaised(d, p->window);
    XFlush(d);
    return p;
}

void _ZPopupDraw(_ZPopup* p) {
    Display* d = _ZX11Display();
    if (!d || !p) return;
    XSetForeground(d, p->gc, 0xFFFFE1);
    XFillRectangle(d, p->window, p->gc, 0, 0, static_cast<unsigned>(p->width), static_cast<unsigned>(p->height));
    for (int i = 0; i < static_cast<int>(p->lines.size()); ++i) {
        const int top = kPadding + i * p->lineHeight;
        if (i == p->highlighted) {
            XSetForeground(d, p->gc, 0x3060C0);
            XFillRectangle(d, p->window, p->gc, 0, top, static_cast<unsigned>(p->width),
                           static_cast<unsigned>(p->lineHeight));
        }
        XSetForeground(d, p->gc, i == p->highlighted ? 0xFFFFFF : 0x000000);
        std::vector<XChar2b> u = units(p->lines[i]);
        const int baseline = top + 2 + (p->font ? p->font->ascent : 12);
        if (!u.empty()) XDrawString16(d, p->window, p->gc, kPadding, baseline, u.data(), static_cast<int>(u.size()));
        if (i == 0 && p->boldFirstLine && !u.empty())
            XDrawString16(d, p->window, p->gc, kPadding + 1, baseline, u.data(), static_cast<int>(u.size()));
    }
    XFlush(d);
}

int _ZPopupLineAt(const _ZPopup* p, int y) {
    if (!p || y < kPadding) return -1;
    const int line = (y - kPadding) / p->lineHeight;
    return line < static_cast<int>(p->lines.size()) ? line : -1;
}

void _ZPopupClose(_ZPopup* p) {
    if (!p) return;
    Display* d = _ZX11Display();
    _ZX11RemoveHandler(p->window);
    if (d) {
        XFreeGC(d, p->gc);
        XDestroyWindow(d, p->window);
        XFlush(d);
    }
    delete p;
}
