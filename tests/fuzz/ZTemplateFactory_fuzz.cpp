// libFuzzer target of the skin reader: a whole template file, read into a
// tree of the node library's classes. Any file ends in a tree or in a
// refusal with its reason, never a fault, and deep or huge skins are
// refused before they cost the memory.
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdint>
#include <memory>
#include <string>

#include "IZCommandEngine.h"
#include "ZFuzz.h"
#include "ZInstance.h"
#include "ZNodeLibrary.h"
#include "ZNonPortable_Message.h"
#include "ZPortable_Text.h"
#include "ZTemplateFactory.h"
#include "ZTemplateNode.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool ready = [] {
        zanFuzzHooks();
        ZNodeLibrary_install();
        return true;
    }();
    (void)ready;
    static ZInstance* instance = new ZInstance(L"/tmp/zanfuzz_skin.ini");
    static NoCommands engine;
    static const std::string file = "/tmp/zanfuzz_skin_" + std::to_string(getpid()) + ".xml";
    std::FILE* fp = std::fopen(file.c_str(), "wb");
    if (!fp) __builtin_trap();
    if (size) std::fwrite(data, 1, size, fp);
    std::fclose(fp);
    ZTemplateFactory factory;
    std::wstring failure;
    std::unique_ptr<ZTemplateNode> root(factory.parse(instance, &engine, ZFromUTF8(file), failure));
    if (!root == failure.empty()) __builtin_trap();  // a tree or a reason, never both
    return 0;
}
