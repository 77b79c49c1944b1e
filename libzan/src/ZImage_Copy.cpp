// The two copy operations: _ZImageCopy moves one same-type rectangle (with
// alpha blending for 4-byte pixels), ZImageCopy draws with conversion,
// aspect fit, scaling, alignment and tiling.
#include <algorithm>
#include <cstring>

#include "ZImagePrimitives.h"
#include "ZImage_Internal.h"
#include "ZUtil.h"

namespace {

// Shrinks a same-size pair of rectangles to the part that lies inside both
// images, keeping their pixels aligned. False when nothing is left.
bool clipPair(ZRect& from, int fromWidth, int fromHeight, ZRect& to, int toWidth, int toHeight) {
    const std::int64_t dx = std::max<std::int64_t>({0, -std::int64_t{from.left}, -std::int64_t{to.left}});
    const std::int64_t dy = std::max<std::int64_t>({0, -std::int64_t{from.top}, -std::int64_t{to.top}});
    const std::int64_t w = std::min<std::int64_t>({std::int64_t{to.right} - to.left - dx,
                                                   std::int64_t{fromWidth} - from.left - dx,
                                                   std::int64_t{toWidth} - to.left - dx});
    const std::int64_t h = std::min<std::int64_t>({std::int64_t{to.bottom} - to.top - dy,
                                                   std::int64_t{fromHeight} - from.top - dy,
                                                   std::int64_t{toHeight} - to.top - dy});
    if (w <= 0 || h <= 0) return false;
    from.left += static_cast<std::int32_t>(dx);
    from.top += static_cast<std::int32_t>(dy);
    to.left += static_cast<std::int32_t>(dx);
    to.top += static_cast<std::int32_t>(dy);
    from.right = from.left + static_cast<std::int32_t>(w);
    from.bottom = from.top + static_cast<std::int32_t>(h);
    to.right = to.left + static_cast<std::int32_t>(w);
    to.bottom = to.top + static_cast<std::int32_t>(h);
    return true;
}

void grow(ZRect& r, const ZRect& by) {
    r.left = std::min(r.left, by.left);
    r.top = std::min(r.top, by.top);
    r.right = std::max(r.right, by.right);
    r.bottom = std::max(r.bottom, by.bottom);
}

}  // namespace

void _ZImageCopy(ZImageFormat fromFormat, const unsigned char* fromBuffer, ZRect fromRect, ZImageFormat toFormat,
                 unsigned char* toBuffer, ZRect toRect, std::uint32_t flags) {
    ZTRACE();
    ZPRECONDITION(fromBuffer && toBuffer);
    ZPRECONDITION(fromFormat.width > 0 && fromFormat.height > 0);
    ZPRECONDITION(toFormat.width > 0 && toFormat.height > 0);
    ZPRECONDITION(fromRect.right > fromRect.left && fromRect.bottom > fromRect.top);
    ZPRECONDITION(toRect.right > toRect.left && toRect.bottom > toRect.top);
    ZPRECONDITION(fromFormat.type == toFormat.type);
    const int fromWidth = ZMin(fromRect.right - fromRect.left, toRect.right - toRect.left);
    const int fromHeight = ZMin(fromRect.bottom - fromRect.top, toRect.bottom - toRect.top);
    const int toWidth = toRect.right - toRect.left;
    const int toHeight = toRect.bottom - toRect.top;
    ZASSERT(fromWidth == toWidth && fromHeight == toHeight);

    // Rectangles may reach past their images (a caller's region from a peer):
    // only the part inside both is copied.
    const ZRect askedTo = toRect;
    fromRect.right = fromRect.left + toWidth;
    fromRect.bottom = fromRect.top + toHeight;
    if (!clipPair(fromRect, fromFormat.width, fromFormat.height, toRect, toFormat.width, toFormat.height)) {
        ZLOG(L"WARNING Copy to " << askedTo.serialize() << L" lies outside the images, ignoring.");
        return;
    }
    const int w = toRect.right - toRect.left;
    const int h = toRect.bottom - toRect.top;
    const int bpp = ZImageBytesPerPixel(toFormat.type);
    const int fromStep = fromFormat.width * bpp;
    const int toStep = toFormat.width * bpp;
    const unsigned char* src = fromBuffer + (static_cast<std::size_t>(fromFormat.width) * fromRect.top + fromRect.left) * bpp;
    unsigned char* dst = toBuffer + (static_cast<std::size_t>(toFormat.width) * toRect.top + toRect.left) * bpp;
    switch (bpp) {
    case 4:
        if (flags & ZIC_NOBLEND) zpiCopy_8u_C4R(src, fromStep, dst, toStep, {w, h});
        else zpiAlphaComp_8u_AC4R(src, fromStep, dst, toStep, dst, toStep, {w, h}, zpAlphaOver);
        break;
    case 3: zpiCopy_8u_C3R(src, fromStep, dst, toStep, {w, h}); break;
    case 2:
        for (int y = 0; y < h; ++y)
            std::memcpy(dst + static_cast<std::size_t>(y) * toStep, src + static_cast<std::size_t>(y) * fromStep,
                        static_cast<std::size_t>(w) * 2);
        break;
    default:
        ZLOG(L"ERROR Attempting to copy into unsupported format #" << toFormat.type << L", aborting.");
        ZAbort();
    }
}

