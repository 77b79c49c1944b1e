// Commands and their actions: what each command text leaves on the service
// queues and in the store, and what it does to the nodes.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "ZHTTPHeaders.h"
#include "ZTemplateTestSupport.h"
#include "ZUtil_File.h"

using namespace zantest;

namespace {

const wchar_t* const kQueues[] = {
    L"ZClient_commandQueue",          L"ZSIPService_commandQueue",  L"ZScreenService_commandQueue",
    L"ZVideoCaptureService_commandQueue", L"ZFileService_commandQueue", L"ZLogfileService_commandQueue",
    L"b_commandQueue",                L"b_Chat_Queue",
};

// "METHOD|Field: value|..." and, for a content part that is a message, "<...>".
std::wstring render(const std::string& bytes) {
    ZHTTPHeaders message;
    if (message.deserialize(bytes) <= 0) return ZFromUTF8(bytes);
    std::wstring text = ZFromUTF8(message.getDebugText());
    while (!text.empty() && text.back() == L'\n') text.pop_back();
    for (auto& c : text)
        if (c == L'\n') c = L'|';
    const std::wstring firstLine = L" / HTTP/1.1";
    const std::size_t at = text.find(firstLine);
    if (at != std::wstring::npos) text.erase(at, firstLine.size());
    // Lengths depend on the content only; the content is shown instead.
    const std::size_t length = text.find(L"|Content-Length: ");
    if (length != std::wstring::npos) text.erase(length, text.find(L'|', length + 1) - length);
    if (message.hasContent()) text += L"<" + render(message.getContent(0)) + L">";
    return text;
}

struct ActionCase {
    std::vector<std::pair<const wchar_t*, const wchar_t*>> before;  // store values set first
    const wchar_t* context;                                         // path below /skin/, or null
    const wchar_t* command;
    std::vector<const wchar_t*> messages;                           // "queue: rendered message"
    std::vector<std::pair<const wchar_t*, const wchar_t*>> after;   // store values; null: unset
    const wchar_t* log;                                             // a line that must be logged, or null
    std::vector<const wchar_t*> journal;                            // node operations, in order
};

class CommandActionsTest : public TemplateRootFixture {
protected:
    std::vector<std::wstring> drain() {
        std::vector<std::wstring> out;
        for (const wchar_t* queue : kQueues) {
            std::string item;
            while (instance->dequeue(queue, item)) out.push_back(std::wstring(queue) + L": " + render(item));
        }
        return out;
    }

    void run(const ActionCase& c) {
        for (const auto& [name, value] : c.before) instance->set(name, std::wstring(value), false);
        drain();
        nodeJournal().clear();
        ZLogCapture log;
        ZTemplateNode* context = c.context ? node(c.context) : nullptr;
        if (c.context) {
            ASSERT_NE(context, nullptr) << c.context;
        }
        tmpl->executeCommand(c.command, context);
        std::vector<std::wstring> expected(c.messages.begin(), c.messages.end());
        EXPECT_EQ(drain(), expected) << c.command;
        for (const auto& [name, value] : c.after) {
            if (value)
                EXPECT_EQ(instance->get(name), value) << c.command << ": " << name;
            else
                EXPECT_FALSE(instance->isSet(name)) << c.command << ": " << name;
        }
        if (c.log) {
            EXPECT_TRUE(log.contains(c.log)) << c.command << " should log " << c.log;
        }
        std::vector<std::wstring> journal(c.journal.begin(), c.journal.end());
        EXPECT_EQ(nodeJournal(), journal) << c.command;
    }
};

}  // namespace

