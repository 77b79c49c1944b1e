// Push-to-talk and the restart countdown on the driven clock, tick by tick.
#include <gtest/gtest.h>

#include <algorithm>

#include "ZHTTPHeaders.h"
#include "ZTemplateTestSupport.h"

using namespace zantest;

namespace {

class TalkAndCountdownTest : public TemplateRootFixture {
protected:
    void SetUp() override {
        load();
        instance->set(L"Local_Buddy_List", std::wstring(L"b, c"), false);
        instance->set(L"b_Online", std::wstring(L"true"), false);
        instance->set(L"Audio_Capture_Online", std::wstring(L"true"), false);
        instance->set(L"b_Device_List", std::wstring(L"d1, d2"), false);
    }

    // Audio-Enable of every RESET taken from the capture service's queue.
    std::vector<std::wstring> resets() {
        std::vector<std::wstring> out;
        std::string item;
        while (instance->dequeue(L"ZVideoCaptureService_commandQueue", item)) {
            ZHTTPHeaders m;
            m.deserialize(item);
            out.push_back(m.get(L"Buddy-Device-GUID") + L" " + m.get(L"Audio-Enable"));
        }
        return out;
    }

    // Ticks every 50 ms until a RESET arrives; the time it took.
    std::int64_t tickUntilReset(std::vector<std::wstring>& got, std::int64_t limit = 2000000) {
        std::int64_t elapsed = 0;
        while (elapsed < limit) {
            advance(50000);
            elapsed += 50000;
            tmpl->onTimer(tmpl->getTimer());
            got = resets();
            if (!got.empty()) break;
        }
        return elapsed;
    }
};

}  // namespace

int g_buttonTests = 0;
bool countedButtonUp() {
    ++g_buttonTests;
    return false;
}

TEST_F(TalkAndCountdownTest, TheTickAsksForTheButtonOnlyWhileSomebodyIsTalkedTo) {
    g_buttonTests = 0;
    ZTemplate::setButtonTest(countedButtonUp);
    for (int i = 0; i < 10; ++i) {
        advance(50000);
        tmpl->onTimer(tmpl->getTimer());
    }
    EXPECT_EQ(g_buttonTests, 0) << "nobody is talked to: no need to read the pointer";
    instance->set(L"Talking_To_List", std::wstring(L"b"), false);
    advance(50000);
    tmpl->onTimer(tmpl->getTimer());
    EXPECT_GT(g_buttonTests, 0);
    EXPECT_FALSE(instance->isSet(L"Talking_To_List")) << "nothing holds the talk";
}

TEST_F(TalkAndCountdownTest, AudioGoesOffBetweenHalfASecondAndATickAfterTheRelease) {
    tmpl->onHotkeyDown(nullptr, L"b");
    EXPECT_EQ(resets(), (std::vector<std::wstring>{L"b@d1 true", L"b@d2 true"}));
    EXPECT_EQ(instance->get(L"Talking_To_List"), L"b");

    ZLogCapture log;
    advance(20000);
    tmpl->onHotkeyUp(nullptr, L"b");
    EXPECT_TRUE(log.contains(L"ACTIVITY: STOPTALK(b)"));
    EXPECT_TRUE(log.contains(L"ACTIVITY: Hotkey up, stopping talk to 'b'"));
    EXPECT_FALSE(instance->isSet(L"Talking_To_List"));
    std::vector<std::wstring> got;
    const std::int64_t after = tickUntilReset(got);
    EXPECT_GT(after, 500000);
    EXPECT_LE(after, 550000);
    EXPECT_EQ(got, (std::vector<std::wstring>{L"b@d1 false", L"b@d2 false"}));

    // Talk_Again talks to the last buddies again.
    tmpl->onHotkeyDown(nullptr, L"Talk_Again");
    EXPECT_EQ(resets(), (std::vector<std::wstring>{L"b@d1 true", L"b@d2 true"}));
    EXPECT_TRUE(log.contains(L"ACTIVITY: STARTTALKAGAIN(b)"));
    EXPECT_FALSE(log.contains(L"WARNING: Assertion failed."));
}

TEST_F(TalkAndCountdownTest, ATalkStartedAgainWithinTheDelayKeepsItsAudio) {
    tmpl->onHotkeyDown(nullptr, L"b");
    tmpl->onHotkeyUp(nullptr, L"b");
    resets();
    advance(200000);
    tmpl->onTimer(tmpl->getTimer());
    tmpl->onHotkeyDown(nullptr, L"b");
    EXPECT_EQ(resets(), (std::vector<std::wstring>{L"b@d1 true", L"b@d2 true"}));
    std::vector<std::wstring> got;
    tickUntilReset(got, 1000000);
    EXPECT_TRUE(got.empty()) << "the held talk lost its audio";
}

