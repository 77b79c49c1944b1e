// The client object's construction (settings, command line, defaults and
// what is saved), the once-a-second CPU figures, and the commands and
// notifications it handles while online.
#include "ZClientFixture.h"
// The tray icon's record, read back as the tray tests do.
#include "../../libzan/src/ZNonPortable_TrayRecord.h"
#include "ZNonPortable.h"
#include "ZPortable.h"

using namespace clienttest;

using ClientObject = ClientFixture;

TEST_F(ClientObject, ConstructionFillsTheStoreAndSavesOnlyWhatPersists) {
    struct Case {
        const char* settings;
        bool forceTurn;
        const wchar_t* name;
        const wchar_t* value;
        const char* saved;  // the line in the saved file, or null when it must not be there
    };
    const Case cases[] = {
        {"Video_Size: 50\n", false, L"Video_Size", L"48", nullptr},
        {"Video_Size: 10\n", false, L"Video_Size", L"16", nullptr},
        {"Video_Size: 64\n", false, L"Video_Size", L"64", "video_size: 64\n"},
        {"Video_Size: 0\n", false, L"Video_Size", L"0", "video_size: 0\n"},
        {"", false, L"Video_Size", L"48", nullptr},
        {"CPU_Log_Threshold: 50\n", false, L"CPU_Log_Threshold", L"50", "cpu_log_threshold: 50\n"},
        {"", false, L"CPU_Log_Threshold", L"90", nullptr},
        {"Current_Version: 700\nUser_Agent_String: x\n", false, L"Current_Version", L"764", "current_version: 764\n"},
        {"", false, L"User_Agent_String", L"Zandrel/764", "user_agent_string: Zandrel/764\n"},
        {"Local_User_GUID: Al Ice@Zandrel.NET\n", false, L"Local_User_GUID", L"alice@zandrel.net",
         "local_user_guid: alice@zandrel.net\n"},
        {"", true, L"Pretend_Firewall", L"1", nullptr},
        {"", true, L"Disable_UDP_Recv", L"1", nullptr},
        {"", false, L"AUTHENTICATE_Host", ZCLIENT_DEFAULT_AUTH_HOST, nullptr},
        {"", false, L"Talk_Again_Hotkey", L"CONTROL+SPACE", nullptr},
        {"", false, L"FSM_List", L"Client,SIP,Dispatch", nullptr},
    };
    for (const Case& c : cases) {
        ZLogSetFilter("");
        start(c.settings, L"", false, false, c.forceTurn);
        EXPECT_EQ(store().get(c.name), c.value) << c.settings << ZToUTF8(c.name);
        stop();
        const std::string saved = ZTestReadFile(dir.file("settings.ini"));
        std::string line = ZToUTF8(ZToLower(c.name)) + ": ";
        if (c.saved) {
            EXPECT_NE(saved.find(c.saved), std::string::npos) << saved;
        } else {
            EXPECT_EQ(saved.find(line), std::string::npos) << saved;
        }
    }
}

TEST_F(ClientObject, TheFirstRunLogsEveryCategoryAndTheCountriesComeInTheirOrder) {
    start("");
    EXPECT_NE(ZLogGetFilter().find('x'), std::string::npos);
    std::list<std::wstring> countries;
    ZParseList(countries, store().get(L"Country_List"));
    EXPECT_EQ(countries.front(), L"United States");
    EXPECT_EQ(*std::next(countries.begin()), L"Afghanistan");
    // Names holding ", " cannot be split back, so the joined text is checked.
    EXPECT_NE(store().get(L"Country_List").find(L"Zambia, Zimbabwe"), std::wstring::npos);
    EXPECT_EQ(recorded().commands, std::vector<std::wstring>{L"(/skin/window_login?open)"});
    stop();
    ZLogSetFilter("");
    start("First_Run_Complete: 1\nLog_Filter: c\n");
    EXPECT_EQ(ZLogGetFilter(), "c");
}

