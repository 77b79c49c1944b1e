#include "ZImageStack.h"

#include <climits>

#include "ZImage.h"
#include "ZUtil.h"

namespace {

constexpr ZRect kNoBounds = {INT_MAX, INT_MAX, INT_MIN, INT_MIN};
ZFontDrawTextFunction gFontDrawer = nullptr;

int clampTo(int value, int low, int high) { return value < low ? low : (value > high ? high : value); }

const unsigned char* bytesOf(const ZColor& color) { return &color.r; }

}  // namespace

static_assert(sizeof(ZColor) == 4, "a colour is its four bytes");

ZImageStack::ZImageStack() : _drawnBounds(kNoBounds) { _stateStack.emplace_back(); }

void ZImageStack::setFontDrawer(ZFontDrawTextFunction drawer) { gFontDrawer = drawer; }

void ZImageStack::pushLayer(const ZImageFormat& format, unsigned char* pixels, IZInputHandler** handlers) {
    ZASSERT(format.width > 0 && format.height > 0);
    ZASSERT(!_stateStack.empty( ));
    ZASSERT(format.type == ZIT_RGBA32);
    State state;
    state.clipRect = {0, 0, format.width, format.height};
    state.format = format;
    state.pixels = pixels;
    state.handlers = handlers;
    _stateStack.push_back(state);
    _drawnBounds = kNoBounds;
}

void ZImageStack::pushTarget(const ZRect& toRect) {
    ZASSERT(!_stateStack.empty( ));
    ZRect rect = toRect;
    // Layout arithmetic over skin values may invert a rectangle: it draws
    // nothing rather than stopping the program.
    if (!ZVALIDRECT(rect)) {
        ZWARNASSERT(ZVALIDRECT( toRect ));
        rect.right = rect.left;
        rect.bottom = rect.top;
    }
    State state = _stateStack.back();
    if (state.pixels) {
        const ZRect& parent = _stateStack.back().clipRect;
        state.clipRect = {parent.left + rect.left, parent.top + rect.top, parent.left + rect.right,
                          parent.top + rect.bottom};
        ZRectClip(state.clipRect, parent);
    }
    _stateStack.push_back(state);
}

void ZImageStack::pop() {
    ZASSERT(!_stateStack.empty( ));
    // The bottom state stays, so a stray pop cannot leave the stack empty.
    if (_stateStack.size() > 1) _stateStack.pop_back();
}

void ZImageStack::getPosition(int& x, int& y) const {
    x = top().clipRect.left;
    y = top().clipRect.top;
}

void ZImageStack::getDimensions(int& width, int& height) const {
    width = top().clipRect.right - top().clipRect.left;
    height = top().clipRect.bottom - top().clipRect.top;
}

bool ZImageStack::_hasArea() const { return top().pixels && !ZRectEmpty(top().clipRect); }

void ZImageStack::_extendBounds(const ZRect& rect) {
    _drawnBounds.left = std::min(_drawnBounds.left, rect.left);
    _drawnBounds.top = std::min(_drawnBounds.top, rect.top);
    _drawnBounds.right = std::max(_drawnBounds.right, rect.right);
    _drawnBounds.bottom = std::max(_drawnBounds.bottom, rect.bottom);
}

ZRect ZImageStack::_toLayer(const ZRect& rect) const {
    const ZRect& clip = top().clipRect;
    ZRect out = {clip.left + rect.left, clip.top + rect.top, clip.left + rect.right, clip.top + rect.bottom};
    ZRectClip(out, clip);
    return out;
}

void ZImageStack::drawBitmap(const ZImageFormat& format, const unsigned char* pixels, const ZRect& fromRect,
                             std::uint32_t flags) {
    if (!_hasArea()) return;
    const State& s = top();
    _extendBounds(ZImageCopy(format, pixels, fromRect, s.format, s.pixels, s.clipRect, flags));
}

void ZImageStack::drawBitmap(const ZImageFormat& format, const unsigned char* pixels, const ZRect& fromRect,
                             const ZRect& toRect, std::uint32_t flags) {
    if (!_hasArea()) return;
    const State& s = top();
    const ZRect d = {s.clipRect.left + toRect.left, s.clipRect.top + toRect.top, s.clipRect.left + toRect.right,
                     s.clipRect.top + toRect.bottom};
    ZRect c = d;
    ZRectClip(c, s.clipRect);
    // What the clamp cut off the target is cut off the source (exact only
    // for an unscaled copy).
    const ZRect from = {fromRect.left + (c.left - d.left), fromRect.top + (c.top - d.top),
                        fromRect.right - (d.right - c.right), fromRect.bottom - (d.bottom - c.bottom)};
    if (ZRectEmpty(from) || ZRectEmpty(c)) return;
    _extendBounds(ZImageCopy(format, pixels, from, s.format, s.pixels, c, flags));
}

