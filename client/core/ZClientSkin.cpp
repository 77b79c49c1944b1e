#include "ZClientSkin.h"

#include "ZClientSeams.h"
#include "ZNodeLibrary.h"
#include "ZTemplate.h"
#include "ZUtil.h"

namespace {

// The client's view of the template root.
class ZClientSkin : public IZClientTemplate {
public:
    ZClientSkin(ZInstance* instance, const std::wstring& filename)
        : _template(ZSAFENEW(ZTemplate, instance, filename)) {}
    ~ZClientSkin() override {
        ZASSERT_PTR(_template);
        delete _template;
    }
    void executeCommand(const std::wstring& command) override { _template->executeCommand(command, nullptr); }
    void onHotkeyDown(ZHotkey* hotkey, const std::wstring& name) override { _template->onHotkeyDown(hotkey, name); }
    void onHotkeyUp(ZHotkey* hotkey, const std::wstring& name) override { _template->onHotkeyUp(hotkey, name); }
    void broadcastToBuddy(const std::wstring& buddy, const ZHTTPHeaders& message) override {
        _template->broadcastToBuddy(buddy, message);
    }
    void logCHAT(const std::wstring& buddy, const ZHTTPHeaders& message) override {
        ZTemplate::logCHAT(buddy, message);
    }

private:
    ZTemplate* _template;
};

IZClientTemplate* makeSkin(ZInstance* instance, const std::wstring& filename) {
    return new ZClientSkin(instance, filename);
}

}  // namespace

void ZClientUseSkin() {
    ZNodeLibrary_install();
    ZClientSetTemplateFactory(makeSkin);
}
