#include "ZNodeHelpers.h"

#include "ZImage.h"
#include "ZImageTools.h"
#include "ZPortable_Parse.h"
#include "ZPortable_Text.h"
#include "ZTemplate.h"

std::uint32_t ZNodeAlignFlags(const std::wstring& align, const std::wstring& valign) {
    std::uint32_t flags = 0;
    if (ZCaseEquals(align, L"center")) flags |= ZIC_ALIGN_HCENTER;
    else if (ZCaseEquals(align, L"right")) flags |= ZIC_ALIGN_RIGHT;
    else if (ZCaseEquals(align, L"stretch")) flags |= ZIC_SCALE_X;
    else if (ZCaseEquals(align, L"tile")) flags |= ZIC_TILE_X;
    else if (ZCaseEquals(align, L"fit")) flags |= ZIC_ASPECT;
    if (ZCaseEquals(valign, L"center")) flags |= ZIC_ALIGN_VCENTER;
    else if (ZCaseEquals(valign, L"bottom")) flags |= ZIC_ALIGN_BOTTOM;
    else if (ZCaseEquals(valign, L"stretch")) flags |= ZIC_SCALE_Y;
    else if (ZCaseEquals(valign, L"tile")) flags |= ZIC_TILE_Y;
    return flags;
}

std::uint32_t ZNodeModeFlags(const std::wstring& mode) { return ZCaseEquals(mode, L"copy") ? ZIC_NOBLEND : 0; }

std::wstring ZNodeBuddyName(const std::wstring& identifier) {
    std::wstring user, domain;
    ZSplitAddress(identifier, user, domain);
    if (identifier.find(L'@') != std::wstring::npos && ZCaseEquals(domain, ZTEMPLATE_SERVICE_DOMAIN)) return user;
    return identifier;
}

bool ZNodeImageFrameSize(ZInstance* instance, const std::wstring& reference, int& width, int& height) {
    ZImageFormat format;
    ZRect rect;
    if (reference.empty() || !ZImageTools_instanceReadCheck(instance, reference, format, rect)) return false;
    if (ZRectEmpty(rect)) rect = ZRect{0, 0, format.width, format.height};
    ZRectClip(rect, ZRect{0, 0, format.width, format.height});
    width = rect.right - rect.left;
    height = rect.bottom - rect.top;
    return true;
}

ZRect ZNodeNormalised(ZRect rect) {
    if (rect.right < rect.left) rect.right = rect.left;
    if (rect.bottom < rect.top) rect.bottom = rect.top;
    return rect;
}
