#include <gtest/gtest.h>

#include <atomic>
#include <list>
#include <map>
#include <thread>

#include "ZObject.h"
#include "ZTestSupport.h"
#include "ZUtil.h"

namespace {

struct ZCheckProbe {
    static int preconditionOf(int num) {
        ZPRECONDITION(num <= (int)size( ));
        return num;
    }
    static void warnOn(bool ok) { ZWARNASSERT(ok); }
    static std::size_t size() { return 4; }
};

}  // namespace

TEST(Checks, FatalCheckLogsExactTextWithPlaceAndAbortsOnce) {
    ZLogCapture log;
    EXPECT_EQ(ZCheckProbe::preconditionOf(3), 3);
    EXPECT_TRUE(log.lines().empty());
    EXPECT_ZABORT(ZCheckProbe::preconditionOf(9));
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 1u);
    const std::wstring expectedTail =
        L"): [{anonymous}::ZCheckProbe::preconditionOf] ERROR: Precondition failed, aborting. (num <= (int)size( ))\n";
    EXPECT_EQ(lines[0].rfind(L"./base/ChecksTest.cpp(", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(expectedTail), std::wstring::npos) << lines[0];
}

TEST(Checks, WarningCheckLogsAndGoesOn) {
    ZLogCapture log;
    ZCheckProbe::warnOn(false);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_NE(log.lines()[0].find(L"WARNING: Assertion failed. (ok)\n"), std::wstring::npos);
}

TEST(Checks, PointerRuleKeepsItsTextAndNeverReadsThePointer) {
    ZLogCapture log;
    const void* client0 = reinterpret_cast<const void*>(std::uintptr_t{0xCDCDCDCD});
    EXPECT_ZABORT(ZPRECONDITION_PTR(client0));
    EXPECT_TRUE(log.contains(L"ERROR: Precondition failed, aborting. ((client0) && (((unsigned long)(client0)) != "
                             L"0xCDCDCDCD) && ((*(unsigned long*)(client0)) != 0xFEEEFEEE))"));
    EXPECT_FALSE(ZValidPointer(nullptr));
    EXPECT_TRUE(ZValidPointer(&log));
}

TEST(Checks, RangeAndMembershipPredicates) {
    EXPECT_TRUE(ZWITHIN(1, 1, 3));
    EXPECT_TRUE(ZWITHIN(1, 3, 3));
    EXPECT_FALSE(ZWITHIN(1, 4, 3));
    std::list<int> l{1, 2};
    std::map<int, int> m{{5, 1}};
    EXPECT_TRUE(ZCONTAINS(l, 2));
    EXPECT_FALSE(ZCONTAINS(l, 3));
    EXPECT_TRUE(ZMAPCONTAINS(m, 5));
    EXPECT_FALSE(ZMAPCONTAINS(m, 6));
}

namespace {
struct ZTraced {
    static void inner() { ZTRACE(); }
    static void outerThenDump() {
        ZTRACE();
        inner();
        ZCallStackDumpCurrent();
    }
};
}  // namespace

TEST(TraceScopes, DumpMarksClosedScopesBelowTheFailurePoint) {
    ZLogCapture log;
    std::thread([] { ZTraced::outerThenDump(); }).join();
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind(L"---- Call Stack for Thread #0x", 0), 0u);
    EXPECT_NE(lines[1].find(L"): *[{anonymous}::ZTraced::inner] (function)\n"), std::wstring::npos) << lines[1];
    EXPECT_NE(lines[2].find(L"):  [{anonymous}::ZTraced::outerThenDump] (function)\n"), std::wstring::npos)
        << lines[2];
}

TEST(TraceScopes, ThreadThatNeverOpenedAScopeDumpsNothing) {
    ZLogCapture log;
    std::thread([] { ZCallStackDumpCurrent(); }).join();
    EXPECT_TRUE(log.lines().empty());
}

