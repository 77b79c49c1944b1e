// The boxes and the crash dialog on a real X server (the test tree's Xvfb),
// answered the way a user would: pointer and keys through XTest.
#include <gtest/gtest.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <poll.h>
#include <signal.h>

#include <cstdlib>
#include <string>

#include "ZProcessTestSupport.h"
#include "ZTestSupport.h"

namespace {

long long nowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A connection to the test display that finds windows by name and works
// them with XTest.
class ZUser {
public:
    ZUser() {
        // Windows come and go while the tree is searched; a window gone
        // between two requests is no reason to end the test program.
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
        const char* name = std::getenv("DISPLAY");
        display = name ? std::string(name) : std::string();
        _d = display.empty() ? nullptr : XOpenDisplay(display.c_str());
    }
    ~ZUser() {
        if (_d) XCloseDisplay(_d);
    }
    bool ready() const { return _d != nullptr; }

    // Waits for a viewable top-level window with the title; 0 after the limit.
    Window waitForWindow(const std::string& title, int limitMs = 20000) {
        XSelectInput(_d, DefaultRootWindow(_d), SubstructureNotifyMask);
        const long long end = nowMs() + limitMs;
        for (;;) {
            if (Window w = find(DefaultRootWindow(_d), title, true)) return w;
            const long long left = end - nowMs();
            if (left <= 0) return 0;
            pollfd p{ConnectionNumber(_d), POLLIN, 0};
            poll(&p, 1, static_cast<int>(std::min<long long>(left, 100)));
            while (XPending(_d)) {
                XEvent e;
                XNextEvent(_d, &e);
            }
        }
    }

    // Waits until the keyboard focus is in the window or below it (a window
    // manager gives it when it gets to it) and has stayed there for a moment:
    // a busy manager can move it once more after first handing it over, and
    // input sent in between goes elsewhere.
    bool waitForFocusIn(Window top, int limitMs = 5000) {
        const long long end = nowMs() + limitMs;
        long long since = -1;
        for (;;) {
            if (focusIsIn(top)) {
                if (since < 0) since = nowMs();
                if (nowMs() - since >= 300) return true;
            } else {
                since = -1;
            }
            if (nowMs() >= end) return false;
            poll(nullptr, 0, 20);
        }
    }

    bool focusIsIn(Window top) {
        Window focus = 0;
        int revert = 0;
        XGetInputFocus(_d, &focus, &revert);
        for (Window w = focus; w && w != PointerRoot;) {
            if (w == top) return true;
            Window root = 0, parent = 0, *children = nullptr;
            unsigned int n = 0;
            if (!XQueryTree(_d, w, &root, &parent, &children, &n)) break;
            if (children) XFree(children);
            if (parent == root) break;
            w = parent;
        }
        return false;
    }

    // Clicks the middle of the child window named label.
    bool click(Window parent, const std::string& label) {
        const Window child = find(parent, label, false);
        if (!child) return false;
        XWindowAttributes a;
        XGetWindowAttributes(_d, child, &a);
        int x, y;
        Window ignored;
        XTranslateCoordinates(_d, child, DefaultRootWindow(_d), a.width / 2, a.height / 2, &x, &y, &ignored);
        XTestFakeMotionEvent(_d, -1, x, y, CurrentTime);
        XTestFakeButtonEvent(_d, 1, True, CurrentTime);
        XTestFakeButtonEvent(_d, 1, False, CurrentTime);
        XSync(_d, False);
        settlePointer();
        return true;
    }

    // A window manager that focuses on click holds the press in a grab of
    // its own and hands it on later, while keys sent meanwhile go straight
    // to the focused box: input sent after a click waits until the pointer
    // is free again, which it is once the press has been handed on.
    void settlePointer() {
        const long long end = nowMs() + 2000;
        while (XGrabPointer(_d, DefaultRootWindow(_d), False, 0, GrabModeAsync, GrabModeAsync, None, None,
                            CurrentTime) != GrabSuccess &&
               nowMs() < end)
            poll(nullptr, 0, 10);
        XUngrabPointer(_d, CurrentTime);
        XSync(_d, False);
    }

