// File choosers: zenity when it is installed, otherwise a small window of
// our own in which the path is typed. Either way the UI loop goes on.
#include "ZNonPortable_FileDialog.h"

#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "ZNonPortable_Loop.h"
#include "ZNonPortable_Nested.h"
#include "ZNonPortable_Popup.h"
#include "ZNonPortable_X11.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"

extern char** environ;

namespace {

// A path is short; more output than this is not an answer of the chooser.
constexpr std::size_t kMaxAnswer = 16384;
constexpr std::size_t kMaxPath = 260;

std::string findProgram(const char* name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "";
    std::size_t start = 0;
    while (start <= dirs.size()) {
        std::size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string candidate = dirs.substr(start, end - start) + "/" + name;
        if (end > start && access(candidate.c_str(), X_OK) == 0) return candidate;
        start = end + 1;
    }
    return "";
}

// The chooser's output as it arrives over the pipe.
struct ZChooserRun {
    int fd = -1;
    std::string answer;
    bool done = false;
};

void onReadable(void* context) {
    ZChooserRun* run = static_cast<ZChooserRun*>(context);
    char buffer[1024];
    const ssize_t n = read(run->fd, buffer, sizeof(buffer));
    if (n > 0 && run->answer.size() < kMaxAnswer) run->answer.append(buffer, static_cast<std::size_t>(n));
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
        run->done = true;
        _ZNestedEnd();
    }
}

std::wstring runZenity(const std::string& program, const std::vector<std::string>& args) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return L"";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
        close(pipeFds[0]);
        ZLOG(L"WARNING Cannot start '" << program << L"' (" << std::strerror(spawned) << L"), ignoring.");
        return L"";
    }
    ZChooserRun run;
    run.fd = pipeFds[0];
    bool clean = true;
    if (_ZLoopIsOpen()) {
        _ZLoopAddSource(run.fd, onReadable, &run);
        clean = _ZNestedRun(&run.done);
        _ZLoopRemoveSource(run.fd);
    }
    if (!clean) kill(pid, SIGTERM);  // the program is quitting: no answer
    while (!run.done) onReadable(&run);
    close(run.fd);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!clean || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || run.answer.size() >= kMaxAnswer) return L"";
    while (!run.answer.empty() && (run.answer.back() == '\n' || run.answer.back() == '\r')) run.answer.pop_back();
    if (run.answer.find('\n') != std::string::npos) return L"";  // one file was asked for
    return ZFromUTF8(run.answer);
}

// ---- the chooser of our own: a title and a path field --------------------------

struct ZTypedPath {
    _ZPopup* popup = nullptr;
    std::wstring path;
    bool mustExist = false;
    bool done = false;
    bool accepted = false;
};
ZTypedPath* g_typed = nullptr;

void redraw() {
    g_typed->popup->lines[1] = g_typed->path + L"_";
    _ZPopupDraw(g_typed->popup);
}

bool exists(const std::wstring& path) {
    struct stat st;
    return stat(ZToUTF8(path).c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool typedFilter(XEvent& e) {
    if (!g_typed || g_typed->done) return false;
    if (e.type == Expose && e.xexpose.window == g_typed->popup->window) {
        redraw();
        return true;
    }
    if (e.type != KeyPress) return e.type == KeyRelease;
    char text[32] = {};
    KeySym key = 0;
    const int count = XLookupString(&e.xkey, text, sizeof(text) - 1, &key, nullptr);
    if (key == XK_Escape) {
        g_typed->done = true;
    } else if (key == XK_Return || key == XK_KP_Enter) {
        if (g_typed->path.empty() || (g_typed->mustExist && !exists(g_typed->path))) return true;
        g_typed->done = g_typed->accepted = true;
    } else if (key == XK_BackSpace) {
        if (!g_typed->path.empty()) g_typed->path.pop_back();
        redraw();
    } else {
        for (int i = 0; i < count; ++i) {
            const unsigned char c = static_cast<unsigned char>(text[i]);
            if (c >= 0x20 && c != 0x7F && g_typed->path.size() < 4096) g_typed->path += static_cast<wchar_t>(c);
        }
        redraw();
    }
    if (g_typed->done) _ZNestedEnd();
    return true;
}

std::wstring typePath(const std::wstring& title, const std::wstring& initial, bool mustExist) {
    Display* d = _ZX11Display();
    if (!d || g_typed) return L"";
    ZTypedPath typed;
    typed.path = initial;
    typed.mustExist = mustExist;
    const int screenWidth = DisplayWidth(d, DefaultScreen(d));
    typed.popup = _ZPopupOpen({title, std::wstring(60, L' ')}, screenWidth / 2 - 200, 200, false);
    if (!typed.popup) return L"";
    g_typed = &typed;
    const int filterId = _ZX11AddFilter(typedFilter);
    XSync(d, False);
    if (XGrabKeyboard(d, typed.popup->window, True, GrabModeAsync, GrabModeAsync, CurrentTime) != GrabSuccess)
        typed.done = true;
    redraw();
    _ZNestedRun(&typed.done);
    XUngrabKeyboard(d, CurrentTime);
    _ZX11RemoveFilter(filterId);
    _ZPopupClose(typed.popup);
    g_typed = nullptr;
    return typed.accepted ? typed.path : L"";
}

}  // namespace

_ZPopup* _ZFileDialogCurrent() { return g_typed ? g_typed->popup : nullptr; }

std::wstring _ZFileDialogSafeName(const std::wstring& proposed) {
    const std::size_t slash = proposed.find_last_of(L"/\\");
    std::wstring name = slash == std::wstring::npos ? proposed : proposed.substr(slash + 1);
    std::wstring clean;
    for (wchar_t c : name)
        if (c >= 0x20 && c != 0x7F) clean += c;
    if (clean == L"." || clean == L"..") clean.clear();
    return clean.substr(0, kMaxPath);
}

std::wstring ZSystemOpenFileDialog(const std::wstring& title) {
    ZTRACE();
    const std::string zenity = findProgram("zenity");
    if (!zenity.empty()) return runZenity(zenity, {"--file-selection", "--title=" + ZToUTF8(title)});
    return typePath(title, L"", true);
}

std::wstring ZSystemSaveFileDialog(const std::wstring& title, const std::wstring& proposed) {
    ZTRACE();
    const std::wstring name = _ZFileDialogSafeName(proposed);
    const std::string zenity = findProgram("zenity");
    if (!zenity.empty())
        return runZenity(zenity, {"--file-selection", "--save", "--confirm-overwrite", "--title=" + ZToUTF8(title),
                                  "--filename=" + ZToUTF8(name)});
    return typePath(title, name, false);
}
