// FreeImage behind one process-wide mutex: JPEG encoding of a rectangle and
// loading pictures of the formats our own PNG reader leaves to it, from
// memory. FreeImage and the codecs it links (OpenEXR, JPEG XR, LibRaw, TIFF,
// WebP, OpenJPEG, ...) are opened at the first call that needs them, not at
// the program's start: the skin's pictures are PNGs and never need them.
#include <FreeImage.h>
#include <dlfcn.h>

#include <cstring>
#include <memory>

#include "ZImage_Internal.h"
#include "ZNonPortable_Base.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"

namespace {

// The FreeImage functions this family calls, resolved from the library.
struct ZFreeImageApi {
    void* library = nullptr;
    decltype(&FreeImage_Initialise) Initialise = nullptr;
    decltype(&FreeImage_ConvertFromRawBits) ConvertFromRawBits = nullptr;
    decltype(&FreeImage_ConvertToRawBits) ConvertToRawBits = nullptr;
    decltype(&FreeImage_ConvertTo24Bits) ConvertTo24Bits = nullptr;
    decltype(&FreeImage_OpenMemory) OpenMemory = nullptr;
    decltype(&FreeImage_CloseMemory) CloseMemory = nullptr;
    decltype(&FreeImage_AcquireMemory) AcquireMemory = nullptr;
    decltype(&FreeImage_GetFileTypeFromMemory) GetFileTypeFromMemory = nullptr;
    decltype(&FreeImage_LoadFromMemory) LoadFromMemory = nullptr;
    decltype(&FreeImage_SaveToMemory) SaveToMemory = nullptr;
    decltype(&FreeImage_GetInfoHeader) GetInfoHeader = nullptr;
    decltype(&FreeImage_Unload) Unload = nullptr;
};

template <class Function>
void resolve(void* library, const char* name, Function& function, std::string& missing) {
    void* address = dlsym(library, name);
    if (!address && missing.empty()) {
        const char* error = dlerror();
        missing = error ? error : name;
    }
    function = reinterpret_cast<Function>(address);
}

// Opens the library and resolves every function, or gives null after one
// warning that says why, the library closed again.
std::unique_ptr<ZFreeImageApi> openFreeImage(const std::string& name) {
    auto api = std::make_unique<ZFreeImageApi>();
    std::string failure;
    api->library = dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!api->library) {
        const char* error = dlerror();
        failure = error ? error : name;
    } else {
#define ZAN_FREEIMAGE_RESOLVE(function) resolve(api->library, "FreeImage_" #function, api->function, failure)
        ZAN_FREEIMAGE_RESOLVE(Initialise);
        ZAN_FREEIMAGE_RESOLVE(ConvertFromRawBits);
        ZAN_FREEIMAGE_RESOLVE(ConvertToRawBits);
        ZAN_FREEIMAGE_RESOLVE(ConvertTo24Bits);
        ZAN_FREEIMAGE_RESOLVE(OpenMemory);
        ZAN_FREEIMAGE_RESOLVE(CloseMemory);
        ZAN_FREEIMAGE_RESOLVE(AcquireMemory);
        ZAN_FREEIMAGE_RESOLVE(GetFileTypeFromMemory);
        ZAN_FREEIMAGE_RESOLVE(LoadFromMemory);
        ZAN_FREEIMAGE_RESOLVE(SaveToMemory);
        ZAN_FREEIMAGE_RESOLVE(GetInfoHeader);
        ZAN_FREEIMAGE_RESOLVE(Unload);
#undef ZAN_FREEIMAGE_RESOLVE
    }
    if (!failure.empty()) {
        ZLOG(L"WARNING Unable to open FreeImage (" << ZFromUTF8(failure)
                                                   << L"): only plain PNG pictures load, and no JPEG is written.");
        if (api->library) dlclose(api->library);
        return nullptr;
    }
    api->Initialise(FALSE);
    return api;
}

std::string& libraryName() {
    static std::string name = ZAN_FREEIMAGE_LIBRARY;
    return name;
}

// Serialises every FreeImage call of the process; the first lock that asks
// for the functions opens the library.
class ZFreeImageLock {
public:
    ZFreeImageLock() { ZMutexLock(mutex()); }
    ~ZFreeImageLock() { ZMutexUnlock(mutex()); }
    ZFreeImageLock(const ZFreeImageLock&) = delete;
    ZFreeImageLock& operator=(const ZFreeImageLock&) = delete;

