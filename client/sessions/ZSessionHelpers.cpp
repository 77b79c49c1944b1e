#include "ZSessionHelpers.h"

#include <cstdlib>
#include <mutex>
#include <random>

#include "ZInstance.h"
#include "ZUtil.h"

#include "ZImageTools.h"

namespace {

bool isNameUnit(wchar_t c) {
    return (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') || c == L'.' || c == L'_' || c == L'-';
}

}  // namespace

bool ZSIPIsUserGUID(const std::wstring& text) {
    if (text.empty() || text.size() > ZSIP_MAX_USER_GUID) return false;
    const std::size_t at = text.find(L'@');
    if (at == 0 || at == std::wstring::npos || at + 1 == text.size()) return false;
    if (text.find(L'@', at + 1) != std::wstring::npos) return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if (i != at && !isNameUnit(text[i])) return false;
    return true;
}

bool ZSIPIsDeviceGUID(const std::wstring& text) {
    if (text.empty() || text.size() > ZSIP_MAX_DEVICE_GUID) return false;
    for (wchar_t c : text)
        if (!isNameUnit(c)) return false;
    return true;
}

bool ZSIPSplitBuddyDeviceGUID(const std::wstring& text, std::wstring& buddy, std::wstring& device) {
    const std::size_t at = text.rfind(L'@');
    if (at == std::wstring::npos) return false;
    buddy = text.substr(0, at);
    device = text.substr(at + 1);
    return ZSIPIsUserGUID(buddy) && ZSIPIsDeviceGUID(device);
}

std::wstring ZSIPPrintable(const std::wstring& text) {
    std::wstring out = text.substr(0, 80);
    for (wchar_t& c : out)
        if (c < 0x20 || c == 0x7F) c = L'?';
    return out;
}

void ZSIPSeedRandom() {
    static std::once_flag once;
    std::call_once(once, [] {
        std::random_device entropy;
        std::srand(entropy());
    });
}

std::int32_t ZSIPRandomProduct() {
    ZSIPSeedRandom();
    const std::int32_t a = std::rand() % 32768;
    const std::int32_t b = std::rand() % 32768;
    return a * b;
}

void ZSIPCopyPicture(ZInstance* instance, const std::wstring& destination, const std::wstring& source) {
    ZTRACE();
    ZImageTools_instanceCopy(instance, destination, source);
}
