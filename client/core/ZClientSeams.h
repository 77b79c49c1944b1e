// Where the client object meets parts of the program that are built apart
// from it: the skin (template engine) and the sources of time, addresses and
// CPU figures that tests replace.
//
// Threading: the skin is created, called and deleted on the UI thread. The
// sources are set before the client is built and only read afterwards.
#pragma once

#include <cstdint>
#include <list>
#include <map>
#include <set>
#include <string>

#include "ZHTTPHeaders.h"
#include "ZNonPortable.h"
#include "ZThreadObject.h"

class ZInstance;

// What the client needs of its user interface: the command engine, the
// push-to-talk hotkeys, the broadcast to a buddy's devices and the chat log.
class IZClientTemplate {
public:
    virtual ~IZClientTemplate() = default;
    // Runs a command text of the command language (items separated by ';').
    virtual void executeCommand(const std::wstring& command) = 0;
    virtual void onHotkeyDown(ZHotkey* hotkey, const std::wstring& name) = 0;
    virtual void onHotkeyUp(ZHotkey* hotkey, const std::wstring& name) = 0;
    virtual void broadcastToBuddy(const std::wstring& buddy, const ZHTTPHeaders& message) = 0;
    virtual void logCHAT(const std::wstring& buddy, const ZHTTPHeaders& message) = 0;
};

// Builds the skin from its file ("template.xml"); the template engine
// installs one, tests install a recording one.
typedef IZClientTemplate* (*ZClientTemplateFactory)(ZInstance* instance, const std::wstring& filename);
void ZClientSetTemplateFactory(ZClientTemplateFactory factory);
ZClientTemplateFactory ZClientGetTemplateFactory();

// The skin of a build without a template engine: every command is logged as
// one warning and not run; the broadcast and the chat log work as they do
// with a skin, since they need no window.
class ZNoSkinTemplate : public IZClientTemplate {
public:
    explicit ZNoSkinTemplate(ZInstance* instance);
    void executeCommand(const std::wstring& command) override;
    void onHotkeyDown(ZHotkey*, const std::wstring&) override {}
    void onHotkeyUp(ZHotkey*, const std::wstring&) override {}
    void broadcastToBuddy(const std::wstring& buddy, const ZHTTPHeaders& message) override;
    void logCHAT(const std::wstring& buddy, const ZHTTPHeaders& message) override;

private:
    ZInstance* _instance;
};

// Wraps the message as the only content part of a "DEVICEBROADCAST" and
// puts it on the buddy's queue.
void ZSkinBroadcastToBuddy(ZInstance* instance, const std::wstring& buddy, const ZHTTPHeaders& message);
// A buddy's chat queue "<buddy>_Chat_Queue" keeps the newest messages up to
// these bounds (a chat window's history shows no more); the oldest go first.
constexpr std::size_t ZCHAT_QUEUE_MAX_MESSAGES = 500;
constexpr std::size_t ZCHAT_QUEUE_MAX_BYTES = 1024 * 1024;
// Puts one CHAT message on the buddy's chat queue, within its bounds.
void ZSkinQueueCHAT(ZInstance* instance, const std::wstring& buddy, const ZHTTPHeaders& chat);
// Chats one buddy may send in a burst, and the steady rate after it.
constexpr int ZCHAT_BURST = 20;
constexpr int ZCHATS_PER_SECOND = 2;

// Appends "[h:mmam] <user>: <text>" and CR LF to "chatlogs/<buddy>_chat.txt".
void ZSkinLogCHAT(const std::wstring& buddy, const ZHTTPHeaders& message);

// The client's clock, address list and CPU figures.
struct ZClientSources {
    std::int64_t (*clock)() = nullptr;
    bool (*listIPs)(std::list<std::wstring>& list) = nullptr;
    void (*performance)(double& process, std::map<std::wstring, double>& threads) = nullptr;
    // The save dialog of a buddy's file offer (the platform's by default).
    std::wstring (*saveFileDialog)(const std::wstring& title, const std::wstring& proposed) = nullptr;
    // The speakers' mute and volume (the platform's by default).
    bool (*getMute)() = nullptr;
    void (*setMute)(bool mute) = nullptr;
    float (*getVolume)() = nullptr;
    void (*setVolume)(float volume) = nullptr;
    // Tests of the client alone: every service is an idle thread that
    // leaves its queue for the test to read.
    bool idleServices = false;
};

// A service thread that does nothing (see ZClientSources::idleServices).
class ZIdleService : public ZThreadObject {
protected:
    int _bZThreadObject_safe_onLoop() override { return 20; }
};
// Sets the sources of the next client built; null members keep the platform's.
void ZClientSetSources(const ZClientSources& sources);
const ZClientSources& ZClientGetSources();
