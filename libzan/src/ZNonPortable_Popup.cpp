// Override-redirect text windows drawn with Xft in the face the default skin
// uses, so a balloon or menu reads like the rest of the program.
#include "ZNonPortable_Popup.h"

#include <X11/Xft/Xft.h>

#include <algorithm>
#include <cstdlib>
#include <cwctype>

#include "ZNonPortable_X11.h"
#include "ZPortable_Text.h"

namespace {

const int kPadding = 4;
const int kBorder = 1;
const unsigned long kBackground = 0xFFFFE1;
const unsigned long kHighlight = 0x3060C0;

XftFont* openFace(Display* d, bool bold) {
    const char* name = bold ? "DejaVu Sans,sans-serif:bold:pixelsize=12" : "DejaVu Sans,sans-serif:pixelsize=12";
    XftFont* f = XftFontOpenName(d, DefaultScreen(d), name);
    if (!f) f = XftFontOpenName(d, DefaultScreen(d), "sans-serif:pixelsize=12");
    return f;
}

XftFont* g_regular = nullptr;
XftFont* g_heavy = nullptr;

// Fontconfig keeps what a match made until it is finished with; Xft keeps
// closed fonts for reuse unless told to keep none.
void closeFaces() {
    Display* d = _ZX11Display();
    if (!d) return;
    XftDefaultSet(d, FcPatternBuild(nullptr, XFT_MAX_UNREF_FONTS, FcTypeInteger, 0, nullptr));
    if (g_regular) XftFontClose(d, g_regular);
    if (g_heavy) XftFontClose(d, g_heavy);
    g_regular = g_heavy = nullptr;
    XftDefaultSet(d, nullptr);
    FcFini();
}

// Opened once for the UI connection, which lives as long as the program.
XftFont* face(Display* d, bool bold) {
    XftFont*& f = bold ? g_heavy : g_regular;
    if (!f) {
        if (!g_regular && !g_heavy) std::atexit(closeFaces);
        f = openFace(d, bold);
    }
    return f ? f : (bold ? face(d, false) : nullptr);
}

int textWidth(Display* d, XftFont* f, const std::wstring& text) {
    if (!f || text.empty()) return 0;
    const std::string utf8 = ZToUTF8(text);
    XGlyphInfo extents{};
    XftTextExtentsUtf8(d, f, reinterpret_cast<const FcChar8*>(utf8.data()), static_cast<int>(utf8.size()), &extents);
    return extents.xOff;
}

bool isBlank(wchar_t c) { return c == L' ' || c == L'\t'; }

// Cuts one line into rows no wider than the limit, at blanks where it can
// and inside a word that is wider than the limit on its own.
void wrapLine(Display* d, XftFont* f, int line, const std::wstring& text, int mark, int limit,
              std::vector<_ZPopupRow>& rows) {
    if (limit <= 0 || textWidth(d, f, text) <= limit) {
        rows.push_back(_ZPopupRow{line, text, mark});
        return;
    }
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = start + 1;
        std::size_t lastBreak = std::wstring::npos;
        while (end < text.size() && textWidth(d, f, text.substr(start, end + 1 - start)) <= limit) {
            ++end;
            if (isBlank(text[end - 1])) lastBreak = end;
        }
        if (end < text.size() && lastBreak != std::wstring::npos && lastBreak > start) end = lastBreak;
        std::wstring part = text.substr(start, end - start);
        while (!part.empty() && isBlank(part.back())) part.pop_back();
        const int partMark = mark >= static_cast<int>(start) && mark < static_cast<int>(end) ? mark - static_cast<int>(start) : -1;
        rows.push_back(_ZPopupRow{line, part, partMark});
        start = end;
        while (start < text.size() && isBlank(text[start])) ++start;
    }
}

void layout(Display* d, _ZPopup* p) {
    p->rows.clear();
    p->keys.assign(p->lines.size(), 0);
    for (std::size_t i = 0; i < p->lines.size(); ++i) {
        int mark = -1;
        wchar_t key = 0;
        std::wstring text = p->lines[i];
        if (p->style.accessKeys) text = _ZPopupStripMarks(p->lines[i], mark, key);
        p->keys[i] = key;
        const bool bold = i == 0 && p->boldFirstLine;
        wrapLine(d, face(d, bold), static_cast<int>(i), text, mark, p->style.wrapWidth, p->rows);
    }
}

XftColor colour(Display* d, unsigned long rgb) {
    XRenderColor c{static_cast<unsigned short>(((rgb >> 16) & 0xFF) * 0x101),
                   static_cast<unsigned short>(((rgb >> 8) & 0xFF) * 0x101),
                   static_cast<unsigned short>((rgb & 0xFF) * 0x101), 0xFFFF};
    XftColor out{};
    XftColorAllocValue(d, DefaultVisual(d, DefaultScreen(d)), DefaultColormap(d, DefaultScreen(d)), &c, &out);
    return out;
}

}  // namespace

std::wstring _ZPopupStripMarks(const std::wstring& line, int& mark, wchar_t& key) {
    std::wstring out;
    mark = -1;
    key = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] != L'&' || i + 1 == line.size()) {
            out += line[i];
            continue;
        }
        ++i;
        if (line[i] != L'&' && mark < 0) {
            mark = static_cast<int>(out.size());
            key = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(line[i])));
        }
        out += line[i];
    }
    return out;
}

ZRect _ZPopupPlaceAt(int x, int y, int width, int height, const ZRect& area) {
    int left = x, top = y;
    if (left + width > area.right && x - width >= area.left) left = x - width;
    if (top + height > area.bottom && y - height >= area.top) top = y - height;
    left = std::max(area.left, std::min(left, area.right - width));
    top = std::max(area.top, std::min(top, area.bottom - height));
    return ZRect{left, top, left + width, top + height};
}

