#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "../platform/ZPlatformTestSupport.h"
#include "ZInstance.h"
#include "ZPortable_Text.h"
#include "ZTestSupport.h"
#include "ZThreadObject.h"

namespace {

struct ZQueueFixture {
    ZTempDir dir;
    std::unique_ptr<ZInstance> store{ZSAFENEW(ZInstance, ZFromUTF8(dir.file("settings.ini")))};
};

// Records what reaches it on the UI thread; quits after a number.
class ZWatcherProbe : public IZNotifyListener {
public:
    std::vector<int> codes;
    std::vector<std::int64_t> sent;
    std::size_t quitAfter = 0;
    ZNotifyHandle* handle = ZNotifyOpen(this);
    ~ZWatcherProbe() override { ZNotifyClose(handle); }
    void onNotification(int code, std::int64_t sentTime) override {
        codes.push_back(code);
        sent.push_back(sentTime);
        if (codes.size() == quitAfter) ZWinPostQuit(0);
    }
};

// Drains the posted notifications without waiting for more.
std::size_t deliverPending(ZWatcherProbe& probe) {
    ZWinPostQuit(0);
    bool restart;
    ZWinUpdate(&restart);
    return probe.codes.size();
}

}  // namespace

TEST(ZInstanceQueue, IsFirstInFirstOutAndIndexReadsWithoutTaking) {
    ZQueueFixture f;
    ZInstance& s = *f.store;
    std::string out = "untouched";
    EXPECT_EQ(s.length(L"ZClient_commandQueue"), 0u);
    EXPECT_FALSE(s.dequeue(L"ZClient_commandQueue", out));
    s.enqueue(L"ZClient_commandQueue", "A");
    s.enqueue(L"zclient_COMMANDqueue", "B");
    EXPECT_EQ(s.length(L"ZCLIENT_commandQueue"), 2u);
    const struct {
        int position;
        bool found;
        const char* item;
    } reads[] = {{0, true, "A"}, {1, true, "B"}, {-1, false, ""}, {2, false, ""}};
    for (const auto& r : reads) {
        out = "untouched";
        EXPECT_EQ(s.index(L"ZClient_commandQueue", r.position, out), r.found) << r.position;
        EXPECT_EQ(out, r.found ? r.item : "untouched") << r.position;
    }
    EXPECT_TRUE(s.dequeue(L"ZClient_commandQueue", out));
    EXPECT_EQ(out, "A");
    EXPECT_TRUE(s.dequeue(L"ZClient_commandQueue", out));
    EXPECT_EQ(out, "B");
    out = "untouched";
    EXPECT_FALSE(s.dequeue(L"ZClient_commandQueue", out));
    EXPECT_EQ(out, "untouched");
    EXPECT_EQ(s.length(L"ZClient_commandQueue"), 0u);
}

TEST(ZInstanceQueue, TheEmptyNameWarnsAndStillWorksAsAName) {
    ZQueueFixture f;
    ZLogCapture log;
    f.store->enqueue(L"", "x");
    std::string out;
    EXPECT_TRUE(f.store->dequeue(L"", out));
    EXPECT_EQ(out, "x");
    EXPECT_EQ(log.count(L"WARNING: Assertion failed. (!name.empty( ))\n"), 2);
}

TEST(ZInstanceQueue, EveryEnqueueOnAQueueCallsItsWakerUntilTheWakerIsRemoved) {
    ZQueueFixture f;
    int wakes = 0;
    f.store->setQueueWaker(L"Reader_commandQueue", [&] { ++wakes; });
    f.store->enqueue(L"READER_commandQueue", "A");
    f.store->enqueue(L"Reader_commandQueue", "B");
    f.store->enqueue(L"Other_commandQueue", "C");
    std::string out;
    EXPECT_TRUE(f.store->dequeue(L"Reader_commandQueue", out));
    EXPECT_EQ(wakes, 2) << "one call per enqueue on that queue, none for a dequeue or another queue";
    f.store->setQueueWaker(L"reader_commandqueue", nullptr);
    f.store->enqueue(L"Reader_commandQueue", "D");
    EXPECT_EQ(wakes, 2);
}

