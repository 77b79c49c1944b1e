// The log file: the old log is archived at open, each line is written with
// its stamp, and the closing marker tells a clean run from a crashed one.
//
// Threading: lines come from every thread while the UI thread may close and
// reopen the file, so the file, the echo flag and the base name sit behind
// one mutex. It is a leaf: while it is held only the log hook runs (which
// re-enters it on the same thread) and no other lock of ours is taken.
// The running instance holds an exclusive advisory lock on its open log;
// a second instance finds it held and does not take the file over.
//
// A peer can cause a line per packet, so each call site (the line's
// "<source>(<line>): [<function>]") has a budget of lines a second; what a
// site holds back is counted and told in one line of its own. Lines without
// that prefix (start-up, markers, reports) and errors always pass.
#include <stdio.h>

#include <cstring>
#include <map>
#include <string_view>

#include "ZLogBudget.h"
#include "ZNonPortable_Base.h"
#include "ZNonPortable_File.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"
#include "ZUtil_LogFile.h"

namespace {

const char kCleanMarker[] = "---- Closed, Clean shutdown ----";
const char kDirtyMarker[] = "---- Closed, ERROR Dirty shutdown ----";

std::FILE* g_file = nullptr;
bool g_echo = false;
ZLogEchoFilter g_echoFilter = nullptr;
std::string g_baseName = "zandrel";

// Made once and never freed, so threads still logging during exit find it.
ZMutex logMutex() {
    static ZMutex mutex = ZMutexOpen();
    return mutex;
}

// Holds the log mutex for a scope.
class ZLogGuard {
public:
    ZLogGuard() { ZMutexLock(logMutex()); }
    ~ZLogGuard() { ZMutexUnlock(logMutex()); }
    ZLogGuard(const ZLogGuard&) = delete;
    ZLogGuard& operator=(const ZLogGuard&) = delete;
};

std::string archiveName(bool clean) {
    return g_baseName + "_" + ZToUTF8(ZTimeComposeTimestamp()) + (clean ? "_clean.log" : "_dirty.log");
}

// Whether the log ended with the clean marker and one line end (CR LF or LF).
bool endsClean(std::FILE* fp) {
    const std::size_t markerLength = std::strlen(kCleanMarker);
    const off_t tailLength = static_cast<off_t>(markerLength + 2);
    char tail[sizeof kCleanMarker + 2];
    std::size_t got = 0;
    if (fseeko(fp, 0, SEEK_END) == 0) {
        const off_t size = ftello(fp);
        const off_t from = size > tailLength ? size - tailLength : 0;
        if (size >= 0 && fseeko(fp, from, SEEK_SET) == 0) got = std::fread(tail, 1, sizeof tail, fp);
    }
    std::string end(tail, got);
    if (end.empty() || end.back() != '\n') return false;
    end.pop_back();
    if (!end.empty() && end.back() == '\r') end.pop_back();
    return end.size() >= markerLength && end.compare(end.size() - markerLength, markerLength, kCleanMarker) == 0;
}

void echoAlways(const std::string& text) { ZDebugPrint(ZFromUTF8(text + "\n")); }

std::int64_t (*g_clock)() = nullptr;
// Made once and never freed, as the mutex is: threads log during exit.
std::map<std::wstring, ZLineBudget>& budgets() {
    static auto* map = new std::map<std::wstring, ZLineBudget>;
    return *map;
}

// The call site at the head of a line, or empty for a line without one.
std::wstring_view callSite(const std::wstring& line) {
    const std::wstring_view head = std::wstring_view(line).substr(0, 1024);
    const std::size_t open = head.find(L"): [");
    if (open == std::wstring_view::npos) return {};
    const std::size_t close = head.find(L"] ", open);
    if (close == std::wstring_view::npos) return {};
    if (head.substr(close + 2, 5) == L"ERROR") return {};
    return head.substr(0, close + 1);
}

// Whether the line may be written now; tells first what its site held back.
bool admit(const std::wstring& line) {
    const std::wstring_view site = callSite(line);
    if (site.empty()) return true;
    long long suppressed = 0;
    const bool ok = budgets()[std::wstring(site)].allow(g_clock ? g_clock() : ZTimeNow(), suppressed);
    if (suppressed) {
        std::wstring report = L"WARNING ";
        report << suppressed << L" further lines of '" << std::wstring(site) << L"' were suppressed.\n";
        ZLogWrite(report);
    }
    return ok;
}

}  // namespace

