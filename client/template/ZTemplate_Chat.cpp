// Chat logs and broadcasts to all devices of one buddy.
#include "ZHTTPHeaders.h"
#include "ZInstance.h"
#include "ZNonPortable_Base.h"
#include "ZPortable_Parse.h"
#include "ZPortable_Text.h"
#include "ZTemplate.h"
#include "ZUtil.h"
#include "ZUtil_File.h"

void ZTemplate::broadcastToBuddy(const std::wstring& buddy, const ZHTTPHeaders& message) {
    ZHTTPHeaders broadcast(L"DEVICEBROADCAST");
    broadcast.addContent(message.serialize());
    _enqueue(buddy + L"_commandQueue", broadcast);
}

std::wstring ZTemplate::chatLogPath(const std::wstring& buddy) { return L"chatlogs/" + buddy + L"_chat.txt"; }

void ZTemplate::logCHAT(const std::wstring& buddy, const ZHTTPHeaders& chat) {
    // The identifier names a file: it must stay inside the chat log folder.
    if (buddy.empty() || buddy.find_first_of(L"/\\") != std::wstring::npos) {
        ZLOG(L"WARNING Invalid buddy '" << buddy << L"' for the chat log, ignoring.");
        return;
    }
    std::wstring user;
    std::wstring domain;
    ZSplitAddress(chat.get(L"From"), user, domain);
    const std::wstring text = chat.hasContent() ? ZFromUTF8(chat.getContent(0)) : std::wstring();
    // The root's clock, moved into local time.
    const std::int64_t local = now() + (ZTimeNowLocal() - ZTimeNow());
    const std::wstring line = L"[" + ZTimeComposeTime(local) + L"] " + user + L": " + text + L"\r\n";
    const std::string bytes = ZToUTF8(line);
    ZFileAppend(chatLogPath(buddy), bytes.data(), static_cast<int>(bytes.size()));
}
