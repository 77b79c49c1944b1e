// libFuzzer target of a chat message from a buddy: the message as it comes
// inside the buddy's broadcast, queued the way the client queues a received
// chat, read and drawn by a chat window's history. Any bytes end as a
// message shown or refused, never a fault; the queue and the history stay
// within their bounds however many arrive, and no control character of the
// message reaches a log line.
#include <sanitizer/lsan_interface.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "IZCommandEngine.h"
#include "ZAttributeStack.h"
#include "ZClientSeams.h"
#include "ZFuzz.h"
#include "ZHTTPHeaders.h"
#include "ZHistoryNode.h"
#include "ZImageStack.h"
#include "ZInstance.h"
#include "ZNodeLibrary.h"
#include "ZNonPortable_Message.h"
#include "ZTemplateFactory.h"

namespace {

// An engine that runs nothing and hears every notification.
class NoCommands : public IZCommandEngine, public IZNotifyListener {
public:
    NoCommands() : _handle(ZNotifyOpen(this)) {}
    void executeCommand(const std::wstring&, ZTemplateNode*, int) override {}
    ZNotifyHandle* getNotifyListener() override { return _handle; }
    ZTemplateNode* getNode(const std::wstring&, ZTemplateNode*) override { return nullptr; }
    void onNotification(int, std::int64_t) override {}

private:
    ZNotifyHandle* _handle;
};

const wchar_t* const kBuddy = L"bob@other.org";

ZInstance* g_instance = nullptr;
NoCommands* g_engine = nullptr;
ZHistoryNode* g_history = nullptr;

// Queues one message as the client queues a received chat, then lets the
// history read and draw it.
void receive(const ZHTTPHeaders& message) {
    ZHTTPHeaders chat(message);
    chat.set(L"From", std::wstring(kBuddy));
    ZSkinQueueCHAT(g_instance, kBuddy, chat);
    ZAttributeStack attributes(g_instance, g_engine->getNotifyListener());
    g_history->update(attributes);
    static std::vector<unsigned char> pixels(160 * 120 * 4);
    static std::vector<IZInputHandler*> handlers(160 * 120);
    ZImageStack stack;
    stack.pushLayer(ZImageFormat{ZIT_RGBA32, 160, 120}, pixels.data(), handlers.data());
    // Fontconfig keeps what it finds for each new character drawn, out of
    // sight of the leak check; the drawing's own memory is not ours to free.
    __lsan_disable();
    g_history->render(stack);
    __lsan_enable();
}

}  // namespace

// Fontconfig loads its configuration at the first text drawn and keeps it
// for good: that happens here, before the inputs are watched for leaks.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    zanFuzzHooks(zanFuzzCheckLine);
    ZNodeLibrary_install();
    g_instance = new ZInstance(L"/tmp/zanfuzz_chat.ini");
    g_instance->set(L"Local_User_GUID", std::wstring(L"me@zandrel.net"), false);
    g_engine = new NoCommands;
    const ZAttributeList attributes = {{L"src", std::wstring(kBuddy) + L"_Chat_Queue"},
                                       {L"basefont", L"12,,#000000FF"},
                                       {L"localtitlefont", L"12,b,#0000FFFF"},
                                       {L"remotetitlefont", L"12,b,#FF0000FF"}};
    g_history = static_cast<ZHistoryNode*>(ZTemplateFactory::create(g_instance, g_engine, nullptr, L"History", attributes));
    ZHTTPHeaders hello(L"CHAT");
    hello.addContent(std::string("hello"));
    __lsan_disable();
    receive(hello);
    __lsan_enable();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    ZHTTPHeaders chat;
    if (chat.deserialize(std::string(reinterpret_cast<const char*>(data), size)) <= 0) return 0;
    receive(chat);
    if (g_instance->length(std::wstring(kBuddy) + L"_Chat_Queue") > ZCHAT_QUEUE_MAX_MESSAGES ||
        g_history->getBlocks().size() > 2 * ZHistoryNode::kMaxMessages)
        __builtin_trap();
    return 0;
}