TEST_F(CommandActionsTest, BuddyActionsQueueTheirMessages) {
    load();
    const ActionCase cases[] = {
        {{}, nullptr, L"(/buddies/b?showscreen)", {L"b_commandQueue: DEVICEBROADCAST<SHARESCREEN>"}, {},
         L"ACTIVITY: 'showscreen' to buddy 'b'", {}},
        {{}, nullptr, L"(/buddies/b?setremotecontrol+enable=true)",
         {L"ZScreenService_commandQueue: SETREMOTECONTROL|Buddy-GUID: b|Enable: true"}, {},
         L"ACTIVITY: 'setremotecontrol' to buddy 'b' (enable=true)", {}},
        {{}, nullptr, L"(/buddies/b?stopscreenfrom;/buddies/b?stopscreento)",
         {L"ZScreenService_commandQueue: CLOSERECV|Buddy-GUID: b",
          L"ZScreenService_commandQueue: CLOSESEND|Buddy-GUID: b"}, {}, nullptr, {}},
        {{{L"Add_Buddy_GUID", L"Someone"}}, nullptr, L"(/buddies?addbuddy)",
         {L"ZSIPService_commandQueue: ADDBUDDY|Buddy-GUID: someone@zandrel.net"},
         {{L"Add_Buddy_Status", L"Verifying..."}}, L"ACTIVITY: 'add' to 'someone@zandrel.net'", {}},
        {{{L"Add_Buddy_GUID", L"Me@Zandrel.net"}, {L"Local_User_GUID", L"me@zandrel.net"}}, nullptr,
         L"(/buddies/?addbuddy)", {}, {{L"Add_Buddy_Status", L"Nice try, buddy."}},
         L"WARNING Trying to add self as buddy, ignoring.", {}},
        {{{L"Add_Buddy_GUID", L"!!"}}, nullptr, L"(/buddies?addbuddy)", {},
         {{L"Add_Buddy_Status", L"You gots to type first, dawg."}}, L"WARNING Trying to add null buddy, ignoring.", {}},
        {{}, nullptr, L"(/buddies/b/x?talk)", {}, {}, L"WARNING Malformed buddy path '/buddies/b/x', ignoring.", {}},
        {{}, nullptr, L"(/buddies/b?reconnect,/buddies/b?remove)",
         {L"ZSIPService_commandQueue: RECONNECTBUDDY|Buddy-GUID: b",
          L"ZSIPService_commandQueue: REMOVEBUDDY|Buddy-GUID: b"}, {}, nullptr, {}},
        {{{L"Audio_Capture_Online", L"false"}}, nullptr, L"(/buddies/b?talk)",
         {L"ZClient_commandQueue: NOTIFYCANTTALK|User-GUID: b"}, {{L"Talking_To_List", nullptr}},
         L"WARNING Trying to 'talk' to buddy 'b' but no audio capture configured, ignoring.", {}},
        {{{L"Audio_Capture_Online", L"true"}, {L"b_Device_List", L"d1, d2"}, {L"b@d2_Video_Enabled", L"true"}},
         nullptr, L"(/buddies/b?talk)",
         {L"ZVideoCaptureService_commandQueue: RESET|Audio-Enable: true|Buddy-Device-GUID: b@d1|Video-Enable: "
          L"false|Video-FPS: 5",
          L"ZVideoCaptureService_commandQueue: RESET|Audio-Enable: true|Buddy-Device-GUID: b@d2|Video-Enable: "
          L"true|Video-FPS: 5"},
         {{L"Talking_To_List", L"b"}, {L"Talking_Hands_Free", L"0"}}, L"ACTIVITY: 'talk' to buddy 'b'", {}},
        {{{L"Audio_Capture_Online", L"true"}, {L"b_Audio_Enabled", L"false"}}, nullptr, L"(/buddies/b?call)",
         {L"ZClient_commandQueue: NOTIFYREMOTECANTTALK|User-GUID: b"}, {{L"b_Call_State", nullptr}},
         L"WARNING Trying to 'call' to buddy 'b' but remote side has no audio capture configured, ignoring.", {}},
        {{{L"Audio_Capture_Online", L"true"}, {L"b_Audio_Enabled", L"true"}}, nullptr, L"(/buddies/b?call)",
         {L"b_commandQueue: DEVICEBROADCAST<CALLINVITE>"},
         {{L"b_Call_State", L"calling"}, {L"b_Call_Status", L"Calling b..."}}, L"ACTIVITY: 'call' to buddy 'b'",
         {L"open Window_b"}},
        {{{L"b_Call_State", L"talking"}, {L"Talking_Hands_Free", L"1"}}, nullptr,
         L"(/buddies/b?hangup+reason=done)", {L"b_commandQueue: DEVICEBROADCAST<CALLCANCEL|Reason: done>"},
         {{L"b_Call_State", nullptr}, {L"b_Call_Status", L"Call complete."}, {L"Talking_Hands_Free", L"0"}},
         L"ACTIVITY: 'hangup' to buddy 'b' (reason='done')", {}},
        {{{L"b_Call_Status", L"Calling b..."}}, nullptr, L"(/buddies/b?hangup+reason=busy)",
         {L"b_commandQueue: DEVICEBROADCAST<CALLCANCEL|Reason: busy>"}, {{L"b_Call_Status", nullptr}}, nullptr, {}},
        {{{L"Audio_Capture_Online", L"false"}}, nullptr, L"(/buddies/b?pickup)",
         {L"ZClient_commandQueue: NOTIFYCANTTALK|User-GUID: b", L"b_commandQueue: DEVICEBROADCAST<CALLACCEPT>"},
         {{L"b_Call_State", L"talking"}},
         L"WARNING Trying to 'starttalkhandsfree' to buddy 'b' but no audio capture configured, ignoring.", {}},
        {{{L"Local_User_GUID", L"me@zandrel.net"}}, L"window_login/edit_name", L"(/buddies/b?chat+action=typing)",
         {L"b_commandQueue: DEVICEBROADCAST<CHAT|Action: typing|From: me@zandrel.net<typed words>>"}, {}, nullptr, {}},
        {{}, nullptr, L"(/buddies/b?chatdone)", {L"b_commandQueue: DEVICEBROADCAST<CHATDONE>"}, {}, nullptr, {}},
        {{}, nullptr, L"(/buddies/b?wave)", {}, {}, L"WARNING Unknown buddy action 'wave', ignoring.", {}},
        {{}, nullptr, L"(/buddies?wave)", {}, {}, L"WARNING Unknown buddy-management action 'wave', ignoring.", {}},
    };
    for (const auto& c : cases) run(c);
}

