// Images as variables of the shared store: the write and read protocols
// around the store lock, and skin files loaded on first read.
#include "ZImage.h"
#include "ZImageTools.h"
#include "ZInstance.h"
#include "ZPortable_Parse.h"
#include "ZUtil.h"
#include "ZUtil_File.h"

namespace {

// The stored name and the selected rectangle (zero for a plain name).
std::wstring splitReference(const std::wstring& reference, ZRect& rect) {
    rect = ZRect{};
    std::wstring base;
    if (ZParseNameRect(reference, base, rect)) return base;
    rect = ZRect{};
    return reference;
}

bool loadFromFile(ZInstance* instance, const std::wstring& base) {
    std::string bytes;
    if (!ZFileExists(base) || !ZFileLoad(base, bytes)) return false;
    ZImageFormat format;
    std::string pixels;
    if (!ZImageLoad(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()), format,
                    pixels))
        return false;
    ZImageTools_instanceWrite(instance, base, format, reinterpret_cast<const unsigned char*>(pixels.data()));
    return true;
}

}  // namespace

void ZImageTools_instanceWrite(ZInstance* instance, const std::wstring& imageName, const ZImageFormat& format,
                               const unsigned char* buffer) {
    ZTRACE();
    ZPRECONDITION(instance && !imageName.empty( ));
    const std::int64_t size = ZImageByteSize(format);
    if (size <= 0 || !buffer) {
        ZLOG(L"WARNING Image '" << imageName << L"' has no pixels of " << format.toString() << L", ignoring.");
        return;
    }
    instance->set(imageName + L"_Format", format.serialize(), false);
    instance->set(imageName, std::string(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(size)), false);
}

std::string& ZImageTools_instanceWriteOpen(ZInstance* instance, const std::wstring& imageName, ZImageFormat& format,
                                           ZRect& dirtyRect) {
    ZTRACE();
    ZPRECONDITION(instance && !imageName.empty( ));
    format = ZImageFormat{};
    dirtyRect = ZRect{};
    std::string& value = instance->open(imageName).value;
    const std::wstring formatName = imageName + L"_Format";
    ZImageFormat stored;
    if (instance->isSet(formatName) && stored.deserialize(instance->getRaw(formatName))) {
        format = stored;
        if (!dirtyRect.deserialize(instance->getRaw(imageName + L"_DirtyRect"))) dirtyRect = ZRect{};
    }
    return value;
}

void ZImageTools_instanceWriteClose(ZInstance* instance, const std::wstring& imageName, const ZImageFormat& format,
                                    const ZRect& dirtyRect) {
    ZTRACE();
    ZPRECONDITION(instance && !imageName.empty( ));
    instance->set(imageName + L"_Format", format.serialize(), false);
    instance->set(imageName + L"_DirtyRect", dirtyRect.serialize(), false);
    instance->close(imageName, true);
}

const unsigned char* ZImageTools_instanceReadOpen(ZInstance* instance, const std::wstring& name,
                                                  ZImageFormat& format, ZRect& rect, int cellX, int cellY) {
    ZTRACE();
    ZPRECONDITION(instance && !name.empty( ));
    format = ZImageFormat{};
    const std::wstring base = splitReference(name, rect);
    const std::wstring formatName = base + L"_Format";
    if ((!instance->isSet(base) || !instance->isSet(formatName)) && !loadFromFile(instance, base)) {
        rect = ZRect{};
        return nullptr;
    }
    const std::string& pixels = instance->open(base).value;
    // A settings file can hold any bytes: an image without a format we can
    // read is no image.
    if (!format.deserialize(instance->getRaw(formatName))) {
        ZLOG(L"WARNING Image '" << base << L"' has an unreadable format, ignoring.");
        instance->close(base, false);
        format = ZImageFormat{};
        rect = ZRect{};
        return nullptr;
    }
    // A format that promises more bytes than the image holds would let the
    // reader run past them.
    if (!ZImageFormatFits(format, pixels.size())) {
        ZLOG(L"WARNING Image '" << base << L"' holds " << static_cast<long long>(pixels.size()) << L" bytes, not "
                                << format.toString() << L", ignoring.");
        instance->close(base, false);
        format = ZImageFormat{};
        rect = ZRect{};
        return nullptr;
    }
    if (rect.right == rect.left || rect.bottom == rect.top) rect = ZRect{0, 0, format.width, format.height};
    const std::int64_t cellWidth = std::int64_t{rect.right} - rect.left;
    const std::int64_t cellHeight = std::int64_t{rect.bottom} - rect.top;
    auto moved = [](std::int32_t v, std::int64_t by) {
        const std::int64_t r = v + by;
        return static_cast<std::int32_t>(r > INT32_MAX ? INT32_MAX : (r < INT32_MIN ? INT32_MIN : r));
    };
    if (cellX != 0) {
        rect.left = moved(rect.left, cellWidth * cellX);
        rect.right = moved(rect.right, cellWidth * cellX);
    }
    if (cellY != 0) {
        rect.top = moved(rect.top, cellHeight * cellY);
        rect.bottom = moved(rect.bottom, cellHeight * cellY);
    }
    ZRectClip(rect, ZRect{0, 0, format.width, format.height});
    return reinterpret_cast<const unsigned char*>(pixels.data());
}

void ZImageTools_instanceReadClose(ZInstance* instance, const std::wstring& name) {
    ZTRACE();
    ZPRECONDITION(instance && !name.empty( ));
    ZRect ignored;
    instance->close(splitReference(name, ignored), false);
}

bool ZImageTools_instanceReadCheck(ZInstance* instance, const std::wstring& name, ZImageFormat& format, ZRect& rect) {
    ZTRACE();
    format = ZImageFormat{};
    const std::wstring base = splitReference(name, rect);
    if (!instance->isSet(base) || !instance->isSet(base + L"_Format")) {
        if (!ZImageTools_instanceReadOpen(instance, name, format, rect, 0, 0)) return false;
        ZImageTools_instanceReadClose(instance, name);
    }
    const std::string formatBuffer = instance->getRaw(base + L"_Format");
    if (!format.deserialize(formatBuffer)) {
        ZLOG(L"WARNING Image '" << base << L"' has an unreadable format, ignoring.");
        format = ZImageFormat{};
        return false;
    }
    return true;
}

void ZImageTools_instanceCopy(ZInstance* instance, const std::wstring& destination, const std::wstring& source) {
    ZTRACE();
    ZImageFormat format;
    ZRect rect;
    const unsigned char* pixels = ZImageTools_instanceReadOpen(instance, source, format, rect, 0, 0);
    if (!pixels) {
        ZLOG(L"WARNING Trying to copy image '" << source << L"' to '" << destination << L"', but doesn't exist; ignoring.");
        return;
    }
    ZImageTools_instanceWrite(instance, destination, format, pixels);
    ZImageTools_instanceReadClose(instance, source);
}