TEST(ZInstanceWatchers, HearEveryChangeOfTheNameOnceAndNothingElse) {
    ZPlatformScope platform;
    ZQueueFixture f;
    ZInstance& s = *f.store;
    ZWatcherProbe probe;
    s.watch(L"Logon_Status", probe.handle, 7);
    s.enqueue(L"logon_status", "m");        // 1
    std::string out;
    s.dequeue(L"LOGON_STATUS", out);        // 2
    s.dequeue(L"Logon_Status", out);        // failed: nothing
    s.set(L"Logon_Status", L"online", false);  // 3
    s.set(L"Logon_Status", L"online", false);  // unchanged: nothing
    s.index(L"Logon_Status", 0, out);       // reads never notify
    s.length(L"Logon_Status");
    s.set(L"Other", L"x", false);
    EXPECT_EQ(deliverPending(probe), 3u);
    EXPECT_EQ(probe.codes, (std::vector<int>{7, 7, 7}));
    s.unwatch(L"Logon_Status", probe.handle, 7);
}

TEST(ZInstanceWatchers, ATwiceWatchedPairHearsTwiceAndWatchersHearInRegistrationOrder) {
    ZPlatformScope platform;
    ZQueueFixture f;
    ZInstance& s = *f.store;
    ZWatcherProbe probe;
    s.watch(L"Name", probe.handle, 1);
    s.watch(L"Name", probe.handle, 2);
    s.watch(L"Name", probe.handle, 1);
    s.enqueue(L"name", "x");
    EXPECT_EQ(deliverPending(probe), 3u);
    EXPECT_EQ(probe.codes, (std::vector<int>{1, 2, 1}));
    s.unwatch(L"Name", probe.handle, 1);
    probe.codes.clear();
    s.enqueue(L"name", "y");
    deliverPending(probe);
    EXPECT_EQ(probe.codes, (std::vector<int>{2, 1}));
    s.unwatch(L"NAME", probe.handle, 1);
    s.unwatch(L"Name", probe.handle, 2);
}

TEST(ZInstanceWatchers, UnwatchingAPairNeverWatchedWarnsWithTheNameAsGiven) {
    ZPlatformScope platform;
    ZQueueFixture f;
    ZWatcherProbe probe;
    ZLogCapture log;
    f.store->watch(L"Name", probe.handle, 1);
    f.store->unwatch(L"Name", probe.handle, 2);
    EXPECT_EQ(log.count(L"WARNING Unwatched 'Name' when it wasn't being watched.\n"), 1);
    f.store->unwatch(L"Name", probe.handle, 1);
    EXPECT_ZABORT(f.store->watch(L"Name", nullptr, 1));
    EXPECT_ZABORT(f.store->unwatch(L"Name", nullptr, 1));
    EXPECT_EQ(log.count(L"ERROR: Precondition failed, aborting. (listener)\n"), 2);
}

namespace {

// A service that sends its messages to the client's queue.
class ZSendingService : public ZThreadObject {
public:
    explicit ZSendingService(ZInstance& store) : _store(store) {}

protected:
    int _bZThreadObject_safe_onLoop() override {
        for (int i = 0; i < 1000; ++i) _store.enqueue(L"ZClient_commandQueue", "message " + std::to_string(i));
        return -1;
    }

private:
    ZInstance& _store;
};

}  // namespace

TEST(ZInstanceWatchers, AThousandMessagesFromAServiceThreadReachTheUIWatcherInOrder) {
    ZPlatformScope platform;
    ZQueueFixture f;
    ZWatcherProbe probe;
    probe.quitAfter = 1000;
    f.store->watch(L"ZClient_commandQueue", probe.handle, 3);
    ZSendingService service(*f.store);
    service.start(L"ZClient.ZSendingService");
    EXPECT_TRUE(ZRunLoop());
    service.stop(true);
    ASSERT_EQ(probe.codes.size(), 1000u);
    for (std::size_t i = 1; i < probe.sent.size(); ++i) EXPECT_LE(probe.sent[i - 1], probe.sent[i]);
    std::string out;
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(f.store->dequeue(L"ZClient_commandQueue", out));
        EXPECT_EQ(out, "message " + std::to_string(i));
    }
    f.store->unwatch(L"ZClient_commandQueue", probe.handle, 3);
}
