// The sharing side's picture of the desktop: a layout of top-level windows
// with a cached picture each. Once per "Screen_Share_Fullscreen_Delay" the
// screen is grabbed; visible dirty parts of each window are compared with
// its picture, and what differs is copied in and reported to the send
// streams, so a moved window costs a layout message and no pixels.
#include <climits>

#include "ZImage.h"
#include "ZPortable.h"
#include "ZScreenSendStream.h"
#include "ZScreenService.h"
#include "ZUtil.h"

namespace {

constexpr ZRect kWholeScreen = {0, 0, 0x7FFFFFFF, 0x7FFFFFFF};
constexpr unsigned char kNewPictureByte = 0x80;

// "#4444FF" as the drawing functions take a colour: bytes R, G, B, A.
constexpr std::uint32_t kGrownAreaColour = 0x44u | (0x44u << 8) | (0xFFu << 16) | (0xFFu << 24);

bool overlaps(const ZRect& a, const ZRect& b) {
    return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}

ZRect moved(const ZRect& r, int dx, int dy) {
    return ZRect{r.left + dx, r.top + dy, r.right + dx, r.bottom + dy};
}

}  // namespace

void ZScreenService::_resetCapture() {
    if (_screen) ZScreenClose(_screen);
    _screen = nullptr;
    _dirtyRect = ZRect{};
    _layout.clear();
    _windowMap.clear();
    _width = _height = 0;
    _mouseX = _mouseY = 0;
}

void ZScreenService::_notifyLayoutChanged() {
    for (auto& entry : _ssrcSendStreamMap) entry.second->onLayoutChanged();
}

void ZScreenService::_notifyDirtyFrag(const ZFrag& frag) {
    for (auto& entry : _ssrcSendStreamMap) entry.second->onFragChanged(frag);
}

void ZScreenService::capturePass() {
    ZTRACE();
    const std::int64_t now = _clock();
    if (_fullscreenInterval.isDue(now)) _dirtyRect = kWholeScreen;
    if (_dirtyRect.right <= _dirtyRect.left || _dirtyRect.bottom <= _dirtyRect.top) return;
    if (!_screen) {
        _screen = ZScreenOpen();
        ZWARNASSERT_T(_screen, "_screen = ZScreenOpen( )");
    }
    for (auto& entry : _ssrcSendStreamMap) entry.second->hideCursor();

    ZImageFormat captured;
    unsigned char* pixels = _screen ? ZScreenCapture(_screen, _dirtyRect, captured) : nullptr;
    if (!pixels) {
        ZLOG(L"WARNING Unable to capture screen, ignoring update.");
    } else {
        _width = captured.width;
        _height = captured.height;
        ZRectClip(_dirtyRect, ZRect{0, 0, _width, _height});
        // The grab's fourth byte is not alpha; pictures must read opaque, or a
        // resized window's reframe would blend its picture away.
        if (ZImageBytesPerPixel(captured.type) == 4) {
            for (int y = _dirtyRect.top; y < _dirtyRect.bottom; ++y) {
                unsigned char* row = pixels + (static_cast<std::size_t>(y) * _width + _dirtyRect.left) * 4;
                for (int x = _dirtyRect.left; x < _dirtyRect.right; ++x, row += 4) row[3] = 0xFF;
            }
        }

        std::list<ZFrag> layout;
        std::map<std::uint32_t, std::list<ZFrag>> windowRects;
        ZScreenGetWindowRects(_screen, layout, windowRects);
        detectChanges(captured, pixels, layout, windowRects);
    }
    for (auto& entry : _ssrcSendStreamMap) entry.second->showCursor();
    _dirtyRect = ZRect{};
}

void ZScreenService::detectChanges(const ZImageFormat& captured, const unsigned char* pixels,
                                   const std::list<ZFrag>& layout,
                                   std::map<std::uint32_t, std::list<ZFrag>>& windowRects) {
    _width = captured.width;
    _height = captured.height;
    ZRectClip(_dirtyRect, ZRect{0, 0, _width, _height});
    if (layout != _layout) {
        _layout = layout;
        for (const ZFrag& frag : _layout) _windowMap[frag.id].rect = frag.rect;
        _notifyLayoutChanged();
    }
    _updateWindowPictures(captured);
    _compareWindows(captured, pixels, windowRects);
}