TEST_F(ClientObject, CPUFiguresArePublishedAndAWarningNamesTheBusiestThreads) {
    start("First_Run_Complete: 1\nEnable_Tread_CPU_Tracking: true\n");
    g_processCPU = 12.5;
    g_threadCPU = {{L"ZClient.ZDispatchService", 10.25}, {L"(main)", 2.25}, {L"idle", 0}};
    ZLogCapture log;
    g_now += 1100000;
    tick();
    EXPECT_EQ(store().get(L"Process_CPU"), L"12.50%");
    EXPECT_EQ(store().get(L"ZClient.ZDispatchService_CPU"), L"10.25%");
    EXPECT_EQ(store().get(L"Thread_List"), L"(main), ZClient.ZDispatchService, idle");
    EXPECT_FALSE(log.contains(L"WARNING CPU at"));

    store().set(L"CPU_Log_Threshold", std::wstring(L"90"), false);
    g_processCPU = 90.0;
    g_now += 1100000;
    tick();
    EXPECT_FALSE(log.contains(L"WARNING CPU at")) << "exactly at the threshold";
    g_processCPU = 90.01;
    g_threadCPU.clear();
    for (int i = 0; i < 60; ++i) g_threadCPU[L"T" + std::to_wstring(100 + i)] = 1.0 + i;
    g_threadCPU[L"idle"] = 0;
    g_now += 1100000;
    tick();
    ASSERT_EQ(log.count(L"WARNING CPU at 90.01% ('T159'=60.00% 'T158'=59.00% "), 1);
    const std::vector<std::wstring> lines = log.lines();
    for (const std::wstring& line : lines) {
        if (line.find(L"WARNING CPU at") == std::wstring::npos) continue;
        EXPECT_NE(line.find(L"'T110'=11.00% )"), std::wstring::npos) << "the fifty highest, in falling order";
        EXPECT_EQ(line.find(L"'T109'"), std::wstring::npos);
        EXPECT_EQ(line.find(L"'idle'"), std::wstring::npos);
    }
}

