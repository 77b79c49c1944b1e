// FreeImage behind one process-wide mutex: JPEG encoding of a rectangle and
// loading pictures of any common format (skin files) from memory.
#include <FreeImage.h>

#include <cstring>

#include "ZImage_Internal.h"
#include "ZNonPortable_Base.h"
#include "ZUtil.h"

namespace {

// Serialises every FreeImage call of the process.
class ZFreeImageLock {
public:
    ZFreeImageLock() { ZMutexLock(mutex()); }
    ~ZFreeImageLock() { ZMutexUnlock(mutex()); }
    ZFreeImageLock(const ZFreeImageLock&) = delete;
    ZFreeImageLock& operator=(const ZFreeImageLock&) = delete;

private:
    static ZMutex mutex() {
        static const ZMutex m = [] {
            ZMutex made = ZMutexOpen();
            FreeImage_Initialise(FALSE);
            return made;
        }();
        return m;
    }
};

// The rectangle's pixels as B, G, R rows top first: FreeImage's 24-bit
// layout, which ignores channel masks for 24 and 32 bits per pixel.
std::string bgrRows(const ZImageFormat& fromFormat, const unsigned char* fromBuffer, const ZRect& rect) {
    const int w = rect.right - rect.left;
    const int h = rect.bottom - rect.top;
    const int bpp = ZImageBytesPerPixel(fromFormat.type);
    std::string out(static_cast<std::size_t>(w) * h * 3, '\0');
    unsigned char* d = _ZImageBytes(out);
    for (int y = rect.top; y < rect.bottom; ++y) {
        const unsigned char* s = fromBuffer + (static_cast<std::size_t>(fromFormat.width) * y + rect.left) * bpp;
        for (int x = 0; x < w; ++x, s += bpp, d += 3) {
            const unsigned v = s[0] | (bpp > 1 ? s[1] << 8 : 0);
            switch (fromFormat.type) {
            case ZIT_RGB24:
            case ZIT_RGBA32: d[0] = s[2], d[1] = s[1], d[2] = s[0]; break;
            case ZIT_BGR24:
            case ZIT_BGRA32: d[0] = s[0], d[1] = s[1], d[2] = s[2]; break;
            case ZIT_RGB565:
                d[2] = static_cast<unsigned char>((v >> 8) & 0xF8);
                d[1] = static_cast<unsigned char>((v >> 3) & 0xFC);
                d[0] = static_cast<unsigned char>((v << 3) & 0xF8);
                break;
            case ZIT_RGB555:
                d[2] = static_cast<unsigned char>((v >> 7) & 0xF8);
                d[1] = static_cast<unsigned char>((v >> 2) & 0xF8);
                d[0] = static_cast<unsigned char>((v << 3) & 0xF8);
                break;
            }
        }
    }
    return out;
}

}  // namespace

void _ZImageEncodeJPEG(const ZImageFormat& fromFormat, const unsigned char* fromBuffer, const ZRect& rect,
                       std::string& out) {
    ZTRACE();
    const int w = rect.right - rect.left;
    const int h = rect.bottom - rect.top;
    std::string bgr = bgrRows(fromFormat, fromBuffer, rect);
    ZFreeImageLock lock;
    FIBITMAP* fBitmap = FreeImage_ConvertFromRawBits(_ZImageBytes(bgr), w, h, w * 3, 24, FI_RGBA_RED_MASK,
                                                     FI_RGBA_GREEN_MASK, FI_RGBA_BLUE_MASK, TRUE);
    ZASSERT(fBitmap);
    if (!fBitmap) return;
    FIMEMORY* fStream = FreeImage_OpenMemory();
    ZASSERT(fStream);
    if (!fStream) {
        FreeImage_Unload(fBitmap);
        return;
    }
    const BOOL saved = FreeImage_SaveToMemory(FIF_JPEG, fBitmap, fStream, 0);
    FreeImage_Unload(fBitmap);
    BYTE* bytes = nullptr;
    DWORD count = 0;
    if (!saved || !FreeImage_AcquireMemory(fStream, &bytes, &count))
        ZLOG(L"WARNING Unable to encode JPEG of " << fromFormat.toString() << L", ignoring.");
    else
        out.assign(reinterpret_cast<const char*>(bytes), count);
    FreeImage_CloseMemory(fStream);
}

bool ZImageLoad(const unsigned char* data, int size, ZImageFormat& format, std::string& out) {
    ZTRACE();
    ZFreeImageLock lock;
    format = ZImageFormat{};
    out.clear();
    if (!data || size <= 0) {
        ZLOG(L"WARNING Unrecognized format, ignoring.");
        return false;
    }
    FIMEMORY* stream = FreeImage_OpenMemory(const_cast<BYTE*>(data), static_cast<DWORD>(size));
    if (!stream) {
        ZLOG(L"WARNING Unable to open memory stream");
        return false;
    }
    const FREE_IMAGE_FORMAT type = FreeImage_GetFileTypeFromMemory(stream, 0);
    if (type == FIF_UNKNOWN) {
        ZLOG(L"WARNING Unrecognized format, ignoring.");
        FreeImage_CloseMemory(stream);
        return false;
    }
    FIBITMAP* bitmap = FreeImage_LoadFromMemory(type, stream, 0);
    if (!bitmap) {
        ZLOG(L"WARNING Unable to load image, ignoring.");
        FreeImage_CloseMemory(stream);
        return false;
    }
    BITMAPINFOHEADER* header = FreeImage_GetInfoHeader(bitmap);
    if (header->biCompression != 0 || (header->biBitCount != 24 && header->biBitCount != 32)) {
        FIBITMAP* converted = FreeImage_ConvertTo24Bits(bitmap);
        if (converted) {
            FreeImage_Unload(bitmap);
            bitmap = converted;
            header = FreeImage_GetInfoHeader(bitmap);
        } else {
            ZLOG(L"WARNING Unable to convert to 24bpp");
        }
    }
    if (header->biCompression != 0) {
        const DWORD c = header->biCompression;
        std::wstring code;
        for (int i = 0; i < 4; ++i) code += static_cast<wchar_t>((c >> (8 * i)) & 0xFF);
        ZLOG(L"WARNING Unsupported bitmap compression '" << code << L"'");
        FreeImage_Unload(bitmap);
        FreeImage_CloseMemory(stream);
        return false;
    }
    const bool rgb = header->biBitCount == 24;
    ZImageFormat loaded = {rgb ? ZIT_BGR24 : ZIT_BGRA32, header->biWidth,
                           header->biHeight < 0 ? -header->biHeight : header->biHeight};
    const std::int64_t bytes = ZImageByteSize(loaded);
    // A bitmap whose bits are not 24 or 32 per pixel (a failed conversion) or
    // whose size does not fit is refused rather than read past its end.
    if (bytes <= 0 || (header->biBitCount != 24 && header->biBitCount != 32)) {
        ZLOG(L"WARNING Unable to load image, ignoring.");
        FreeImage_Unload(bitmap);
        FreeImage_CloseMemory(stream);
        return false;
    }
    out.resize(static_cast<std::size_t>(bytes));
    const int bpp = rgb ? 3 : 4;
    // Rows top first, like every other buffer of the system.
    FreeImage_ConvertToRawBits(_ZImageBytes(out), bitmap, loaded.width * bpp, 8 * bpp, 0xFF, 0xFF00, 0xFF0000, TRUE);
    ZImageConvert(loaded, _ZImageBytes(out), rgb ? ZIT_RGB24 : ZIT_RGBA32);
    FreeImage_Unload(bitmap);
    FreeImage_CloseMemory(stream);
    format = loaded;
    return true;
}
