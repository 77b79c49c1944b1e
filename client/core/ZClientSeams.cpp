// The skin of a build without a template engine, the broadcast to a buddy's
// devices, the chat log, the queue drains that stand in for services still
// to come, and the replaceable sources of the client.
#include "ZClientSeams.h"

#include "ZInstance.h"
#include "ZPortable.h"
#include "ZTemplate.h"
#include "ZUtil.h"
#include "ZUtil_File.h"

namespace {

ZClientTemplateFactory g_templateFactory = nullptr;
ZClientSources g_sources;

std::int64_t platformClock() { return ZTimeNow(); }

// The tick asks once a second; the system is read only after a change.
bool watchedListIPs(std::list<std::wstring>& list) {
    static ZNetAddressList addresses;
    return addresses.list(list);
}

}  // namespace

void ZClientSetTemplateFactory(ZClientTemplateFactory factory) { g_templateFactory = factory; }

ZClientTemplateFactory ZClientGetTemplateFactory() { return g_templateFactory; }

void ZClientSetSources(const ZClientSources& sources) { g_sources = sources; }

const ZClientSources& ZClientGetSources() {
    if (!g_sources.clock) g_sources.clock = platformClock;
    if (!g_sources.listIPs) g_sources.listIPs = watchedListIPs;
    if (!g_sources.performance) g_sources.performance = ZDebugGetPerformance;
    if (!g_sources.saveFileDialog) g_sources.saveFileDialog = ZSystemSaveFileDialog;
    if (!g_sources.getMute) g_sources.getMute = ZSoundGetMute;
    if (!g_sources.setMute) g_sources.setMute = ZSoundSetMute;
    if (!g_sources.getVolume) g_sources.getVolume = ZSoundGetVolume;
    if (!g_sources.setVolume) g_sources.setVolume = ZSoundSetVolume;
    return g_sources;
}

ZNoSkinTemplate::ZNoSkinTemplate(ZInstance* instance) : _instance(instance) { ZPRECONDITION(instance); }

void ZNoSkinTemplate::executeCommand(const std::wstring& command) {
    ZTRACE();
    ZLOG(L"WARNING Command '" << command << L"' not run: no skin in this build");
}

void ZNoSkinTemplate::broadcastToBuddy(const std::wstring& buddy, const ZHTTPHeaders& message) {
    ZSkinBroadcastToBuddy(_instance, buddy, message);
}

void ZNoSkinTemplate::logCHAT(const std::wstring& buddy, const ZHTTPHeaders& message) { ZSkinLogCHAT(buddy, message); }

void ZSkinBroadcastToBuddy(ZInstance* instance, const std::wstring& buddy, const ZHTTPHeaders& message) {
    ZTRACE();
    ZHTTPHeaders broadcast(L"DEVICEBROADCAST");
    broadcast.addContent(message.serialize());
    instance->enqueue(buddy + L"_commandQueue", broadcast.serialize());
}

void ZSkinQueueCHAT(ZInstance* instance, const std::wstring& buddy, const ZHTTPHeaders& chat) {
    instance->enqueueBounded(buddy + L"_Chat_Queue", chat.serialize(), ZCHAT_QUEUE_MAX_MESSAGES, ZCHAT_QUEUE_MAX_BYTES);
}

void ZSkinLogCHAT(const std::wstring& buddy, const ZHTTPHeaders& message) {
    ZTRACE();
    std::wstring user;
    std::wstring domain;
    ZSplitAddress(message.get(L"From"), user, domain);
    const std::wstring text = message.hasContent() ? ZFromUTF8(message.getContent(0)) : std::wstring();
    const std::string line = ZToUTF8(L"[" + ZTimeComposeTime(ZTimeNowLocal()) + L"] " + ZTemplate::chatLogText(user) + L": " +
                                     ZTemplate::chatLogText(text) + L"\r\n");
    ZFileAppend(L"chatlogs/" + buddy + L"_chat.txt", line.data(), static_cast<int>(line.size()));
}
