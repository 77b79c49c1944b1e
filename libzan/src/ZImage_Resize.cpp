// Geometry of whole images: resize (also of planar YUV frames), vertical
// mirror, crop and reframe.
#include "ZImagePrimitives.h"
#include "ZImage_Internal.h"
#include "ZUtil.h"

namespace {

std::int32_t interpolationOf(std::uint32_t flags) {
    if (flags & ZIC_RESIZE_NEAREST) return zpInterNearest;
    if (flags & ZIC_RESIZE_LINEAR) return zpInterLinear;
    return zpInterCubic;
}

}  // namespace

void ZImageResize(const ZImageFormat& fromFormat, const unsigned char* fromBuffer, const ZRect& fromRect,
                  int newWidth, int newHeight, std::string& out, std::uint32_t flags) {
    ZTRACE();
    out.clear();
    const int bpp = ZImageBytesPerPixel(fromFormat.type);
    decltype(&zpiResize_8u_C1R) resize = nullptr;
    switch (fromFormat.type) {
    case ZIT_RGB24:
    case ZIT_BGR24: resize = zpiResize_8u_C3R; break;
    case ZIT_RGBA32:
    case ZIT_BGRA32: resize = zpiResize_8u_C4R; break;
    case ZIT_GRAY8: resize = zpiResize_8u_C1R; break;
    default:
        ZLOG(L"ERROR: Attempting to resize unsupported image type #" << fromFormat.type << L", aborting.");
        ZAbort();
        return;
    }
    const ZImageFormat target = {fromFormat.type, newWidth, newHeight};
    if (ZImageByteSize(target) <= 0) {
        ZLOG(L"WARNING Unable to resize to " << target.toString() << L", ignoring.");
        return;
    }
    const int interpolation = interpolationOf(flags);
    out.resize(static_cast<std::size_t>(bpp) * newWidth * newHeight);
    const int sw = fromRect.right - fromRect.left;
    const int sh = fromRect.bottom - fromRect.top;
    const double xFactor = static_cast<double>(newWidth) / sw;
    const double yFactor = static_cast<double>(newHeight) / sh;
    resize(fromBuffer, {fromFormat.width, fromFormat.height}, fromFormat.width * bpp,
           {fromRect.left, fromRect.top, sw, sh}, _ZImageBytes(out), bpp * newWidth, {newWidth, newHeight}, xFactor,
           yFactor, interpolation);
}

void ZImageResizeIYUY(const ZImageFormat& fromFormat, const unsigned char* fromYBuffer,
                      const unsigned char* fromUBuffer, const unsigned char* fromVBuffer, int newWidth,
                      int newHeight, std::string& outY, std::string& outU, std::string& outV) {
    ZTRACE();
    ZPRECONDITION(fromFormat.type == ZIT_IYUY);
    outY.clear();
    outU.clear();
    outV.clear();
    const int w = fromFormat.width;
    const int h = fromFormat.height;
    ZImageResize(ZImageFormat{ZIT_GRAY8, w, h}, fromYBuffer, ZRect{0, 0, w, h}, newWidth, newHeight, outY, 0);
    const ZImageFormat chroma = {ZIT_GRAY8, w / 2, h / 2};
    const ZRect chromaRect = {0, 0, w / 2, h / 2};
    ZImageResize(chroma, fromUBuffer, chromaRect, newWidth / 2, newHeight / 2, outU, 0);
    ZImageResize(chroma, fromVBuffer, chromaRect, newWidth / 2, newHeight / 2, outV, 0);
}

void ZImageVertMirror(const ZImageFormat& format, unsigned char* buffer) {
    ZTRACE();
    ZPRECONDITION(buffer);
    ZPRECONDITION(format.width > 0 && format.height > 0);
    const zpSize size = {format.width, format.height};
    switch (format.type) {
    case ZIT_RGB24:
    case ZIT_BGR24: zpiMirror_8u_C3IR(buffer, format.width * 3, size, zpAxsHorizontal); break;
    case ZIT_RGBA32:
    case ZIT_BGRA32: zpiMirror_8u_C4IR(buffer, format.width * 4, size, zpAxsHorizontal); break;
    default:
        ZLOG(L"WARNING Attempting unsupported vertical mirror on unsupported type #" << format.type << L", ignoring.");
    }
}

void ZImageCrop(const ZImageFormat& fromFormat, const unsigned char* fromBuffer, const ZRect& fromRect,
                std::string& out) {
    ZTRACE();
    ZPRECONDITION(fromBuffer);
    ZASSERT(ZVALIDRECT( fromRect ) && ZRectWithin( fromRect, fromFormat.width, fromFormat.height ) && !ZRectEmpty( fromRect ));
    const int w = fromRect.right - fromRect.left;
    const int h = fromRect.bottom - fromRect.top;
    out.clear();
    out.resize(static_cast<std::size_t>(ZImageBytesPerPixel(fromFormat.type)) * w * h);
    if (out.empty()) {
        // Packed and planar types have no whole bytes per pixel to copy.
        ZLOG(L"ERROR Attempting to copy into unsupported format #" << fromFormat.type << L", aborting.");
        ZAbort();
        return;
    }
    ZImageCopy(fromFormat, fromBuffer, fromRect, ZImageFormat{fromFormat.type, w, h}, _ZImageBytes(out),
               ZRect{0, 0, w, h}, ZIC_NOBLEND);
}

void ZImageReframe(ZImageFormat& format, std::string& buffer, int newWidth, int newHeight, std::uint32_t color) {
    ZTRACE();
    if (format.width == newWidth && format.height == newHeight) return;
    const ZImageFormat target = {format.type, newWidth, newHeight};
    const int bpp = ZImageBytesPerPixel(format.type);
    // The new size may come from a peer's layout: refuse what cannot be a frame.
    if (bpp == 0 || ZImageByteSize(target) <= 0 || !ZImageFormatFits(format, buffer.size())) {
        ZLOG(L"WARNING Unable to reframe " << format.toString() << L" to " << target.toString() << L", ignoring.");
        return;
    }
    const std::string old = buffer;
    const ZImageFormat oldFormat = format;
    format.width = newWidth;
    format.height = newHeight;
    buffer.resize(static_cast<std::size_t>(bpp) * newWidth * newHeight, '\0');
    const int keepWidth = ZMin(oldFormat.width, newWidth);
    const int keepHeight = ZMin(oldFormat.height, newHeight);
    ZImageCopy(oldFormat, reinterpret_cast<const unsigned char*>(old.data()), ZRect{0, 0, keepWidth, keepHeight},
               format, _ZImageBytes(buffer), ZRect{0, 0, keepWidth, keepHeight}, 0);
    unsigned char fill[4];
    for (int i = 0; i < 4; ++i) fill[i] = static_cast<unsigned char>(color >> (8 * i));
    if (newWidth > oldFormat.width)
        ZImageFillRect(format, _ZImageBytes(buffer), ZRect{oldFormat.width, 0, newWidth, newHeight}, fill);
    if (newHeight > oldFormat.height)
        ZImageFillRect(format, _ZImageBytes(buffer), ZRect{0, oldFormat.height, oldFormat.width, newHeight}, fill);
    ZASSERT(format.width == newWidth && format.height == newHeight);
}