TEST_F(CommandActionsTest, AccountDeviceFileAndSystemActions) {
    load();
    const ActionCase cases[] = {
        {{{L"Local_Username", L"a@b"}, {L"Local_Password", L"p"}, {L"Local_Email", L"e"}}, nullptr,
         L"(/account?new)", {}, {{L"Logon_Status", L"-- Invalid name (a-z0-9_.-) --"}},
         L"WARNING Cannot 'new': '-- Invalid name (a-z0-9_.-) --'", {}},
        {{{L"Local_Username", L"ann"}, {L"Local_User_GUID", L"old@zandrel.net"}}, nullptr, L"(/account?new)",
         {L"ZClient_commandQueue: LOGON"}, {{L"Local_User_GUID", nullptr}}, nullptr, {}},
        {{{L"Local_User_GUID", L"Someone"}, {L"Local_Password", L"p"}}, nullptr, L"(/account?login)",
         {L"ZClient_commandQueue: LOGON"}, {{L"Local_User_GUID", L"someone@zandrel.net"}}, nullptr,
         {L"close Window_login"}},
        {{{L"Local_User_GUID", L"bad name!"}}, nullptr, L"(/account?login)", {},
         {{L"Logon_Status", L"-- Invalid name (a-z0-9@_.-) --"}}, L"'-- Invalid name (a-z0-9@_.-) --'", {}},
        {{}, nullptr, L"(/account?updatecapture)", {L"ZSIPService_commandQueue: UPDATECAPTURE"}, {},
         L"ACTIVITY: Updating preferences", {}},
        {{}, nullptr, L"(/dev/Audio?startpreview)", {L"ZVideoCaptureService_commandQueue: STARTAudioPREVIEW"}, {},
         nullptr, {}},
        {{}, nullptr, L"(/dev/video?stoppreview)", {L"ZVideoCaptureService_commandQueue: STOPvideoPREVIEW"}, {},
         nullptr, {}},
        {{}, nullptr, L"(/dev/camera?startpreview)", {}, {},
         L"WARNING Tried to address non-existent device '/dev/camera', ignoring.", {}},
        {{{L"Video_Capture_Device", L"cam"}, {L"Audio_Capture_Device", L"mic"}}, L"list_devices",
         L"(/dev/video?reset)",
         {L"ZVideoCaptureService_commandQueue: START|Audio_Capture_Device: mic|Video_Capture_Device: cam"}, {},
         nullptr, {}},
        {{}, L"table_files", L"(/dev/video?reset)", {}, {},
         L"WARNING Tried to 'reset' device 'video' from non-list source, ignoring.", {}},
        {{}, L"table_files", L"(/fileservice?open;/fileservice?cancel)",
         {L"ZFileService_commandQueue: OPEN|File-ID: 42", L"ZFileService_commandQueue: CANCEL|File-ID: 42"}, {},
         nullptr, {}},
        {{}, L"table_empty", L"(/fileservice?open)", {}, {},
         L"WARNING Unable to 'OPEN' because nothing selected, ignoring.", {}},
        {{}, nullptr, L"(/system?exit)", {L"ZClient_commandQueue: LOGOFF"},
         {{L"Reconnect_When_Offline", L"0"}, {L"Exit_When_Offline", L"1"}, {L"Restart_On_Exit", L"0"}}, nullptr, {}},
        {{}, nullptr, L"(/system?reconnect)", {L"ZClient_commandQueue: LOGOFF"},
         {{L"Reconnect_When_Offline", L"1"}, {L"Exit_When_Offline", L"0"}}, L"ACTIVITY: RECONNECT", {}},
        {{}, nullptr, L"(/system?restart)", {L"ZClient_commandQueue: LOGOFF"}, {{L"Restart_On_Exit", L"1"}},
         L"ACTIVITY: RESTART", {}},
        {{{L"Local_User_GUID", L"ann@zandrel.net"}, {L"Local_Password", L"p"}, {L"Reconnect_When_Offline", L"1"}},
         nullptr, L"(/system?signout)", {L"ZClient_commandQueue: LOGOFF"},
         {{L"Local_User_GUID", L"ann@zandrel.net"}, {L"Local_Password", nullptr}, {L"Reconnect_When_Offline", L"0"},
          {L"Exit_When_Offline", L"0"}, {L"Restart_On_Exit", L"0"}},
         L"ACTIVITY: SIGNOUT", {}},
        {{}, nullptr, L"(/system?set+name=Debug_Name+value=x)", {}, {{L"Debug_Name", L"x"}},
         L"ACTIVITY: SET('Debug_Name'='x')", {}},
        {{}, nullptr, L"(/system?set+value=x)", {}, {},
         L"WARNING Cannot set value 'x' because no name specificed; ignoring.", {}},
        {{{L"Debug_Name", L"Bench_Value"}, {L"Bench_Value", L"7"}}, nullptr, L"(/system?getvalue)", {},
         {{L"Debug_Value", L"7"}, {L"Debug_Result", L"Getting 'Bench_Value' = '7'  "}}, nullptr, {}},
        {{{L"Bug_Report", L""}}, nullptr, L"(/system?bugreport)", {},
         {{L"Bug_Report_Status", L"Please enter bug report or suggestion."}}, nullptr, {}},
        {{}, L"table_threads", L"(/system?logcallstack)", {}, {},
         L"WARNING Unknown thread 'ZClient.NoSuchThread', cannot log call stack; ignoring.", {}},
        {{}, nullptr, L"(/system?assignhotkey)", {}, {}, L"WARNING Trying to assign hotkey, but nothing selected", {}},
        {{}, nullptr, L"(/system?dance)", {}, {}, L"WARNING Unknown system action 'dance', ignoring.", {}},
        {{}, nullptr, L"(/fileservice?x)", {}, {}, L"WARNING Unrecognized fileservice action 'x', ignoring.", {}},
        {{}, nullptr, L"(/account?x)", {}, {}, L"WARNING Unknown account action 'x', ignoring.", {}},
    };
    for (const auto& c : cases) run(c);
}

