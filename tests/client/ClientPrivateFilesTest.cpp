// The files that hold the stored password or whom the user talks to are the
// user's alone: made so when created, and tightened at the client's start
// when found open to others.
#include <sys/stat.h>

#include "ZClientFixture.h"
#include "ZNonPortable_FileModes.h"
#include "ZPortable.h"
#include "ZUtil.h"
#include "ZUtil_File.h"

using namespace clienttest;

namespace {

int modeOf(const std::string& path) { return ZFileGetMode(ZFromUTF8(path)); }

// Every file the test makes is as open as a careless umask leaves it.
class OpenUmask {
public:
    OpenUmask() : _old(umask(0)) {}
    ~OpenUmask() { umask(_old); }

private:
    mode_t _old;
};

}  // namespace

class ClientPrivateFiles : public ClientFixture {};

TEST_F(ClientPrivateFiles, SettingsLogsAndChatLogsAreCreatedForTheUserOnly) {
    OpenUmask open;
    {
        ZInstance settings(L"fresh.ini");
        settings.set(L"Local_Password", std::wstring(L"pw"), true);
        settings.save();
    }
    const std::string line = "bob: hello\n";
    ZFileAppend(L"chatlogs/bob_chat.txt", line.data(), static_cast<int>(line.size()));
    ASSERT_TRUE(ZLogOpen(L"zanmodes", false));
    const int logMode = modeOf(dir.file("zanmodes.log"));
    std::string archived;
    ZLogClose(archived, true);
    EXPECT_EQ(modeOf(dir.file("fresh.ini")), 0600);
    EXPECT_EQ(modeOf(dir.file("chatlogs")), 0700);
    EXPECT_EQ(modeOf(dir.file("chatlogs/bob_chat.txt")), 0600);
    EXPECT_EQ(logMode, 0600);
    // A file appended elsewhere keeps the folder it is given.
    ZDirCreate(L"shared");
    chmod(dir.file("shared").c_str(), 0755);
    ZFileAppend(L"shared/deeper/note.txt", line.data(), static_cast<int>(line.size()));
    EXPECT_EQ(modeOf(dir.file("shared")), 0755);
    EXPECT_EQ(modeOf(dir.file("shared/deeper")), 0700);
}

TEST_F(ClientPrivateFiles, AStartOverFilesOpenToOthersTightensThemWithOneLogLine) {
    ZTestWriteFile(dir.file("zandrel.log"), "old\n");
    ZTestWriteFile(dir.file("zandrel_20261210.log"), "older\n");
    ZDirCreate(L"chatlogs");
    ZTestWriteFile(dir.file("chatlogs/bob_chat.txt"), "bob: hi\n");
    ZTestWriteFile(dir.file("notes.txt"), "mine to share\n");
    for (const char* file : {"zandrel.log", "zandrel_20261210.log", "chatlogs/bob_chat.txt", "notes.txt"})
        chmod(dir.file(file).c_str(), 0644);
    chmod(dir.file("chatlogs").c_str(), 0755);
    const std::string settings = "Local_User_GUID: amy@zandrel.net\nFirst_Run_Complete: 1\n";
    // The fixture writes the settings; they are opened up before the start.
    ZLogCapture log;
    {
        ZTestWriteFile(dir.file("settings.ini"), settings);
        chmod(dir.file("settings.ini").c_str(), 0644);
        ZClient* first = ZSAFENEW(ZClient, L"settings.ini", L"", L"", L"", false, false, false);
        delete first;
    }
    EXPECT_EQ(modeOf(dir.file("settings.ini")), 0600);
    EXPECT_EQ(modeOf(dir.file("zandrel.log")), 0600);
    EXPECT_EQ(modeOf(dir.file("zandrel_20261210.log")), 0600);
    EXPECT_EQ(modeOf(dir.file("chatlogs")), 0700);
    EXPECT_EQ(modeOf(dir.file("chatlogs/bob_chat.txt")), 0600);
    EXPECT_EQ(modeOf(dir.file("notes.txt")), 0644) << "a file of no secret stays as the user left it";
    EXPECT_EQ(log.count(L"Made 5 files and folders of settings, logs and chats readable by this user only."), 1);
    // Saving keeps the settings private, and a second start finds nothing to do.
    start(settings);
    store().save();
    stop();
    EXPECT_EQ(modeOf(dir.file("settings.ini")), 0600);
    EXPECT_EQ(log.count(L"readable by this user only"), 1);
}
