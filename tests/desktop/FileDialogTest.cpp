#include "ZDesktopTest.h"

#include <X11/XKBlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <sys/stat.h>

#include "../../libzan/src/ZNonPortable_Popup.h"
#include "../platform/ZPlatformTestSupport.h"
#include "ZNonPortable.h"
#include "ZNonPortable_FileDialog.h"
#include "ZPortable_Text.h"
#include "ZTestSupport.h"

_ZPopup* _ZFileDialogCurrent();

namespace {

// A stand-in zenity first on PATH: records its arguments, prints ANSWER and
// exits with STATUS.
struct ZFakeZenity {
    ZTempDir dir;
    ZFakeZenity(const std::string& answer, int status) {
        const std::string script = dir.file("zenity");
        ZTestWriteFile(script, "#!/bin/sh\nfor a in \"$@\"; do echo \"$a\"; done > '" + dir.file("args") +
                                   "'\nprintf '%s\\n' '" + answer + "'\nexit " + std::to_string(status) + "\n");
        chmod(script.c_str(), 0755);
        setenv("PATH", (dir.path() + ":/usr/bin:/bin").c_str(), 1);
    }
    std::string args() const { return ZTestReadFile(dir.file("args")); }
};

}  // namespace

TEST(ZFileDialog, ProposedSaveNamesFromPeersAreReducedToTheirLastComponent) {
    const struct {
        const wchar_t* proposed;
        std::wstring offered;
    } rows[] = {
        {L"report.pdf", L"report.pdf"},
        {L"../../.ssh/authorized_keys", L"authorized_keys"},
        {L"C:\\Windows\\evil.exe", L"evil.exe"},
        {L"/etc/", L""},
        {L"..", L""},
        {L"a\nb\x1b.txt", L"ab.txt"},
        {L"", L""},
    };
    for (const auto& row : rows) EXPECT_EQ(_ZFileDialogSafeName(row.proposed), row.offered) << ZToUTF8(row.proposed);
    EXPECT_EQ(_ZFileDialogSafeName(std::wstring(300, L'n')), std::wstring(260, L'n'));
}

TEST(ZFileDialog, ZenityAnswersThePathAndCancelGivesNothing) {
    ZPlatformScope platform;
    {
        ZFakeZenity zenity("/home/user/h\xC3\xA9llo.txt", 0);
        EXPECT_EQ(ZSystemOpenFileDialog(L"Send a file"), L"/home/user/h\u00E9llo.txt");
        EXPECT_EQ(zenity.args(), "--file-selection\n--title=Send a file\n");
    }
    {
        ZFakeZenity zenity("/tmp/saved.bin", 0);
        // The name goes into the download folder (no xdg-user-dir here: ~/Downloads).
        ZTempDir home;
        const std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
        setenv("HOME", home.path().c_str(), 1);
        EXPECT_EQ(ZSystemSaveFileDialog(L"Save", L"../../x/evil.bin"), L"/tmp/saved.bin");
        setenv("HOME", oldHome.c_str(), 1);
        EXPECT_EQ(zenity.args(), "--file-selection\n--save\n--confirm-overwrite\n--title=Save\n--filename=" +
                                     home.path() + "/Downloads/evil.bin\n");
    }
    {
        ZFakeZenity zenity("", 1);
        EXPECT_EQ(ZSystemOpenFileDialog(L"Send a file"), L"");
        EXPECT_EQ(ZSystemSaveFileDialog(L"Save", L"a.txt"), L"");
    }
}