TEST_F(CommandActionsTest, SkinActionsReachTheNodesTheyName) {
    load();
    const ActionCase cases[] = {
        {{}, nullptr, L"(/skin/window_x?fadein+duration=250)", {}, {}, nullptr, {L"fadein Window_x 250000"}},
        {{}, nullptr, L"(/skin/window_x?fadeout)", {}, {}, nullptr, {L"fadeout Window_x 0"}},
        {{}, nullptr, L"(/skin/window_x?open+close)", {}, {}, nullptr, {L"close Window_x"}},
        {{}, nullptr, L"(/skin/window_x?duration=300+open)", {}, {}, nullptr, {L"open Window_x"}},
        {{}, nullptr, L"(/skin/window_x?maximize;/skin/window_x?minimize,/skin/window_x?flash)", {}, {}, nullptr,
         {L"maximize Window_x", L"minimize Window_x", L"flash Window_x"}},
        {{}, nullptr, L"(/skin/screen_remote?fit;/skin/window_x?fit)", {}, {}, nullptr,
         {L"fitscreen Screen_remote", L"fit Window_x"}},
        {{}, nullptr, L"(/skin/table_files?fit)", {}, {},
         L"WARNING Trying to 'fit' on a non-screen/window node '/skin/table_files', ignoring.", {}},
        {{}, nullptr, L"(/skin/table_files?open)", {}, {},
         L"WARNING Trying to 'open' non-window node '/skin/table_files', ignoring.", {}},
        {{}, L"window_options/copy/border/inside/wizard/button_go", L"(../?next;..?back;..?done)", {}, {}, nullptr,
         {L"next Wizard", L"back Wizard", L"done Wizard"}},
        {{}, L"window_options/copy/border/inside/wizard/list_pages", L"(..?jump)", {}, {}, nullptr,
         {L"jump Wizard audio"}},
        {{}, L"window_options/copy/border/inside/wizard/button_go", L"(..?jump+target=file)", {}, {}, nullptr,
         {L"jump Wizard file"}},
        {{}, L"window_options/copy/border/inside/wizard/button_go", L"(..?jump)", {}, {},
         L"WARNING Trying to 'jump' on non-wizard node, with no target, or with non-list source '..', ignoring.", {}},
        {{}, L"window_login/edit_name", L"(clear)", {}, {}, nullptr, {}},
        {{}, L"window_login/text_title", L"(/skin/window_login/edit_name?clear)", {}, {},
         L"WARNING Trying to 'clear' on non-edit node '/skin/window_login/edit_name', ignoring.", {}},
        {{}, L"window_x", L"(close)", {}, {}, nullptr, {L"close Window_x"}},
        {{}, nullptr, L"(close)", {}, {}, L"WARNING Missing target for action 'close', ignoring.", {}},
        {{}, nullptr, L"(/skin/window_login)", {}, {}, L"WARNING Unknown skin action '', ignoring.", {}},
        {{}, nullptr, L"(/skin/nowhere?open)", {}, {}, L"WARNING Invalid path '/skin/nowhere', ignoring.", {}},
        {{}, nullptr, L"(/skin/?open)", {}, {}, L"WARNING Requesting non-existent node '/skin/', ignoring.", {}},
        {{}, nullptr, L"(/skin//window_x?open)", {}, {},
         L"WARNING Requesting non-existent node '/skin//window_x', ignoring.", {}},
        {{}, nullptr, L"(/nowhere?x)", {}, {}, L"WARNING Unknown path '/nowhere', ignoring.", {}},
        {{}, nullptr, L"(?close)", {}, {}, L"WARNING Missing target for action '?close', ignoring.", {}},
    };
    for (const auto& c : cases) run(c);
    EXPECT_EQ(node(L"window_login/edit_name")->getAttribute(L"text"), L"");
}