    void type(const std::string& text) {
        for (char c : text) {
            const KeySym sym = c == ' ' ? XK_space : static_cast<KeySym>(c);
            const KeyCode code = XKeysymToKeycode(_d, sym);
            XTestFakeKeyEvent(_d, code, True, CurrentTime);
            XTestFakeKeyEvent(_d, code, False, CurrentTime);
        }
        XSync(_d, False);
    }

    // What a window manager reads off a box: its class, whether its size is
    // fixed, and whether it calls itself a dialog.
    struct Description {
        std::string className;
        bool fixedSize = false;
        bool dialogType = false;
    };
    Description describe(Window w) {
        Description out;
        XClassHint hint{};
        if (XGetClassHint(_d, w, &hint)) {
            if (hint.res_class) out.className = hint.res_class;
            XFree(hint.res_name);
            XFree(hint.res_class);
        }
        XSizeHints size{};
        long supplied = 0;
        XWindowAttributes a;
        if (XGetWMNormalHints(_d, w, &size, &supplied) && XGetWindowAttributes(_d, w, &a))
            out.fixedSize = (size.flags & PMinSize) && (size.flags & PMaxSize) && size.min_width == a.width &&
                            size.max_width == a.width && size.min_height == a.height && size.max_height == a.height;
        Atom type = 0;
        int format = 0;
        unsigned long count = 0, after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(_d, w, XInternAtom(_d, "_NET_WM_WINDOW_TYPE", False), 0, 1, False, XA_ATOM, &type,
                               &format, &count, &after, &data) == Success && data) {
            if (count == 1 && format == 32)
                out.dialogType = *reinterpret_cast<Atom*>(data) == XInternAtom(_d, "_NET_WM_WINDOW_TYPE_DIALOG", False);
            XFree(data);
        }
        return out;
    }

    void press(KeySym sym, int times = 1) {
        const KeyCode code = XKeysymToKeycode(_d, sym);
        for (int i = 0; i < times; ++i) {
            XTestFakeKeyEvent(_d, code, True, CurrentTime);
            XTestFakeKeyEvent(_d, code, False, CurrentTime);
        }
        XSync(_d, False);
    }

    std::string display;

private:
    // Searches below parent, breadth first: a window manager puts each
    // top-level window into a frame of its own, so a box is a grandchild of
    // the root there and a child of it on a bare server.
    Window find(Window parent, const std::string& name, bool viewable, int depth = 3) {
        Window root, up, *children = nullptr;
        unsigned int count = 0;
        Window found = 0;
        if (!XQueryTree(_d, parent, &root, &up, &children, &count)) return 0;
        for (unsigned int i = 0; i < count && !found; ++i) {
            char* title = nullptr;
            if (XFetchName(_d, children[i], &title) && title) {
                if (name == title) {
                    XWindowAttributes a;
                    if (!viewable || (XGetWindowAttributes(_d, children[i], &a) && a.map_state == IsViewable))
                        found = children[i];
                }
                XFree(title);
            }
        }
        for (unsigned int i = 0; i < count && !found && depth > 1; ++i)
            found = find(children[i], name, viewable, depth - 1);
        if (children) XFree(children);
        return found;
    }

    Display* _d = nullptr;
};

}  // namespace

TEST(SecondInstance, CancelAtTheBoxEndsTheNewProcessAndLeavesTheFirstLogAlone) {
    ZUser user;
    ASSERT_TRUE(user.ready()) << "needs the test X server (DISPLAY); run through ctest";
    ZTempDir dir;
    ZChildProcesses first;
    const pid_t firstPid = first.start(dir.path(), {"-standin", "wait"});
    ASSERT_TRUE(first.readUntil("stand-in ready"));
    const std::string before = ZTestReadFile(dir.file("zandrel.log"));

    ZChildProcesses second;
    second.start(dir.path(), {"-standin", "wait"}, user.display);
    const Window box = user.waitForWindow("Zandrel Already Running");
    ASSERT_NE(box, 0u) << second.output();
    ASSERT_TRUE(user.click(box, "Cancel"));
    ASSERT_TRUE(second.finish());
    EXPECT_EQ(second.status(), 0);
    EXPECT_EQ(second.output().find("stand-in body runs"), std::string::npos);
    EXPECT_EQ(ZTestReadFile(dir.file("zandrel.log")), before);

    kill(firstPid, SIGTERM);
    ASSERT_TRUE(first.finish());
    EXPECT_EQ(first.status(), 0);
}

