#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

#include "../platform/ZPlatformTestSupport.h"
#include "ZInstance.h"
#include "ZPortable_Text.h"
#include "ZTestSupport.h"

namespace {

// Counts the notifications that reach the UI thread.
class ZChangeCounter : public IZNotifyListener {
public:
    std::vector<int> codes;
    ZNotifyHandle* handle = ZNotifyOpen(this);
    ~ZChangeCounter() override { ZNotifyClose(handle); }
    void onNotification(int code, std::int64_t) override { codes.push_back(code); }

    // Runs the UI loop over what is already posted, then returns the count.
    std::size_t deliver() {
        ZWinPostQuit(0);
        bool restart;
        ZWinUpdate(&restart);
        return codes.size();
    }
};

}  // namespace

// Which variable operations tell the watchers of a name, and how often.
TEST(ZInstanceVariableWatchers, HearChangesOfTheirNameOnly) {
    ZPlatformScope platform;
    ZTempDir dir;
    ZTestWriteFile(dir.file("settings.ini"), "list: a\n");
    std::unique_ptr<ZInstance> store(ZSAFENEW(ZInstance, ZFromUTF8(dir.file("settings.ini"))));
    ZInstance& s = *store;
    ZChangeCounter counter;
    s.watch(L"List", counter.handle, 1);
    s.watch(L"Foo_*", counter.handle, 2);
    s.watch(L"foo_a", counter.handle, 3);
    s.watch(L"Frame", counter.handle, 4);

    struct Step {
        const char* label;
        std::function<void()> run;
        std::vector<int> heard;
    };
    const Step steps[] = {
        {"insert of a new item", [&] { s.insert(L"List", L"b"); }, {1}},
        {"insert of a present item", [&] { s.insert(L"LIST", L"b"); }, {}},
        {"remove of an absent item rewrites the same text", [&] { s.remove(L"list", L"z"); }, {}},
        {"remove of a present item", [&] { s.remove(L"list", L"a"); }, {1}},
        {"raw bytes always notify", [&] { s.setRaw(L"List", "b", 1, false); }, {1}},
        {"set of foo_a", [&] { s.set(L"FOO_A", L"1", false); }, {3}},
        {"wildcard clear tells the pattern once", [&] { s.clear(L"foo_*"); }, {2}},
        {"close with notify", [&] { s.open(L"Frame"); s.close(L"Frame", true); }, {4}},
        {"close without notify", [&] { s.open(L"Frame"); s.close(L"Frame", false); }, {}},
    };
    for (const Step& step : steps) {
        counter.codes.clear();
        step.run();
        counter.deliver();
        EXPECT_EQ(counter.codes, step.heard) << step.label;
    }
    s.unwatch(L"List", counter.handle, 1);
    s.unwatch(L"Foo_*", counter.handle, 2);
    s.unwatch(L"foo_a", counter.handle, 3);
    s.unwatch(L"Frame", counter.handle, 4);
}