TEST_F(ClientObject, BroadcastsAndNotificationsBecomeVariablesCommandsPostsAndBalloons) {
    start("First_Run_Complete: 1\n");
    ZClientTestAccess::setState(*client, ZClient::Online);
    recorded().commands.clear();
    const std::wstring kim = L"kim@zandrel.net";
    const std::wstring device = kim + L"@dev-1";
    store().set(device + L"_Send_From", std::wstring(L"1.1.1.1:1"), false);
    store().set(device + L"_Send_To", std::wstring(L"2.2.2.2:2"), false);
    store().set(device + L"_Recv_From", std::wstring(L"3.3.3.3:3"), false);
    auto broadcast = [&](const std::wstring& from, const ZHTTPHeaders& inner) {
        ZHTTPHeaders outer(L"DEVICEBROADCAST");
        outer.set(L"From", from);
        outer.set(L"From-Device-GUID", std::wstring(L"dev-1"));
        outer.addContent(inner.serialize());
        client->_onInput(0, outer);
    };
    auto with = [](const wchar_t* method, std::vector<std::pair<const wchar_t*, const wchar_t*>> fields,
                   const char* content = nullptr) {
        ZHTTPHeaders m(method);
        for (const auto& [name, value] : fields) m.set(name, std::wstring(value));
        if (content) m.addContent(std::string(content));
        return m;
    };
    struct Case {
        ZHTTPHeaders inner;
        std::vector<std::wstring> commands;
        std::vector<std::pair<std::wstring, std::wstring>> variables;
    };
    const Case cases[] = {
        {with(L"CALLINVITE", {}), {L"(/skin/foreach_call/window_kim@zandrel.net?open)"},
         {{L"_Call_State", L"ringing"}, {L"_Call_Status", L"kim@zandrel.net is calling."}}},
        {with(L"CALLCANCEL", {{L"Reason", L"Chat"}}),
         {L"(/buddies/kim@zandrel.net?stoptalkhandsfree)", L"(/skin/foreach_call/window_kim@zandrel.net?close)",
          L"(/skin/foreach_chat/window_kim@zandrel.net?open)"},
         {{L"_Call_State", L"declined"}, {L"_Call_Status", L"kim@zandrel.net is calling."}}},
        {with(L"CALLCANCEL", {{L"Reason", L"done"}}), {L"(/buddies/kim@zandrel.net?stoptalkhandsfree)"},
         {{L"_Call_Status", L"kim@zandrel.net is done."}}},
        {with(L"CALLCANCEL", {}), {L"(/buddies/kim@zandrel.net?stoptalkhandsfree)"},
         {{L"_Call_Status", L"kim@zandrel.net has declined."}}},
        {with(L"CALLACCEPT", {}), {L"(/buddies/kim@zandrel.net?starttalkhandsfree)"},
         {{L"_Call_State", L"talking"}, {L"_Call_Status", L""}}},
        {with(L"CHAT", {{L"Action", L"start"}}), {}, {{L"_Chat_Status", L"kim@zandrel.net is typing..."}}},
        {with(L"CHAT", {{L"Action", L"send"}, {L"From", L"mallory@zandrel.net"}}, "hi"), {}, {{L"_Chat_Status", L""}}},
        {with(L"CHATDONE", {}), {L"(/skin/foreach_chat/window_kim@zandrel.net?close)"}, {}},
    };
    for (const Case& c : cases) {
        recorded().commands.clear();
        broadcast(kim, c.inner);
        EXPECT_EQ(recorded().commands, c.commands) << ZToUTF8(c.inner.getMethod());
        for (const auto& [suffix, value] : c.variables)
            EXPECT_EQ(store().get(kim + suffix), value) << ZToUTF8(c.inner.getMethod() + suffix);
    }
    // The chat went to the chat view's queue and the log, under the sender
    // the device session vouches for.
    std::string item;
    ASSERT_TRUE(store().dequeue(kim + L"_Chat_Queue", item));
    ASSERT_EQ(recorded().chats.size(), 1u);
    ZHTTPHeaders logged;
    logged.deserialize(recorded().chats[0].second);
    EXPECT_EQ(logged.get(L"From"), kim);
    posts();

    // Screen share and file offers become service commands.
    broadcast(kim, with(L"SHARESCREEN", {{L"SSRC", L"4242"}}));
    g_saveAnswer = L"/tmp/in/report.pdf";
    broadcast(kim, with(L"SENDFILE", {{L"Filename", L"report.pdf"}, {L"File-ID", L"77"}, {L"Path", L"C:\\x.pdf"}}));
    broadcast(kim, with(L"CANCELSENDFILE", {{L"File-ID", L"77"}}));
    std::string screen;
    ASSERT_TRUE(store().dequeue(L"ZScreenService_commandQueue", screen));
    ZHTTPHeaders open;
    open.deserialize(screen);
    EXPECT_EQ(open.getMethod(), L"OPENRECV");
    EXPECT_EQ(open.get(L"SSRC"), L"4242");
    EXPECT_EQ(open.get(L"Buddy-GUID"), kim);
    EXPECT_EQ(open.get(L"Send-To"), L"2.2.2.2:2");
    EXPECT_EQ(open.get(L"Recv-From"), L"3.3.3.3:3");
    std::string file;
    ASSERT_TRUE(store().dequeue(L"ZFileService_commandQueue", file));
    ZHTTPHeaders recv;
    recv.deserialize(file);
    EXPECT_EQ(recv.getMethod(), L"RECVFILE");
    EXPECT_EQ(recv.get(L"Path"), L"/tmp/in/report.pdf");
    EXPECT_EQ(recv.get(L"Buddy-Device-GUID"), device);
    EXPECT_EQ(recv.get(L"File-ID"), L"77");
    EXPECT_EQ(recv.get(L"Send-To"), L"2.2.2.2:2");
    EXPECT_EQ(recv.get(L"Recv-From"), L"3.3.3.3:3");
    ASSERT_TRUE(store().dequeue(L"ZFileService_commandQueue", file));
    ZHTTPHeaders cancel;
    cancel.deserialize(file);
    EXPECT_EQ(cancel.getMethod(), L"CANCEL");
    EXPECT_EQ(cancel.get(L"File-ID"), L"File#77") << "the form the file service reads";
    // A declined offer goes back to the sender.
    g_saveAnswer.clear();
    broadcast(kim, with(L"SENDFILE", {{L"Filename", L"a.txt"}, {L"File-ID", L"78"}}));
    ASSERT_EQ(recorded().broadcasts.size(), 1u);
    EXPECT_EQ(recorded().broadcasts[0].first, kim);
    EXPECT_NE(recorded().broadcasts[0].second.find("CANCELSENDFILE / HTTP/1.1\r\n"), std::string::npos);

    // Names that cannot be an identifier never reach a command or a variable.
    ZLogCapture log;
    recorded().commands.clear();
    broadcast(L"kim)(/system?exit", with(L"CALLINVITE", {}));
    EXPECT_TRUE(recorded().commands.empty());
    EXPECT_TRUE(log.contains(L"WARNING Ignored input eventID #0, eventHeaders='DEVICEBROADCAST'"));
    broadcast(kim, with(L"DANCE", {}));
    EXPECT_TRUE(log.contains(L"WARNING Received unknown request 'DANCE' via 'DEVICEBROADCAST' from 'kim@zandrel.net', ignoring."));
    ZHTTPHeaders empty(L"DEVICEBROADCAST");
    empty.set(L"From", kim);
    empty.set(L"From-Device-GUID", std::wstring(L"dev-1"));
    client->_onInput(0, empty);
    EXPECT_TRUE(log.contains(L"WARNING Received malformed 'DEVICEBROADCAST' from 'kim@zandrel.net', ignoring."));
}