void ZImageStack::drawGradient(const ZColor& start, const ZColor& end, int mode) {
    if (!_hasArea()) return;
    const State& s = top();
    ZASSERT_T(s.format.width > 0 && s.format.height > 0, "top.format.width > 0 && top.format.height > 0");
    ZASSERT_T(ZRectWithin(s.clipRect, s.format.width, s.format.height),
              "ZRectWithin( top.clipRect, top.format.width, top.format.height )");
    const ZRect& r = s.clipRect;
    if (s.format.type != ZIT_RGBA32) {
        ZLOG(L"WARNING Attempting ZImageStack::drawGradient on unsupported image type #" << s.format.type
                                                                                         << L", ignoring.");
        _extendBounds(r);
        return;
    }
    const bool rows = (mode & 1) != 0;
    const int length = rows ? r.bottom - r.top : r.right - r.left;
    ZASSERT(length > 0);
    // 16.16 fixed point: one division per channel, none per pixel.
    std::int32_t value[4];
    std::int32_t step[4];
    const unsigned char* s8 = bytesOf(start);
    const unsigned char* e8 = bytesOf(end);
    for (int k = 0; k < 4; ++k) {
        value[k] = s8[k] * 65536;
        step[k] = ((e8[k] - s8[k]) * 65536) / length;
    }
    const int stride = s.format.width * 4;
    for (int i = 0; i < length; ++i) {
        unsigned char b[4];
        for (int k = 0; k < 4; ++k) b[k] = static_cast<unsigned char>(value[k] >> 16);
        const int firstByte = (mode == 2 || mode == 3) ? 3 : 0;
        if (mode >= 0 && mode <= 3) {
            const int count = rows ? r.right - r.left : r.bottom - r.top;
            for (int j = 0; j < count; ++j) {
                const int x = rows ? r.left + j : r.left + i;
                const int y = rows ? r.top + i : r.top + j;
                unsigned char* pixel = s.pixels + static_cast<std::size_t>(y) * stride + x * 4;
                for (int k = firstByte; k < 4; ++k) pixel[k] = b[k];
            }
        }
        for (int k = 0; k < 4; ++k) value[k] += step[k];
    }
    _extendBounds(r);
}

std::int32_t ZImageStack::drawText(const std::wstring& text, ZFont& font) {
    int width = 0;
    int height = 0;
    getDimensions(width, height);
    return drawText(text, font, ZRect{0, 0, width, height});
}

std::int32_t ZImageStack::drawText(const std::wstring& text, ZFont& font, const ZRect& rect) {
    ZASSERT(!_stateStack.empty( ));
    const State& s = top();
    const ZRect r = {s.clipRect.left + rect.left, s.clipRect.top + rect.top, s.clipRect.left + rect.right,
                     s.clipRect.top + rect.bottom};
    if (!gFontDrawer) return 0;
    return gFontDrawer(font, s.format, s.pixels, text, r, s.clipRect);
}

void ZImageStack::drawHorizLine(int x, int y, int length, const ZColor& color) {
    const State& s = top();
    if (!s.pixels) return;
    const ZRect& c = s.clipRect;
    const int from = clampTo(c.left + x, c.left, c.right);
    const int row = clampTo(c.top + y, c.top, c.bottom);
    const int to = clampTo(c.left + x + length, c.left, c.right);
    ZImageDrawHorizLine(s.format, s.pixels, from, row, to, bytesOf(color));
}

void ZImageStack::drawRect(const ZRect& rect, const ZColor& color) {
    const ZRect r = _toLayer(rect);
    if (top().pixels && !ZRectEmpty(r)) ZImageDrawRect(top().format, top().pixels, r, bytesOf(color));
}

void ZImageStack::fillRect(const ZRect& rect, const ZColor& color) {
    const ZRect r = _toLayer(rect);
    if (top().pixels && !ZRectEmpty(r)) ZImageFillRect(top().format, top().pixels, r, bytesOf(color));
}

void ZImageStack::invertRect(const ZRect& rect) {
    const ZRect r = _toLayer(rect);
    if (top().pixels && !ZRectEmpty(r)) ZImageInvertRect(top().format, top().pixels, r);
}

void ZImageStack::setInputHandler(IZInputHandler* handler) {
    if (!_hasArea() || !top().handlers) return;
    const State& s = top();
    for (int y = s.clipRect.top; y < s.clipRect.bottom; ++y)
        for (int x = s.clipRect.left; x < s.clipRect.right; ++x)
            s.handlers[static_cast<std::size_t>(y) * s.format.width + x] = handler;
}