TEST(ZFileDialog, WithoutZenityThePathIsTypedIntoAWindowOfOurOwn) {
    ZREQUIRE_DISPLAY();
    ZPlatformScope platform;
    setenv("PATH", "/nonexistent", 1);
    ZTempDir dir;
    ZTestWriteFile(dir.file("a"), "x");
    struct Typist : IZTimerListener {
        std::string text;
        bool typed = false;
        void onTimer(ZTimer*) override {
            if (typed || !_ZFileDialogCurrent()) return;
            typed = true;
            Display* d = _ZX11Display();
            for (char c : text) {
                const KeySym k = static_cast<KeySym>(static_cast<unsigned char>(c));  // ASCII keysyms are their codes
                const KeyCode code = XKeysymToKeycode(d, k);
                const bool shift = XkbKeycodeToKeysym(d, code, 0, 0) != k;
                if (shift) XTestFakeKeyEvent(d, XKeysymToKeycode(d, XK_Shift_L), True, 0);
                XTestFakeKeyEvent(d, code, True, 0);
                XTestFakeKeyEvent(d, code, False, 0);
                if (shift) XTestFakeKeyEvent(d, XKeysymToKeycode(d, XK_Shift_L), False, 0);
            }
            XTestFakeKeyEvent(d, XKeysymToKeycode(d, XK_Return), True, 0);
            XTestFakeKeyEvent(d, XKeysymToKeycode(d, XK_Return), False, 0);
            XFlush(d);
        }
    } typist;
    typist.text = dir.file("a");
    ZTimer* timer = ZTimerOpen(50000, &typist);
    EXPECT_EQ(ZSystemOpenFileDialog(L"Send a file"), ZFromUTF8(dir.file("a")));
    ZTimerClose(timer);
}

TEST(ZFileDialog, WithoutZenityReplacingAFileIsAskedFirst) {
    ZREQUIRE_DISPLAY();
    ZPlatformScope platform;
    const std::string oldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    const std::string oldHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    setenv("PATH", "/nonexistent", 1);
    ZTempDir home;
    setenv("HOME", home.path().c_str(), 1);
    ASSERT_EQ(mkdir(home.file("Downloads").c_str(), 0700), 0);
    ZTestWriteFile(home.file("Downloads/template.xml"), "the user's own");
    // Each key goes once the chooser's first line says what the row expects
    // before it; a chooser that never does is ended with Escape.
    struct Typist : IZTimerListener {
        std::vector<KeySym> keys;
        std::vector<std::wstring> expected;
        std::size_t step = 0;
        int idle = 0;
        bool stuck = false;
        void press(KeySym key) {
            Display* d = _ZX11Display();
            XTestFakeKeyEvent(d, XKeysymToKeycode(d, key), True, 0);
            XTestFakeKeyEvent(d, XKeysymToKeycode(d, key), False, 0);
            XFlush(d);
        }
        void onTimer(ZTimer*) override {
            _ZPopup* popup = _ZFileDialogCurrent();
            if (!popup) return;
            if (step < keys.size() && popup->lines[0] == expected[step]) {
                press(keys[step++]);
                idle = 0;
            } else if (++idle > 200) {
                stuck = true;
                press(XK_Escape);
            }
        }
    };
    const std::wstring proposed = ZFromUTF8(home.file("Downloads/template.xml"));
    const std::wstring question = L"Replace the existing file? Enter: replace, Escape: back";
    const struct {
        const char* what;
        std::vector<KeySym> keys;
        std::vector<std::wstring> expected;
        std::wstring chosen;
    } rows[] = {
        {"Enter twice replaces", {XK_Return, XK_Return}, {L"Save", question}, proposed},
        {"Escape at the question goes back, Escape again cancels", {XK_Return, XK_Escape, XK_Escape},
         {L"Save", question, L"Save"}, L""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        Typist typist;
        typist.keys = row.keys;
        typist.expected = row.expected;
        ZTimer* timer = ZTimerOpen(50000, &typist);
        EXPECT_EQ(ZSystemSaveFileDialog(L"Save", L"template.xml"), row.chosen);
        ZTimerClose(timer);
        EXPECT_EQ(typist.step, row.keys.size());
        EXPECT_FALSE(typist.stuck);
    }
    EXPECT_EQ(ZTestReadFile(home.file("Downloads/template.xml")), "the user's own");
    setenv("PATH", oldPath.c_str(), 1);
    setenv("HOME", oldHome.c_str(), 1);
}