TEST_F(CommandActionsTest, ChatSentFromAnEditFieldIsQueuedAndLogged) {
    load();
    instance->set(L"Local_User_GUID", std::wstring(L"kim@zandrel.net"), false);
    // 15:07:30 local time on the driven clock.
    const std::int64_t offset = ZTimeNowLocal() - ZTimeNow();
    const std::int64_t day = 86400LL * 1000000LL;
    drivenNow() = (drivenNow() + offset) / day * day + (15 * 3600 + 7 * 60 + 30) * 1000000LL - offset;
    tmpl->executeCommand(L"(/buddies/b?chat+action=send+message=hello)", nullptr);
    std::string item;
    ASSERT_TRUE(instance->dequeue(L"b_Chat_Queue", item));
    EXPECT_EQ(render(item), L"CHAT|Action: send|From: kim@zandrel.net<hello>");
    ASSERT_TRUE(instance->dequeue(L"b_commandQueue", item));
    EXPECT_EQ(render(item), L"DEVICEBROADCAST<CHAT|Action: send|From: kim@zandrel.net<hello>>");

    ZHTTPHeaders silent(L"CHAT");
    silent.set(L"From", std::wstring(L"ann"));
    ZTemplate::logCHAT(L"b", silent);
    EXPECT_EQ(ZTestReadFile(dir.file("chatlogs/b_chat.txt")), "[3:07pm] kim: hello\r\n[3:07pm] ann: \r\n");

    ZLogCapture log;
    ZTemplate::logCHAT(L"../escape", silent);
    EXPECT_TRUE(log.contains(L"WARNING Invalid buddy '../escape' for the chat log, ignoring."));
}