TEST_F(ClientObject, AChatFloodFromOneBuddyIsDroppedWithOneWarningPerEpisode) {
    start("First_Run_Complete: 1\n");
    ZClientTestAccess::setState(*client, ZClient::Online);
    const std::wstring kim = L"kim@zandrel.net", lee = L"lee@zandrel.net";
    for (const std::wstring& buddy : {kim, lee})
        for (const wchar_t* name : {L"_Send_From", L"_Send_To", L"_Recv_From"})
            store().set(buddy + L"@dev-1" + name, std::wstring(L"1.1.1.1:1"), false);
    auto chat = [&](const std::wstring& from, int count) {
        for (int i = 0; i < count; ++i) {
            ZHTTPHeaders inner(L"CHAT");
            inner.set(L"Action", std::wstring(L"send"));
            inner.addContent(std::string(5000, 'x'));
            ZHTTPHeaders outer(L"DEVICEBROADCAST");
            outer.set(L"From", from);
            outer.set(L"From-Device-GUID", std::wstring(L"dev-1"));
            outer.addContent(inner.serialize());
            client->_onInput(0, outer);
        }
    };
    const wchar_t* const warning = L"WARNING Too many chats from 'kim@zandrel.net', dropping them for a while.";
    ZLogCapture log;
    chat(kim, 2000);
    EXPECT_EQ(store().length(kim + L"_Chat_Queue"), static_cast<unsigned>(ZCHAT_BURST));
    EXPECT_EQ(recorded().chats.size(), static_cast<std::size_t>(ZCHAT_BURST));
    EXPECT_EQ(log.count(warning), 1);
    // Another buddy is not held back by it.
    chat(lee, 1);
    EXPECT_EQ(store().length(lee + L"_Chat_Queue"), 1u);
    // The flood goes on at the steady rate, still one episode.
    g_now += 1000000;
    chat(kim, 100);
    EXPECT_EQ(store().length(kim + L"_Chat_Queue"), static_cast<unsigned>(ZCHAT_BURST + ZCHATS_PER_SECOND));
    EXPECT_EQ(log.count(warning), 1);
    // Quiet for long enough, the buddy has a whole burst again; a new flood
    // is a new episode.
    g_now += 1000000 * ZCHAT_BURST / ZCHATS_PER_SECOND;
    chat(kim, 100);
    EXPECT_EQ(store().length(kim + L"_Chat_Queue"), static_cast<unsigned>(2 * ZCHAT_BURST + ZCHATS_PER_SECOND));
    EXPECT_EQ(log.count(warning), 2);
}

