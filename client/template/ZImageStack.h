// The drawing surfaces of one render pass: layers (a window's RGBA pixels
// with its per-pixel map of input handlers) and targets (sub-rectangles of
// the area above them) in which the nodes draw.
//
// Threading: UI thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <string>

#include "ZPortable_Parse.h"
#include "ZPortable_Rect.h"

class IZInputHandler;
class ZFont;

// Draws text into a layer: (font, layer format, layer pixels, text, target
// rectangle in layer pixels, clip rectangle). The node library, which owns
// ZFont, installs its implementation with ZImageStack::setFontDrawer before
// the first render; until then text draws nothing and yields 0.
typedef std::int32_t (*ZFontDrawTextFunction)(ZFont& font, const ZImageFormat& format, unsigned char* pixels,
                                             const std::wstring& text, const ZRect& rect, const ZRect& clip);

// A stack of drawing states; every coordinate a drawing call takes is
// relative to the top state's area and is clipped to it.
class ZImageStack {
public:
    struct State {
        ZRect clipRect;
        ZImageFormat format;
        unsigned char* pixels = nullptr;
        IZInputHandler** handlers = nullptr;
    };

    ZImageStack();

    static void setFontDrawer(ZFontDrawTextFunction drawer);

    // A window's RGBA32 pixels and its map of width x height handlers.
    void pushLayer(const ZImageFormat& format, unsigned char* pixels, IZInputHandler** handlers);
    // A sub-rectangle of the top area, clamped into it.
    void pushTarget(const ZRect& toRect);
    void pop();

    void getPosition(int& x, int& y) const;
    void getDimensions(int& width, int& height) const;

    // The source rectangle into the whole area, or into a rectangle of it.
    void drawBitmap(const ZImageFormat& format, const unsigned char* pixels, const ZRect& fromRect,
                    std::uint32_t flags);
    void drawBitmap(const ZImageFormat& format, const unsigned char* pixels, const ZRect& fromRect,
                    const ZRect& toRect, std::uint32_t flags);
    // Mode 0: columns, 1: rows, 2: columns of alpha only, 3: rows of alpha only.
    void drawGradient(const ZColor& start, const ZColor& end, int mode);
    std::int32_t drawText(const std::wstring& text, ZFont& font);
    std::int32_t drawText(const std::wstring& text, ZFont& font, const ZRect& rect);
    void drawHorizLine(int x, int y, int length, const ZColor& color);
    void drawRect(const ZRect& rect, const ZColor& color);
    void fillRect(const ZRect& rect, const ZColor& color);
    void invertRect(const ZRect& rect);
    // Marks the top area in the handler map: the last handler set wins.
    void setInputHandler(IZInputHandler* handler);

    // Everything drawn by drawBitmap and drawGradient since the last layer.
    const ZRect& getDrawnBounds() const { return _drawnBounds; }
    const State& top() const { return _stateStack.back(); }

private:
    bool _hasArea() const;
    void _extendBounds(const ZRect& rect);
    // rect offset by the top's origin and clamped into its area.
    ZRect _toLayer(const ZRect& rect) const;

    std::deque<State> _stateStack;
    ZRect _drawnBounds;
};