TEST_F(CommandActionsTest, ChatFromAHostileSenderStaysOneLineOfTheLog) {
    load();
    const std::int64_t offset = ZTimeNowLocal() - ZTimeNow();
    const std::int64_t day = 86400LL * 1000000LL;
    drivenNow() = (drivenNow() + offset) / day * day + (9 * 3600 + 5 * 60 + 30) * 1000000LL - offset;
    const struct {
        std::string text;
        std::string logged;
    } cases[] = {
        {"ok\r\n[7:25am] victim: I agree to pay mallory 1000 euros", "ok \xE2\x86\xB5 [7:25am] victim: I agree to pay mallory 1000 euros"},
        {"a\nb\rc\r\n\r\nd", "a \xE2\x86\xB5 b \xE2\x86\xB5 c \xE2\x86\xB5  \xE2\x86\xB5 d"},
        {std::string("nul") + '\0' + "esc\x1b[2Jbell\x07\tkept", "nulesc[2Jbell\tkept"},
        {"sep\xE2\x80\xA8line\xC2\x85next\x0b\x0c", "sep \xE2\x86\xB5 line \xE2\x86\xB5 next \xE2\x86\xB5  \xE2\x86\xB5 "},
        {"csi\xC2\x9B" "31m del\x7F", "csi31m del"},
    };
    ASSERT_EQ(mkdir(dir.file("chatlogs").c_str(), 0700), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        ASSERT_EQ(unlink(dir.file("chatlogs/m_chat.txt").c_str()) == 0 || errno == ENOENT, true);
        ZHTTPHeaders chat(L"CHAT");
        chat.set(L"From", std::wstring(L"mallory@zandrel.net"));
        chat.addContent(c.text);
        ZTemplate::logCHAT(L"m", chat);
        EXPECT_EQ(ZTestReadFile(dir.file("chatlogs/m_chat.txt")), "[9:05am] mallory: " + c.logged + "\r\n");
    }
    // A forged name cannot break the line either.
    ZHTTPHeaders named(L"CHAT");
    named.set(L"From", std::wstring(L"x\r\n[1:00pm] kim@zandrel.net"));
    named.addContent(std::string("hi"));
    ASSERT_EQ(unlink(dir.file("chatlogs/m_chat.txt").c_str()), 0);
    ZTemplate::logCHAT(L"m", named);
    EXPECT_EQ(ZTestReadFile(dir.file("chatlogs/m_chat.txt")), "[9:05am] x \xE2\x86\xB5 [1:00pm] kim: hi\r\n");
}