namespace {
// Opens `levels` nested scopes, closes one extra scope below the innermost,
// then dumps: the closed one on top marked "*", the open ones beneath it.
void nestThenDump(int levels) {
    ZTRACE();
    if (levels > 1) {
        nestThenDump(levels - 1);
        return;
    }
    ZTraced::inner();
    ZCallStackDumpCurrent();
}

void nestThenDumpNothing(int levels) {
    ZTRACE();
    if (levels > 1) nestThenDumpNothing(levels - 1);
}

// Enters and leaves scopes deeper than the first array holds until stopped.
void keepNesting(std::atomic<bool>* stop, std::atomic<std::uint32_t>* id) {
    ZTRACE();
    *id = ZThreadCurrentId();
    while (!*stop) nestThenDumpNothing(150);
}
}  // namespace

TEST(TraceScopes, DeepStacksKeepEveryFrameInOrder) {
    // Below, around and well above the depth a stack first has room for.
    for (const int levels : {1, 63, 64, 65, 300}) {
        ZLogCapture log;
        std::thread([levels] { nestThenDump(levels); }).join();
        const auto lines = log.lines();
        ASSERT_EQ(lines.size(), static_cast<std::size_t>(levels) + 2) << levels;
        EXPECT_NE(lines[1].find(L"): *[{anonymous}::ZTraced::inner] (function)\n"), std::wstring::npos) << levels;
        for (int i = 2; i < levels + 2; ++i)
            ASSERT_NE(lines[static_cast<std::size_t>(i)].find(L"):  [{anonymous}::nestThenDump] (function)\n"),
                      std::wstring::npos)
                << levels << " line " << i << ": " << lines[static_cast<std::size_t>(i)];
    }
}

TEST(TraceScopes, AnotherThreadsStackCanBeDumpedWhileItRuns) {
    std::atomic<bool> stop{false};
    std::atomic<std::uint32_t> id{0};
    std::thread busy(keepNesting, &stop, &id);
    while (!id) std::this_thread::yield();
    ZLogCapture log;
    for (int i = 0; i < 200; ++i) ZCallStackDump(id);
    stop = true;
    busy.join();
    // Every dump names the thread's outermost scope, whatever else it caught.
    EXPECT_EQ(log.count(L"---- Call Stack for Thread #"), 200);
    EXPECT_EQ(log.count(L"):  [{anonymous}::keepNesting] (function)\n"), 200);
}

namespace {
struct ZLeaky : ZHeapObject {};
ZLeaky* makeHere() { return ZSAFENEW(ZLeaky); }
ZLeaky* makeThere() { return ZSAFENEW(ZLeaky); }
}  // namespace

TEST(ObjectTracking, LeakTallyCountsObjectsAndSites) {
    ZLogCapture log;
    ZLeaky* a = makeHere();
    ZLeaky* b = makeHere();
    ZLeaky* c = makeThere();
    ZHeapObject::logStatus();
    EXPECT_EQ(log.count(L"Leaked Object Tally: 3 objects in 2 classes."), 1);
    EXPECT_EQ(log.count(L"makeHere (") + log.count(L"makeThere ("), 2);
    EXPECT_EQ(log.count(L"): new ZLeaky( ) = 2"), 1);
    EXPECT_EQ(log.count(L"): new ZLeaky( ) = 1"), 1);
    delete a;
    delete b;
    delete c;
    log.clear();
    ZHeapObject::logStatus();
    EXPECT_EQ(log.count(L"Leaked Object Tally: (none)"), 1);
}

TEST(ObjectTracking, DeletingAnUntrackedObjectWarnsOnce) {
    ZLogCapture log;
    delete new ZLeaky;
    EXPECT_EQ(log.count(L"WARNING Object not tracked on destruction.  Did you forget to use ZSAFENEW or ZTRACK?"), 1);
}

TEST(ObjectTracking, ThreadSafeObjectLocksReentrantly) {
    struct ZShared : ZThreadSafeObject {};
    ZShared* s = ZSAFENEW(ZShared);
    s->lock();
    s->lock();
    s->unlock();
    bool otherGotIt = false;
    std::thread t([&] {
        ZScopedLock guard(s);
        otherGotIt = true;
    });
    s->unlock();
    t.join();
    EXPECT_TRUE(otherGotIt);
    delete s;
}