TEST(SecondInstance, TryAgainAfterTheFirstEndedTakesTheLogOver) {
    ZUser user;
    ASSERT_TRUE(user.ready()) << "needs the test X server (DISPLAY); run through ctest";
    ZTempDir dir;
    ZChildProcesses first;
    const pid_t firstPid = first.start(dir.path(), {"-standin", "wait"});
    ASSERT_TRUE(first.readUntil("stand-in ready"));
    ZChildProcesses second;
    second.start(dir.path(), {}, user.display);
    const Window box = user.waitForWindow("Zandrel Already Running");
    ASSERT_NE(box, 0u);
    kill(firstPid, SIGTERM);
    ASSERT_TRUE(first.finish());
    ASSERT_TRUE(user.click(box, "Try Again"));
    ASSERT_TRUE(second.finish());
    EXPECT_EQ(second.status(), 0);
    EXPECT_NE(second.output().find("stand-in body runs"), std::string::npos);
}

TEST(SecondInstance, ContinueRunsTheNewOneWithoutALogFile) {
    ZUser user;
    ASSERT_TRUE(user.ready()) << "needs the test X server (DISPLAY); run through ctest";
    ZTempDir dir;
    ZChildProcesses first;
    const pid_t firstPid = first.start(dir.path(), {"-standin", "wait"});
    ASSERT_TRUE(first.readUntil("stand-in ready"));
    const std::string before = ZTestReadFile(dir.file("zandrel.log"));
    ZChildProcesses second;
    second.start(dir.path(), {}, user.display);
    const Window box = user.waitForWindow("Zandrel Already Running");
    ASSERT_NE(box, 0u);
    ASSERT_TRUE(user.click(box, "Continue"));
    ASSERT_TRUE(second.finish());
    EXPECT_EQ(second.status(), 0);
    // Its lines were only echoed.
    EXPECT_NE(second.output().find("stand-in body runs"), std::string::npos);
    EXPECT_EQ(ZTestReadFile(dir.file("zandrel.log")), before);
    kill(firstPid, SIGTERM);
    ASSERT_TRUE(first.finish());
    EXPECT_EQ(ZArchivedLogs(dir.path(), ".log").size(), 1u);
}

TEST(AutoRestartFailed, ARestartThatCannotRunIsShownInABox) {
    ZUser user;
    ASSERT_TRUE(user.ready()) << "needs the test X server (DISPLAY); run through ctest";
    ZTempDir dir;
    ZChildProcesses children;
    children.start(dir.path(), {"-norestart", "-standin", "restart"}, user.display);
    const Window box = user.waitForWindow("Auto-Restart Failed");
    ASSERT_NE(box, 0u) << children.output();
    const ZUser::Description seen = user.describe(box);
    EXPECT_EQ(seen.className, "Zandrel");
    EXPECT_TRUE(seen.fixedSize);
    EXPECT_TRUE(seen.dialogType);
    ASSERT_TRUE(user.click(box, "OK"));
    ASSERT_TRUE(children.finish());
    EXPECT_EQ(children.status(), 1);
    EXPECT_EQ(children.runs().size(), 1u);
}