    // Null when the library cannot be used; tried once per process. Kept to
    // the process's end: a thread may still load a picture during exit.
    const ZFreeImageApi* api() const {
        static const ZFreeImageApi* opened = openFreeImage(libraryName()).release();
        return opened;
    }

private:
    static ZMutex mutex() {
        static const ZMutex m = ZMutexOpen();
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
    const ZFreeImageApi* fi = lock.api();
    if (!fi) {
        ZLOG(L"WARNING Unable to encode JPEG of " << fromFormat.toString() << L", ignoring.");
        return;
    }
    FIBITMAP* fBitmap = fi->ConvertFromRawBits(_ZImageBytes(bgr), w, h, w * 3, 24, FI_RGBA_RED_MASK,
                                               FI_RGBA_GREEN_MASK, FI_RGBA_BLUE_MASK, TRUE);
    ZASSERT(fBitmap);
    if (!fBitmap) return;
    FIMEMORY* fStream = fi->OpenMemory(nullptr, 0);
    ZASSERT(fStream);
    if (!fStream) {
        fi->Unload(fBitmap);
        return;
    }
    const BOOL saved = fi->SaveToMemory(FIF_JPEG, fBitmap, fStream, 0);
    fi->Unload(fBitmap);
    BYTE* bytes = nullptr;
    DWORD count = 0;
    if (!saved || !fi->AcquireMemory(fStream, &bytes, &count))
        ZLOG(L"WARNING Unable to encode JPEG of " << fromFormat.toString() << L", ignoring.");
    else
        out.assign(reinterpret_cast<const char*>(bytes), count);
    fi->CloseMemory(fStream);
}

bool ZImageLoad(const unsigned char* data, int size, ZImageFormat& format, std::string& out) {
    ZTRACE();
    format = ZImageFormat{};
    out.clear();
    if (!data || size <= 0) {
        ZLOG(L"WARNING Unrecognized format, ignoring.");
        return false;
    }
    switch (_ZImageLoadPNG(data, size, format, out)) {
    case ZPNGLoad::Loaded: return true;
    case ZPNGLoad::Refused: return false;
    case ZPNGLoad::NotMine: break;
    }
    return _ZImageLoadFreeImage(data, size, format, out);
}

void _ZFreeImageSetLibrary(const std::string& library) {
    ZFreeImageLock lock;
    libraryName() = library;
}

bool _ZImageLoadFreeImage(const unsigned char* data, int size, ZImageFormat& format, std::string& out) {
    ZTRACE();
    ZFreeImageLock lock;
    format = ZImageFormat{};
    out.clear();
    const ZFreeImageApi* fi = lock.api();
    if (!fi) {
        ZLOG(L"WARNING Unable to load image, ignoring.");
        return false;
    }
    FIMEMORY* stream = fi->OpenMemory(const_cast<BYTE*>(data), static_cast<DWORD>(size));
    if (!stream) {
        ZLOG(L"WARNING Unable to open memory stream");
        return false;
    }
    const FREE_IMAGE_FORMAT type = fi->GetFileTypeFromMemory(stream, 0);
    if (type == FIF_UNKNOWN) {
        ZLOG(L"WARNING Unrecognized format, ignoring.");
        fi->CloseMemory(stream);
        return false;
    }
    FIBITMAP* bitmap = fi->LoadFromMemory(type, stream, 0);
    if (!bitmap) {
        ZLOG(L"WARNING Unable to load image, ignoring.");
        fi->CloseMemory(stream);
        return false;
    }
    BITMAPINFOHEADER* header = fi->GetInfoHeader(bitmap);
    if (header->biCompression != 0 || (header->biBitCount != 24 && header->biBitCount != 32)) {
        FIBITMAP* converted = fi->ConvertTo24Bits(bitmap);
        if (converted) {
            fi->Unload(bitmap);
            bitmap = converted;
            header = fi->GetInfoHeader(bitmap);
        } else {
            ZLOG(L"WARNING Unable to convert to 24bpp");
        }
    }
    if (header->biCompression != 0) {
        const DWORD c = header->biCompression;
        std::wstring code;
        for (int i = 0; i < 4; ++i) code += static_cast<wchar_t>((c >> (8 * i)) & 0xFF);
        ZLOG(L"WARNING Unsupported bitmap compression '" << code << L"'");
        fi->Unload(bitmap);
        fi->CloseMemory(stream);
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
        fi->Unload(bitmap);
        fi->CloseMemory(stream);
        return false;
    }
    out.resize(static_cast<std::size_t>(bytes));
    const int bpp = rgb ? 3 : 4;
    // Rows top first, like every other buffer of the system.
    fi->ConvertToRawBits(_ZImageBytes(out), bitmap, loaded.width * bpp, 8 * bpp, 0xFF, 0xFF00, 0xFF0000, TRUE);
    ZImageConvert(loaded, _ZImageBytes(out), rgb ? ZIT_RGB24 : ZIT_RGBA32);
    fi->Unload(bitmap);
    fi->CloseMemory(stream);
    format = loaded;
    return true;
}
