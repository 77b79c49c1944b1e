// Skin actions: what a command does to the node it names (or, without a
// path, to the node that issued it).
#include "ZPortable_Text.h"
#include "ZTemplate.h"
#include "ZTemplateNode.h"
#include "ZTemplateNodeKinds.h"
#include "ZUtil.h"

void ZTemplate::_skinAction(const Command& command, ZTemplateNode* target) {
    const std::wstring& action = command.action;
    const std::wstring& path = command.path;
    auto* window = dynamic_cast<IZWindowControl*>(target);
    auto* wizard = dynamic_cast<IZWizardControl*>(target);
    auto* screen = dynamic_cast<IZScreenControl*>(target);
    // Milliseconds; only the low 32 bits count.
    const std::int64_t duration =
        static_cast<std::int32_t>(static_cast<std::uint32_t>(ZToInt64(command.argument(L"duration"))));

    auto windowAction = [&](const wchar_t* name, auto run) {
        if (window)
            run();
        else
            ZLOG(L"WARNING Trying to '" << name << L"' non-window node '" << path << L"', ignoring.");
    };
    auto wizardAction = [&](const wchar_t* name, auto run) {
        if (wizard)
            run();
        else
            ZLOG(L"WARNING Trying to '" << name << L"' on non-wizard node '" << path << L"', ignoring.");
    };

    if (ZCaseEquals(action, L"fadein")) {
        windowAction(L"fadein", [&] { window->fadeIn(duration * 1000); });
    } else if (ZCaseEquals(action, L"fadeout")) {
        windowAction(L"fadeout", [&] { window->fadeOut(duration * 1000); });
    } else if (ZCaseEquals(action, L"open")) {
        windowAction(L"open", [&] { window->open(); });
    } else if (ZCaseEquals(action, L"close")) {
        windowAction(L"close", [&] { window->close(); });
    } else if (ZCaseEquals(action, L"maximize")) {
        windowAction(L"maximize", [&] { window->maximize(); });
    } else if (ZCaseEquals(action, L"minimize")) {
        windowAction(L"minimize", [&] { window->minimize(); });
    } else if (ZCaseEquals(action, L"flash")) {
        windowAction(L"flash", [&] { window->flash(); });
    } else if (ZCaseEquals(action, L"refresh")) {
        _update(target->getParentPath(), target, true);
    } else if (ZCaseEquals(action, L"next")) {
        wizardAction(L"next", [&] { wizard->next(); });
    } else if (ZCaseEquals(action, L"back")) {
        wizardAction(L"back", [&] { wizard->back(); });
    } else if (ZCaseEquals(action, L"done")) {
        wizardAction(L"done", [&] { wizard->done(); });
    } else if (ZCaseEquals(action, L"jump")) {
        auto* list = dynamic_cast<IZListControl*>(command.context);
        const std::wstring page = list ? list->getSelection() : command.argument(L"target");
        if (wizard && !page.empty())
            wizard->jump(page);
        else
            ZLOG(L"WARNING Trying to 'jump' on non-wizard node, with no target, or with non-list source '"
                 << path << L"', ignoring.");
    } else if (ZCaseEquals(action, L"clear")) {
        if (auto* edit = dynamic_cast<IZEditControl*>(command.context))
            edit->setText(std::wstring());
        else
            ZLOG(L"WARNING Trying to 'clear' on non-edit node '" << path << L"', ignoring.");
    } else if (ZCaseEquals(action, L"fit")) {
        if (screen)
            screen->fit();
        else if (window)
            window->fit();
        else
            ZLOG(L"WARNING Trying to 'fit' on a non-screen/window node '" << path << L"', ignoring.");
    } else {
        ZLOG(L"WARNING Unknown skin action '" << action << L"', ignoring.");
    }
}