TEST(CrashDialog, ACommentAndAnUntickedRestartAreLoggedAndDecline) {
    ZUser user;
    ASSERT_TRUE(user.ready()) << "needs the test X server (DISPLAY); run through ctest";
    ZTempDir dir;
    ZChildProcesses children;
    const pid_t pid = children.start(dir.path(), {"-standin", "wait"}, user.display);
    ASSERT_TRUE(children.readUntil("stand-in ready"));
    kill(pid, SIGSEGV);
    const Window dialog = user.waitForWindow("Zandrel Issue Capture Tool");
    ASSERT_NE(dialog, 0u) << children.output();
    ASSERT_TRUE(user.click(dialog, "Comment"));
    ASSERT_TRUE(user.waitForFocusIn(dialog));
    ASSERT_TRUE(user.click(dialog, "Comment"));
    user.type("it broke");
    ASSERT_TRUE(user.click(dialog, "Restart Zandrel automatically"));
    ASSERT_TRUE(user.click(dialog, "OK"));
    ASSERT_TRUE(children.finish());
    EXPECT_EQ(children.status(), 255);
    const auto logs = ZArchivedLogs(dir.path(), "_dirty.log");
    ASSERT_EQ(logs.size(), 1u);
    const std::string log = ZTestReadFile(logs[0]);
    EXPECT_NE(log.find("] -------- User Comment -------\n"), std::string::npos) << log;
    EXPECT_NE(log.find("it broke"), std::string::npos);
    EXPECT_NE(log.find("] ------------------------------\n"), std::string::npos);
    EXPECT_NE(log.find(": -- Auto-restart declined. --\n"), std::string::npos);
    EXPECT_EQ(children.runs().size(), 1u);
}

TEST(CrashDialog, TheCommentIsEditedAtItsCaretAndTheQuestionsWrapWhole) {
    ZUser user;
    ASSERT_TRUE(user.ready()) << "needs the test X server (DISPLAY); run through ctest";
    ZTempDir dir;
    ZChildProcesses children;
    const pid_t pid = children.start(dir.path(), {"-standin", "wait", "-norestart"}, user.display);
    ASSERT_TRUE(children.readUntil("stand-in ready"));
    kill(pid, SIGSEGV);
    const Window dialog = user.waitForWindow("Zandrel Issue Capture Tool");
    ASSERT_NE(dialog, 0u) << children.output();
    // Into the field, then down to its empty last line, below the questions.
    // A window manager hands the focus over after the first click, maybe
    // while the first keys are on their way: the second click lands on a
    // focused box, in order with the keys after it.
    ASSERT_TRUE(user.click(dialog, "Comment"));
    ASSERT_TRUE(user.waitForFocusIn(dialog));
    ASSERT_TRUE(user.click(dialog, "Comment"));
    user.press(XK_Down, 20);
    user.press(XK_End);
    user.type("it brake");
    user.press(XK_Left, 2);
    user.press(XK_BackSpace);
    user.type("o");
    user.press(XK_Home);
    user.type("so ");
    // Up into the wrapped third question and back: nothing of it changes.
    user.press(XK_Up, 2);
    user.press(XK_Down, 2);
    user.press(XK_End);
    user.type(".");
    ASSERT_TRUE(user.click(dialog, "OK"));
    ASSERT_TRUE(children.finish());
    const auto logs = ZArchivedLogs(dir.path(), "_dirty.log");
    ASSERT_EQ(logs.size(), 1u);
    const std::string log = ZTestReadFile(logs[0]);
    EXPECT_NE(log.find("what do you most want changed?\r\nso it broke.\n"), std::string::npos) << log;
}

TEST(CrashDialog, CancelLogsNoCommentAndDeclinesTheRestart) {
    ZUser user;
    ASSERT_TRUE(user.ready()) << "needs the test X server (DISPLAY); run through ctest";
    ZTempDir dir;
    ZChildProcesses children;
    const pid_t pid = children.start(dir.path(), {"-standin", "wait"}, user.display);
    ASSERT_TRUE(children.readUntil("stand-in ready"));
    kill(pid, SIGSEGV);
    const Window dialog = user.waitForWindow("Zandrel Issue Capture Tool");
    ASSERT_NE(dialog, 0u);
    ASSERT_TRUE(user.click(dialog, "Comment"));
    user.type("never sent");
    ASSERT_TRUE(user.click(dialog, "Cancel"));
    ASSERT_TRUE(children.finish());
    const auto logs = ZArchivedLogs(dir.path(), "_dirty.log");
    ASSERT_EQ(logs.size(), 1u);
    const std::string log = ZTestReadFile(logs[0]);
    EXPECT_NE(log.find("] -- No User Comment Supplied --\n"), std::string::npos) << log;
    EXPECT_EQ(log.find("never sent"), std::string::npos);
    EXPECT_NE(log.find(": -- Auto-restart declined. --\n"), std::string::npos);
    EXPECT_EQ(children.runs().size(), 1u);
}