TEST_F(ClientObject, FileTransfersAndTalkNoticesShowTheirBalloons) {
    start("First_Run_Complete: 1\n");
    ZClientTestAccess::setState(*client, ZClient::Online);
    struct Case {
        const wchar_t* method;
        std::vector<std::pair<const wchar_t*, const wchar_t*>> fields;
        const wchar_t* text;  // null: no balloon
    };
    const Case cases[] = {
        {L"RECVFILECOMPLETE", {{L"Path", L"C:\\in\\a.txt"}, {L"Buddy-Device-GUID", L"kim@zandrel.net@d"}},
         L"You have received 'a.txt' from kim@zandrel.net@d.  Click here to open the file transfer dialog."},
        {L"SENDFILECOMPLETE", {{L"Path", L"/home/me/b.txt"}, {L"Buddy-Device-GUID", L"kim@zandrel.net@d"}},
         L"You have sent 'b.txt' to kim@zandrel.net@d.  Click here to open the file transfer dialog."},
        {L"RECVFILECOMPLETE",
         {{L"Path", L"/home/me/c.txt"}, {L"Buddy-Device-GUID", L"kim@zandrel.net@d"}, {L"Outcome", L"Cancelled"}},
         nullptr},
        {L"NOTIFYCANTTALK", {{L"User-GUID", L"kim@zandrel.net"}},
         L"You cannot talk to kim@zandrel.net because you have no microphone configured.  Click here to configure "
         L"your audio."},
        {L"NOTIFYREMOTECANTTALK", {{L"User-GUID", L"lee@zandrel.net"}},
         L"You cannot call lee@zandrel.net because your buddy has no microphone configured.  Click here to 'push to "
         L"talk'."},
    };
    ZLogCapture log;
    ZIconRecord* icon = client->getIcon();
    for (const Case& c : cases) {
        ZHTTPHeaders m(c.method);
        for (const auto& [name, value] : c.fields) m.set(name, std::wstring(value));
        const int before = icon->updates;
        client->_onInput(0, m);
        EXPECT_EQ(icon->updates != before, c.text != nullptr) << ZToUTF8(c.method);
        if (c.text) {
            EXPECT_EQ(icon->lastText, c.text) << ZToUTF8(c.method);
        }
    }
    EXPECT_EQ(store().get(L"ZCE_ICONPTT_Buddy"), L"lee@zandrel.net");
    recorded().commands.clear();
    client->onBubbleClick(client->getIcon(), 9);
    client->onBubbleClick(client->getIcon(), 4);
    client->onBubbleClick(client->getIcon(), 0);
    EXPECT_EQ(recorded().commands,
              (std::vector<std::wstring>{
                  L"(/buddies/lee@zandrel.net?starttalkhandsfree)",
                  L"(/skin/window_options/copy/border/inside/wizard?jump+target=file;/skin/window_options?open)"}));
    EXPECT_TRUE(log.contains(L"ACTIVITY: () [Online] SHOWTRANSFER") ||
                log.contains(L"] SHOWTRANSFER"));
    // Out of Online a balloon click is only the ignored-input warning.
    ZClientTestAccess::setState(*client, ZClient::Connecting);
    recorded().commands.clear();
    client->onBubbleClick(client->getIcon(), 4);
    EXPECT_TRUE(recorded().commands.empty());
    EXPECT_TRUE(log.contains(L"WARNING Ignored input eventID #4, eventHeaders=''"));
}