TEST_F(CommandActionsTest, ChatLoadNeverTruncatesALog) {
    load();
    // No viewer can start here: both tries fail.
    const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", "/nonexistent", 1);
    ASSERT_EQ(mkdir(dir.file("chatlogs").c_str(), 0700), 0);
    ZTestWriteFile(dir.file("chatlogs/b_chat.txt"), "[1:00pm] kim: kept\r\n");
    ZLogCapture log;
    tmpl->executeCommand(L"(/buddies/b?chatload;/buddies/c?chatload)", nullptr);
    EXPECT_EQ(ZTestReadFile(dir.file("chatlogs/b_chat.txt")), "[1:00pm] kim: kept\r\n");
    EXPECT_EQ(ZTestReadFile(dir.file("chatlogs/c_chat.txt")), "(empty chat log)\r\n");
    setenv("PATH", path.c_str(), 1);
    EXPECT_TRUE(log.contains(L"WARNING Can't open chat log 'chatlogs/b_chat.txt' ('"));
}

TEST_F(CommandActionsTest, SendFileOffersTheChosenFileToTheBuddy) {
    load();
    // A chooser that answers what the test says, in place of zenity.
    ASSERT_EQ(mkdir(dir.file("bin").c_str(), 0700), 0);
    ZTestWriteFile(dir.file("bin/zenity"), "#!/bin/sh\necho \"$ZAN_TEST_CHOICE\"\n[ -n \"$ZAN_TEST_CHOICE\" ]\n");
    ASSERT_EQ(chmod(dir.file("bin/zenity").c_str(), 0700), 0);
    ZTestWriteFile(dir.file("report.txt"), "numbers");
    const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    setenv("PATH", dir.file("bin").c_str(), 1);
    const std::wstring chosen = ZFromUTF8(dir.file("report.txt"));
    const struct {
        std::string choice;
        std::vector<std::wstring> messages;
        const wchar_t* log;
        std::vector<std::wstring> journal;
    } cases[] = {
        {dir.file("report.txt"),
         {L"b_commandQueue: DEVICEBROADCAST<SENDFILE|Filename: report.txt|Path: " + chosen + L">"},
         L"ACTIVITY: 'sendfile'",
         {L"jump Wizard file", L"open Window_options"}},
        {"", {}, L"WARNING Cannot send file '', ignoring.", {}},
        {dir.file("missing.txt"), {}, L"WARNING Cannot send file '", {}},
    };
    for (const auto& c : cases) {
        setenv("ZAN_TEST_CHOICE", c.choice.c_str(), 1);
        nodeJournal().clear();
        ZLogCapture log;
        tmpl->executeCommand(L"(/buddies/b?sendfile)", nullptr);
        EXPECT_EQ(drain(), c.messages) << c.choice;
        EXPECT_TRUE(log.contains(c.log)) << c.choice;
        EXPECT_EQ(nodeJournal(), c.journal) << c.choice;
    }
    setenv("PATH", path.c_str(), 1);
    unsetenv("ZAN_TEST_CHOICE");
}

TEST_F(CommandActionsTest, BugReportUploadsTheLogsAfterStartingAFreshOne) {
    load();
    instance->set(L"Bug_Report", std::wstring(L"the list flickers"), false);
    ZLogCapture log;
    tmpl->executeCommand(L"(/system?uploadlogfile)", nullptr);
    EXPECT_EQ(drain(), (std::vector<std::wstring>{L"ZLogfileService_commandQueue: UPLOADLOGFILES"}));
    EXPECT_EQ(instance->get(L"Exit_When_Logfiles_Uploaded"), L"0");
    EXPECT_TRUE(ZFileExists(L"zandrel.log"));

    // The log open now is closed as a dirty one, archived, and started anew.
    tmpl->executeCommand(L"(/system?bugreport)", nullptr);
    EXPECT_EQ(drain(), (std::vector<std::wstring>{L"ZSIPService_commandQueue: BUGREPORT",
                                                  L"ZLogfileService_commandQueue: UPLOADLOGFILES"}));
    EXPECT_EQ(instance->get(L"Bug_Report_Status"), L"Uploading report...");
    EXPECT_TRUE(log.contains(L"ACTIVITY: BUGREPORT(the list flickers)"));
    std::map<std::wstring, ZFileInfo> files;
    ASSERT_TRUE(ZDirList(L".", files));
    int dirty = 0;
    for (const auto& [name, info] : files) dirty += name.size() > 10 && name.substr(name.size() - 10) == L"_dirty.log";
    EXPECT_EQ(dirty, 1);
    std::string archived;
    ZLogClose(archived, true);
}