void ZScreenService::setDirtyRect(const ZRect& rect) {
    _dirtyRect = rect;
}

void ZScreenService::_updateWindowPictures(const ZImageFormat& captured) {
    for (auto& [id, window] : _windowMap) {
        const int w = window.rect.right - window.rect.left, h = window.rect.bottom - window.rect.top;
        if (w <= 0 || h <= 0) continue;
        if (window.format.type != captured.type) {
            window.format = ZImageFormat{captured.type, w, h};
            window.image.assign(static_cast<std::size_t>(window.format.getBufferSize()),
                                static_cast<char>(kNewPictureByte));
            window.dirtyFrags.clear();
            window.dirtyFrags.push_back(ZFrag{id, ZRect{0, 0, w, h}});
        } else if (w != window.format.width || h != window.format.height) {
            const int w0 = window.format.width, h0 = window.format.height;
            ZImageReframe(window.format, window.image, w, h, kGrownAreaColour);
            ZASSERT_T(window.format.width == w && window.format.height == h,
                      "window.format.width == width && window.format.height == height");
            if (w > w0) _notifyDirtyFrag(ZFrag{id, ZRect{w0, 0, w, h}});
            if (h > h0) _notifyDirtyFrag(ZFrag{id, ZRect{0, h0, ZMin(w0, w), h}});
        }
        ZRect dirty = moved(_dirtyRect, -window.rect.left, -window.rect.top);
        ZRectClip(dirty, ZRect{0, 0, w, h});
        if (!ZRectEmpty(dirty)) ZFragInsert(window.dirtyFrags, ZFrag{id, dirty});
    }
}

void ZScreenService::_compareWindows(const ZImageFormat& captured, const unsigned char* pixels,
                                     std::map<std::uint32_t, std::list<ZFrag>>& windowRects) {
    std::list<ZFrag> visible;
    for (const ZFrag& frag : _layout) ZFragMerge(visible, frag);
    const ZRect screenRect{0, 0, _width, _height};

    for (auto& [id, window] : _windowMap) {
        auto rects = windowRects.find(id);
        if (rects == windowRects.end()) continue;
        std::list<ZFrag> cleaned;
        for (const ZFrag& dirty : window.dirtyFrags) {
            ZASSERT_T(dirty.id == id, "winDirtyFrag.id == windowID");
            for (const ZFrag& part : rects->second) {
                if (!overlaps(part.rect, dirty.rect)) continue;
                ZRect dirtySubset = dirty.rect;
                ZRectClip(dirtySubset, part.rect);
                ZASSERT(!ZRectEmpty(dirtySubset));
                const ZRect screenDirty = moved(dirtySubset, window.rect.left, window.rect.top);
                for (const ZFrag& piece : visible) {
                    if (piece.id != id || !overlaps(piece.rect, screenDirty)) continue;
                    ZRect clean = piece.rect;
                    ZRectClip(clean, screenDirty);
                    ZRectClip(clean, screenRect);
                    const ZRect winRect = moved(clean, -window.rect.left, -window.rect.top);
                    if (ZRectEmpty(clean) || ZRectEmpty(winRect)) continue;
                    ZASSERT(ZRectContains(ZRect{0, 0, window.format.width, window.format.height}, winRect));
                    ZRect diff;
                    if (ZImageCompare(captured, pixels, clean, window.format,
                                      reinterpret_cast<const unsigned char*>(window.image.data()), winRect, diff,
                                      1)) {
                        const ZRect from{clean.left + diff.left, clean.top + diff.top, clean.left + diff.right,
                                         clean.top + diff.bottom};
                        const ZRect to{winRect.left + diff.left, winRect.top + diff.top, winRect.left + diff.right,
                                       winRect.top + diff.bottom};
                        _ZImageCopy(captured, pixels, from, window.format,
                                    reinterpret_cast<unsigned char*>(&window.image[0]), to, ZIC_NOBLEND);
                        _notifyDirtyFrag(ZFrag{id, to});
                    }
                    cleaned.push_back(ZFrag{id, winRect});
                }
            }
        }
        for (const ZFrag& frag : cleaned) ZFragSubtract(window.dirtyFrags, frag);
    }
}
