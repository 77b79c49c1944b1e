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

namespace {

// What stands for a line break inside one message in the log: the log keeps
// one line per message, so a sender cannot write a line that reads as
// someone else's ("[7:25am] kim: ...").
constexpr wchar_t kLogLineBreak[] = L" \u21B5 ";

bool isLineBreak(wchar_t c) { return c == L'\r' || c == L'\n' || c == L'\x0B' || c == L'\x0C' || c == L'\x85' || c == 0x2028 || c == 0x2029; }

// Control characters (NUL, ESC and the others a terminal or viewer acts on)
// are dropped; a tab stays.
bool isDropped(wchar_t c) { return (c < 0x20 && c != L'\t') || (c >= 0x7F && c < 0xA0); }

}  // namespace

std::wstring ZTemplate::chatLogText(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (isLineBreak(c)) {
            if (c == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') ++i;  // CR LF is one break
            out += kLogLineBreak;
        } else if (!isDropped(c)) {
            out += c;
        }
    }
    return out;
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
    const std::wstring line =
        L"[" + ZTimeComposeTime(local) + L"] " + chatLogText(user) + L": " + chatLogText(text) + L"\r\n";
    const std::string bytes = ZToUTF8(line);
    ZFileAppend(chatLogPath(buddy), bytes.data(), static_cast<int>(bytes.size()));
}