TEST_F(TalkAndCountdownTest, ATalkEndingWhileAnotherWaitsForItsStopStopsBoth) {
    instance->set(L"c_Online", std::wstring(L"true"), false);
    instance->set(L"c_Device_List", std::wstring(L"e1"), false);
    tmpl->onHotkeyDown(nullptr, L"c");
    tmpl->onHotkeyUp(nullptr, L"c");
    advance(200000);
    tmpl->onTimer(tmpl->getTimer());
    tmpl->onHotkeyDown(nullptr, L"b");
    tmpl->onHotkeyUp(nullptr, L"b");
    resets();
    std::vector<std::wstring> got;
    tickUntilReset(got);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, (std::vector<std::wstring>{L"b@d1 false", L"b@d2 false", L"c@e1 false"}));
}

TEST_F(TalkAndCountdownTest, HandsFreeHoldsTheTalkUntilItIsStopped) {
    tmpl->executeCommand(L"(/buddies/b?starttalkhandsfree)", nullptr);
    resets();
    std::vector<std::wstring> got;
    tickUntilReset(got, 1000000);
    EXPECT_TRUE(got.empty());
    tmpl->executeCommand(L"(/buddies/b?stoptalkhandsfree)", nullptr);
    const std::int64_t after = tickUntilReset(got);
    EXPECT_EQ(got, (std::vector<std::wstring>{L"b@d1 false", L"b@d2 false"}));
    EXPECT_LE(after, 600000);
}

TEST_F(TalkAndCountdownTest, HotkeysRefuseWhatCannotTalk) {
    ZLogCapture log;
    tmpl->onHotkeyDown(nullptr, L"Talk_Again");
    EXPECT_TRUE(log.contains(L"ACTIVITY: STARTTALKAGAIN()"));
    tmpl->onHotkeyDown(nullptr, L"c");
    EXPECT_TRUE(log.contains(L"WARNING Cannot talk to 'c' as buddy is not online, ignoring."));
    tmpl->onHotkeyDown(nullptr, L"stranger");
    EXPECT_TRUE(log.contains(L"WARNING Unrecognized hotkey 'stranger', ignoring."));
    EXPECT_TRUE(resets().empty());
}

TEST_F(TalkAndCountdownTest, DelayedRestartCountsDownAndRestarts) {
    auto tick = [&] {
        advance(50000);
        tmpl->onTimer(tmpl->getTimer());
    };
    tmpl->executeCommand(L"(/system?delayrestart+delay=10)", nullptr);
    nodeJournal().clear();
    tick();
    EXPECT_EQ(instance->get(L"Seconds_Until_Auto_Restart"), L"9");
    EXPECT_EQ(nodeJournal(), (std::vector<std::wstring>{L"open Window_countdown"}));

    tmpl->executeCommand(L"(/system?delayrestart+delay=45)", nullptr);
    nodeJournal().clear();
    int ticks = 0;
    while (nodeJournal().empty() && ticks < 1000) {
        tick();
        ++ticks;
    }
    EXPECT_EQ(ticks, 301);  // the first tick with less than 30 s left, 15 s on
    EXPECT_EQ(instance->get(L"Seconds_Until_Auto_Restart"), L"29");

    tmpl->executeCommand(L"(/system?delayrestart+delay=0)", nullptr);
    nodeJournal().clear();
    std::string item;
    while (instance->dequeue(L"ZClient_commandQueue", item)) {
    }
    tick();
    EXPECT_EQ(nodeJournal(), (std::vector<std::wstring>{L"close Window_countdown"}));
    ASSERT_TRUE(instance->dequeue(L"ZClient_commandQueue", item));
    EXPECT_EQ(item.substr(0, 6), "LOGOFF");
    EXPECT_EQ(instance->get(L"Restart_On_Exit"), L"1");
    tick();
    EXPECT_FALSE(instance->dequeue(L"ZClient_commandQueue", item));
}

TEST_F(TalkAndCountdownTest, APickedUpCallSaysItIsOnAndWhoIsTalking) {
    instance->set(L"c_Call_State", std::wstring(L"ringing"), false);
    instance->set(L"c_Call_Status", std::wstring(L"c is calling."), false);
    tmpl->executeCommand(L"(/buddies/b?pickup)", nullptr);
    ASSERT_EQ(instance->get(L"b_Call_State"), L"talking");
    struct Case {
        bool we, they;
        const wchar_t* line;
    };
    const Case cases[] = {
        {false, false, L"On the call with b."},
        {false, true, L"On the call: b is talking."},
        {true, false, L"On the call: you are talking."},
        {true, true, L"On the call: you and b are talking."},
        {false, false, L"On the call with b."},
    };
    for (const Case& c : cases) {
        instance->set(L"Talking_To_List", std::wstring(c.we ? L"b" : L""), false);
        instance->set(L"Listening_To_List", std::wstring(c.they ? L"b" : L""), false);
        tmpl->onTimer(tmpl->getTimer());
        EXPECT_EQ(instance->get(L"b_Call_Status"), c.line) << c.we << c.they;
    }
    // A call not yet picked up keeps its own line; one that ended says so.
    EXPECT_EQ(instance->get(L"c_Call_Status"), L"c is calling.");
    tmpl->executeCommand(L"(/buddies/b?hangup+reason=done)", nullptr);
    tmpl->onTimer(tmpl->getTimer());
    EXPECT_EQ(instance->get(L"b_Call_Status"), L"Call complete.");
}