_ZPopup* _ZPopupCreate(const std::vector<std::wstring>& lines, const _ZPopupStyle& style) {
    Display* d = _ZX11Display();
    if (!d) return nullptr;
    _ZPopup* p = new _ZPopup;
    p->lines = lines;
    p->style = style;
    p->boldFirstLine = style.boldFirstLine;
    XftFont* f = face(d, false);
    p->lineHeight = f ? f->ascent + f->descent + 4 : 16;
    layout(d, p);
    int widest = 40;
    for (const _ZPopupRow& row : p->rows)
        widest = std::max(widest, textWidth(d, face(d, row.line == 0 && p->boldFirstLine), row.text));
    p->width = widest + 2 * kPadding;
    p->height = std::max<int>(1, static_cast<int>(p->rows.size())) * p->lineHeight + 2 * kPadding;

    XSetWindowAttributes a{};
    a.override_redirect = True;
    a.background_pixel = kBackground;
    a.border_pixel = 0x404040;
    a.event_mask = ExposureMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask | KeyPressMask;
    p->window = XCreateWindow(d, DefaultRootWindow(d), 0, 0, static_cast<unsigned>(p->width),
                              static_cast<unsigned>(p->height), kBorder, CopyFromParent, InputOutput, CopyFromParent,
                              CWOverrideRedirect | CWBackPixel | CWBorderPixel | CWEventMask, &a);
    p->gc = XCreateGC(d, p->window, 0, nullptr);
    p->draw = XftDrawCreate(d, p->window, DefaultVisual(d, DefaultScreen(d)), DefaultColormap(d, DefaultScreen(d)));
    return p;
}

void _ZPopupShow(_ZPopup* p, int x, int y) {
    Display* d = _ZX11Display();
    if (!d || !p) return;
    XMoveWindow(d, p->window, x, y);
    XMapRaised(d, p->window);
    XFlush(d);
}

_ZPopup* _ZPopupOpen(const std::vector<std::wstring>& lines, int x, int y, bool bottomAligned) {
    _ZPopup* p = _ZPopupCreate(lines, _ZPopupStyle{});
    if (!p) return nullptr;
    Display* d = _ZX11Display();
    const int screenWidth = DisplayWidth(d, DefaultScreen(d));
    const int screenHeight = DisplayHeight(d, DefaultScreen(d));
    if (bottomAligned) y -= p->height + 2 * kBorder;
    x = std::clamp(x, 0, std::max(0, screenWidth - p->width - 2 * kBorder));
    y = std::clamp(y, 0, std::max(0, screenHeight - p->height - 2 * kBorder));
    _ZPopupShow(p, x, y);
    return p;
}

void _ZPopupDraw(_ZPopup* p) {
    Display* d = _ZX11Display();
    if (!d || !p) return;
    layout(d, p);
    XSetForeground(d, p->gc, kBackground);
    XFillRectangle(d, p->window, p->gc, 0, 0, static_cast<unsigned>(p->width), static_cast<unsigned>(p->height));
    XftColor black = colour(d, 0x000000), white = colour(d, 0xFFFFFF);
    for (std::size_t i = 0; i < p->rows.size(); ++i) {
        const _ZPopupRow& row = p->rows[i];
        const int top = kPadding + static_cast<int>(i) * p->lineHeight;
        const bool lit = row.line == p->highlighted;
        if (lit) {
            XSetForeground(d, p->gc, kHighlight);
            XFillRectangle(d, p->window, p->gc, 0, top, static_cast<unsigned>(p->width),
                           static_cast<unsigned>(p->lineHeight));
        }
        XftFont* f = face(d, row.line == 0 && p->boldFirstLine);
        if (!f || row.text.empty()) continue;
        const int baseline = top + 2 + f->ascent;
        const std::string utf8 = ZToUTF8(row.text);
        XftDrawStringUtf8(p->draw, lit ? &white : &black, f, kPadding, baseline,
                          reinterpret_cast<const FcChar8*>(utf8.data()), static_cast<int>(utf8.size()));
        if (row.mark >= 0) {
            const int from = kPadding + textWidth(d, f, row.text.substr(0, static_cast<std::size_t>(row.mark)));
            const int width = std::max(1, textWidth(d, f, row.text.substr(static_cast<std::size_t>(row.mark), 1)));
            XftDrawRect(p->draw, lit ? &white : &black, from, baseline + 2, static_cast<unsigned>(width), 1);
        }
    }
    XftColorFree(d, DefaultVisual(d, DefaultScreen(d)), DefaultColormap(d, DefaultScreen(d)), &black);
    XftColorFree(d, DefaultVisual(d, DefaultScreen(d)), DefaultColormap(d, DefaultScreen(d)), &white);
    XFlush(d);
}

int _ZPopupLineAt(const _ZPopup* p, int y) {
    if (!p || y < kPadding) return -1;
    const std::size_t row = static_cast<std::size_t>((y - kPadding) / p->lineHeight);
    return row < p->rows.size() ? p->rows[row].line : -1;
}

void _ZPopupClose(_ZPopup* p) {
    if (!p) return;
    Display* d = _ZX11Display();
    _ZX11RemoveHandler(p->window);
    if (d) {
        if (p->draw) XftDrawDestroy(p->draw);
        XFreeGC(d, p->gc);
        XDestroyWindow(d, p->window);
        XFlush(d);
    }
    delete p;
}