bool ZLogOpen(const std::wstring& baseName, bool echo) {
    ZLogGuard guard;
    g_echo = echo;
    g_baseName = ZToUTF8(baseName);
    const std::string path = g_baseName + ".log";
    const std::wstring widePath = ZFromUTF8(path);

    bool locked = false;
    if (std::FILE* old = _ZFileOpenExclusiveRead(widePath, locked)) {
        const std::string archive = archiveName(endsClean(old));
        // A log still locked belongs to a running instance: leave it be. Ours
        // is moved while we hold its lock, so no other opener takes it too.
        const bool moved = locked && ZFileMove(widePath, ZFromUTF8(archive));
        std::fclose(old);
        if (!moved) {
            echoAlways("ZLogOpen: ERROR Cannot open rename '" + path + "' to '" + archive +
                       "' and thus can't open logfile, ignoring.");
            return false;
        }
    }

    std::FILE* fp = _ZFileOpenLocked(widePath);
    if (!fp) {
        echoAlways("ZLogOpen: ERROR Cannot open log file '" + path + "', ignoring.");
        return false;
    }
    // A log still open under another base name is let go, not leaked: it
    // stays unarchived and reads as dirty at the next start.
    if (g_file) std::fclose(g_file);
    g_file = fp;
    ZLog(L"--------------- Opening Logfile -------------\n");
    return true;
}

void ZLogClose(std::string& archivedName, bool clean) {
    ZLogGuard guard;
    if (!g_file) {
        archivedName.clear();
        return;
    }
    std::wstring marker = ZFromUTF8(clean ? kCleanMarker : kDirtyMarker);
    marker += L'\n';
    ZLog(marker);
    // Renamed while still open and locked, so no other instance can take the
    // file between the close and the rename.
    archivedName = archiveName(clean);
    ZFileMove(ZFromUTF8(g_baseName + ".log"), ZFromUTF8(archivedName));
    std::fclose(g_file);
    g_file = nullptr;
}

void _ZLogSetClock(std::int64_t (*clock)()) {
    ZLogGuard guard;
    g_clock = clock;
    budgets().clear();
}

void ZLogWrite(const std::wstring& line) {
    ZLogGuard guard;
    if (!admit(line)) return;
    if (g_file) {
        const std::string utf8 = ZToUTF8(ZTimeComposeTimestamp() + L": " + line);
        std::fwrite(utf8.data(), 1, utf8.size(), g_file);
        std::fflush(g_file);
    }
    if (g_echo && (!g_echoFilter || g_echoFilter(line))) ZDebugPrint(line);
}

bool ZLogIsArchivedName(const std::wstring& name) {
    std::string base;
    {
        ZLogGuard guard;
        base = g_baseName;
    }
    const std::string lower = ZToUTF8(ZToLower(name));
    const std::string stamp = "000000_000000";
    const std::size_t ending = std::strlen("_clean.log");
    if (lower.size() != base.size() + 1 + stamp.size() + ending) return false;
    if (lower.compare(0, base.size(), ZToUTF8(ZToLower(ZFromUTF8(base)))) != 0 || lower[base.size()] != '_')
        return false;
    for (std::size_t i = 0; i < stamp.size(); ++i) {
        const char c = lower[base.size() + 1 + i];
        if (stamp[i] == '_' ? c != '_' : (c < '0' || c > '9')) return false;
    }
    const std::string tail = lower.substr(lower.size() - ending);
    return tail == "_clean.log" || tail == "_dirty.log";
}

void ZLogSetEchoFilter(ZLogEchoFilter filter) {
    ZLogGuard guard;
    g_echoFilter = filter;
}