TEST_F(ClientObject, ABuddyHeardWithMutedOrQuietSpeakersGetsABalloonWhoseClickFixesIt) {
    start("First_Run_Complete: 1\n");
    ZClientTestAccess::setState(*client, ZClient::Online);
    ZIconRecord* icon = client->getIcon();
    auto listening = [&](const wchar_t* user) {
        ZHTTPHeaders m(L"LISTENINGTO");
        m.set(L"User-GUID", std::wstring(user));
        const int before = icon->updates;
        client->_onInput(0, m);
        return icon->updates != before;
    };
    g_muted = true;
    g_volume = 0.05f;
    EXPECT_TRUE(listening(L"kim@zandrel.net"));
    EXPECT_EQ(icon->lastText,
              L"You cannot hear kim@zandrel.net talking because your speakers are muted.  Click here to unmute your "
              L"speakers.");
    EXPECT_EQ(icon->bubbleId, 5);
    EXPECT_FALSE(listening(L"kim@zandrel.net")) << "the same text is not shown twice";
    EXPECT_TRUE(listening(L"lee@zandrel.net"));
    client->onBubbleClick(icon, 5);
    EXPECT_FALSE(g_muted);

    g_volume = 0.1f;
    EXPECT_FALSE(listening(L"amy@zandrel.net")) << "0.1 is loud enough";
    g_volume = 0.09f;
    EXPECT_TRUE(listening(L"amy@zandrel.net"));
    EXPECT_EQ(icon->lastText,
              L"You might be unable to hear amy@zandrel.net talking because your volume is set very low.  Click here "
              L"to bump up your volume.");
    EXPECT_EQ(icon->bubbleId, 6);
    client->onBubbleClick(icon, 6);
    EXPECT_FLOAT_EQ(g_volume, 0.5f);
}

TEST_F(ClientObject, HotkeysGoToTheSkinAndTheUpdateBalloonOpensTheChangeLog) {
    ZLogCapture log;
    start("First_Run_Complete: 1\n", L"", true);
    ZIconRecord* icon = client->getIcon();
    EXPECT_EQ(icon->lastText,
              L"You have successfully upgraded Zandrel to version 764.  Click here to see what has changed.");
    EXPECT_EQ(icon->bubbleId, 8);
    recorded().commands.clear();
    client->onHotkeyDown(nullptr, L"kim@zandrel.net");
    client->onHotkeyUp(nullptr, L"kim@zandrel.net");
    EXPECT_EQ(recorded().commands, (std::vector<std::wstring>{L"down kim@zandrel.net", L"up kim@zandrel.net"}));
    // No change log here: the warning, then the ignored input of the state.
    client->onBubbleClick(icon, 8);
    EXPECT_TRUE(log.contains(L"WARNING Cannot open 'CHANGELOG.txt' because '"));
    EXPECT_TRUE(log.contains(L"WARNING Ignored input eventID #8, eventHeaders=''"));
}

TEST_F(ClientObject, ACriticalUpgradeThatCannotBeVerifiedIsSaidOnceAndTheTooltipLeavesTheDownload) {
    start("First_Run_Complete: 1\n");
    ZIconRecord* icon = client->getIcon();
    store().set(L"Local_Upgrade_Priority", std::wstring(L"critical"), false);
    store().set(L"Local_Upgrade_Name", std::wstring(L"Z 2"), false);
    store().set(L"Local_Upgrade_URL", std::wstring(L"http://127.0.0.1:9/z.bin"), false);
    store().set(L"Upgrade_In_Progress", std::int64_t{1}, false);
    store().set(L"Upgrade_Bytes_Downloaded", std::int64_t{0}, false);
    tick();
    EXPECT_EQ(icon->tooltipText, L"Upgrading: 0B downloaded...");

    // The upgrade service deletes the download and tells the client.
    ZHTTPHeaders refused(L"UPGRADEREFUSED");
    refused.set(L"Upgrade-URL", L"http://127.0.0.1:9/z.bin");
    store().clear(L"Local_Upgrade_URL");
    const int before = icon->updates;
    client->_onInput(0, refused);
    EXPECT_EQ(store().get(L"Logon_Status"), L"-- Upgrade required but could not be verified --");
    EXPECT_EQ(icon->lastText,
              L"Zandrel needs the update 'Z 2' to go online, but it could not be verified.  It will be offered again at "
              L"the next sign-in.");
    EXPECT_GT(icon->updates, before);
    tick();
    EXPECT_EQ(icon->tooltipText, store().get(L"Client_Status")) << "not left on the download";

    // The same offer refused again at the next sign-in: the status, not a second balloon.
    store().set(L"Logon_Status", std::wstring(L"-- Connecting... --"), false);
    const int again = icon->updates;
    client->_onInput(0, refused);
    EXPECT_EQ(icon->updates, again);
    EXPECT_EQ(store().get(L"Logon_Status"), L"-- Upgrade required but could not be verified --");
}