ZRect ZImageCopy(ZImageFormat fromFormat, const unsigned char* fromBuffer, ZRect fromRect, ZImageFormat toFormat,
                 unsigned char* toBuffer, ZRect toRect, std::uint32_t flags) {
    ZTRACE();
    ZPRECONDITION(fromBuffer && toBuffer);
    ZPRECONDITION(fromFormat.width > 0 && fromFormat.height > 0);
    ZPRECONDITION(toFormat.width > 0 && toFormat.height > 0);
    ZRect result = ZRECT_NOTHING;
    ZRectClip(fromRect, ZRect{0, 0, fromFormat.width, fromFormat.height});
    ZRectClip(toRect, ZRect{0, 0, toFormat.width, toFormat.height});
    if (ZRectEmpty(fromRect) || ZRectEmpty(toRect)) return result;

    std::string converted;
    if (fromFormat.type != toFormat.type) {
        ZImageConvert(fromFormat, fromBuffer, toFormat.type, converted);
        if (converted.empty()) return result;
        fromFormat.type = toFormat.type;
        fromBuffer = _ZImageBytes(converted);
    }
    int fromWidth = fromRect.right - fromRect.left;
    int fromHeight = fromRect.bottom - fromRect.top;
    int toWidth = toRect.right - toRect.left;
    int toHeight = toRect.bottom - toRect.top;

    if (flags & ZIC_ASPECT) {
        const float rf = static_cast<float>(fromWidth) / static_cast<float>(fromHeight);
        const float rt = static_cast<float>(toWidth) / static_cast<float>(toHeight);
        if (rt < rf) {
            const int newHeight = static_cast<int>(toWidth / rf);
            toRect.top += (toHeight - newHeight) / 2;
            toRect.bottom = toRect.top + newHeight;
        } else {
            const int newWidth = static_cast<int>(toHeight * rf);
            toRect.left += (toWidth - newWidth) / 2;
            toRect.right = toRect.left + newWidth;
        }
        flags |= ZIC_SCALE_X | ZIC_SCALE_Y;
        toWidth = toRect.right - toRect.left;
        toHeight = toRect.bottom - toRect.top;
        if (toWidth <= 0 || toHeight <= 0) return result;
    }

    std::string resized;
    if ((fromWidth != toWidth && (flags & ZIC_SCALE_X)) || (fromHeight != toHeight && (flags & ZIC_SCALE_Y))) {
        const int newWidth = (flags & ZIC_SCALE_X) ? toWidth : fromWidth;
        const int newHeight = (flags & ZIC_SCALE_Y) ? toHeight : fromHeight;
        ZImageResize(fromFormat, fromBuffer, fromRect, newWidth, newHeight, resized, flags);
        if (resized.empty()) return result;
        fromFormat.width = newWidth;
        fromFormat.height = newHeight;
        fromBuffer = _ZImageBytes(resized);
        fromRect = ZRect{0, 0, newWidth, newHeight};
        fromWidth = newWidth;
        fromHeight = newHeight;
    }

    if (fromWidth > toWidth) {
        if (flags & ZIC_ALIGN_HCENTER) fromRect.left += (fromWidth - toWidth) / 2;
        else if (flags & ZIC_ALIGN_RIGHT) fromRect.left += fromWidth - toWidth;
        fromWidth = toWidth;
    }
    if (fromHeight > toHeight) {
        if (flags & ZIC_ALIGN_VCENTER) fromRect.top += (fromHeight - toHeight) / 2;
        else if (flags & ZIC_ALIGN_BOTTOM) fromRect.top += fromHeight - toHeight;
        fromHeight = toHeight;
    }
    ZASSERT(fromWidth <= toWidth);
    ZASSERT(fromHeight <= toHeight);

    for (int y = toRect.top; y < toRect.bottom;) {
        for (int x = toRect.left; x < toRect.right;) {
            ZRect tile;
            tile.top = y;
            if (flags & ZIC_ALIGN_VCENTER) tile.top += (toHeight - fromHeight) / 2;
            else if (flags & ZIC_ALIGN_BOTTOM) tile.top += toHeight - fromHeight;
            tile.left = x;
            if (flags & ZIC_ALIGN_HCENTER) tile.left += (toWidth - fromWidth) / 2;
            else if (flags & ZIC_ALIGN_RIGHT) tile.left += toWidth - fromWidth;
            tile.right = tile.left + fromWidth;
            tile.bottom = tile.top + fromHeight;
            ZRectClip(tile, toRect);
            if (!ZRectEmpty(tile)) {
                const ZRect source = {fromRect.left, fromRect.top, fromRect.left + (tile.right - tile.left),
                                      fromRect.top + (tile.bottom - tile.top)};
                _ZImageCopy(fromFormat, fromBuffer, source, toFormat, toBuffer, tile, flags);
                grow(result, tile);
            }
            if (!(flags & ZIC_TILE_X)) break;
            x += fromWidth;
        }
        if (!(flags & ZIC_TILE_Y)) break;
        y += fromHeight;
    }
    return result;
}
