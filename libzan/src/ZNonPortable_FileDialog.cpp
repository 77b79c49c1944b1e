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

#include <cerrno>
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

// Starts a program with its standard output on a pipe whose reading end
// comes back in output (standard error goes nowhere); the spawn's error
// number, 0 on success.
int spawnReading(const std::string& program, const std::vector<std::string>& args, pid_t& pid, int& output) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return errno;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[1]);
    if (spawned != 0) {
        close(pipeFds[0]);
        return spawned;
    }
    output = pipeFds[0];
    return 0;
}

std::wstring runZenity(const std::string& program, const std::vector<std::string>& args) {
    int output = -1;
    pid_t pid = 0;
    const int spawned = spawnReading(program, args, pid, output);
    if (spawned != 0) {
        ZLOG(L"WARNING Cannot start '" << program << L"' (" << std::strerror(spawned) << L"), ignoring.");
        return L"";
    }
    ZChooserRun run;
    run.fd = output;
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

// The first line a short helper program prints, empty when it fails.
std::string firstLineOf(const std::string& program, const std::vector<std::string>& args) {
    int output = -1;
    pid_t pid = 0;
    if (spawnReading(program, args, pid, output) != 0) return "";
    std::string out;
    char buffer[512];
    ssize_t n = 0;
    while ((n = read(output, buffer, sizeof(buffer))) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        if (out.size() < kMaxAnswer) out.append(buffer, static_cast<std::size_t>(n));
    }
    close(output);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || out.size() >= kMaxAnswer) return "";
    const std::size_t end = out.find('\n');
    return end == std::string::npos ? out : out.substr(0, end);
}

bool sameFolder(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// ---- the chooser of our own: a title and a path field --------------------------

struct ZTypedPath {
    _ZPopup* popup = nullptr;
    std::wstring title;
    std::wstring path;
    bool mustExist = false;
    // A save onto an existing file waits for a second Enter.
    bool confirming = false;
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
    const bool wasConfirming = g_typed->confirming;
    g_typed->confirming = false;
    g_typed->popup->lines[0] = g_typed->title;
    if (key == XK_Escape) {
        // Escape at the question goes back to the name, as zenity's "No" does.
        if (wasConfirming) redraw();
        else g_typed->done = true;
    } else if (key == XK_Return || key == XK_KP_Enter) {
        if (g_typed->path.empty() || (g_typed->mustExist && !exists(g_typed->path))) return true;
        if (!g_typed->mustExist && !wasConfirming && exists(g_typed->path)) {
            // Replacing a file is asked first, as zenity's --confirm-overwrite
            // does; the question fits the width the window opened with.
            g_typed->confirming = true;
            g_typed->popup->lines[0] = L"Replace the existing file? Enter: replace, Escape: back";
            redraw();
            return true;
        }
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
    typed.title = title;
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

std::wstring _ZFileDialogDownloadFolder() {
    const char* homeVariable = std::getenv("HOME");
    std::string home = homeVariable ? homeVariable : "";
    while (home.size() > 1 && home.back() == '/') home.pop_back();
    std::vector<std::string> candidates;
    const std::string xdg = findProgram("xdg-user-dir");
    if (!xdg.empty()) {
        const std::string named = firstLineOf(xdg, {"DOWNLOAD"});
        // Without a download folder of its own it names the home folder.
        if (!named.empty() && named[0] == '/' && !sameFolder(named, home)) candidates.push_back(named);
    }
    if (!home.empty() && home[0] == '/') candidates.push_back(home + "/Downloads");
    for (const std::string& folder : candidates) {
        if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) continue;
        struct stat st;
        if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
        // The program's own folder holds its settings and skin: a received
        // file must never be proposed there.
        if (sameFolder(folder, ".")) continue;
        return ZFromUTF8(folder);
    }
    return L"";
}

std::wstring ZSystemOpenFileDialog(const std::wstring& title) {
    ZTRACE();
    const std::string zenity = findProgram("zenity");
    if (!zenity.empty()) return runZenity(zenity, {"--file-selection", "--title=" + ZToUTF8(title)});
    return typePath(title, L"", true);
}

std::wstring ZSystemSaveFileDialog(const std::wstring& title, const std::wstring& proposed) {
    ZTRACE();
    const std::wstring folder = _ZFileDialogDownloadFolder();
    if (folder.empty()) ZLOG(L"WARNING No download folder to propose for '" << title << L"', proposing none.");
    const std::wstring name = folder.empty() ? std::wstring() : folder + L"/" + _ZFileDialogSafeName(proposed);
    const std::string zenity = findProgram("zenity");
    if (!zenity.empty()) {
        std::vector<std::string> args = {"--file-selection", "--save", "--confirm-overwrite", "--title=" + ZToUTF8(title)};
        if (!name.empty()) args.push_back("--filename=" + ZToUTF8(name));
        return runZenity(zenity, args);
    }
    return typePath(title, name, false);
}
