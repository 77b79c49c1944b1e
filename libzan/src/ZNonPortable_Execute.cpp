// The executable's own path and starting programs or documents without a
// shell. Children are not waited for; those that ended are reaped at the
// next start, so none stays a zombie for long.
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <mutex>
#include <vector>

#include "ZNonPortable_Runtime.h"
#include "ZPortable.h"
#include "ZUtil.h"

extern char** environ;

namespace {

std::mutex g_childrenMutex;
std::vector<pid_t> g_children;

void reapEndedChildren() {
    std::lock_guard<std::mutex> guard(g_childrenMutex);
    std::vector<pid_t> running;
    for (pid_t pid : g_children) {
        int status;
        if (waitpid(pid, &status, WNOHANG) == 0) running.push_back(pid);
    }
    g_children.swap(running);
}

// The shell's error texts, keyed by its result codes.
const char* errorText(int code) {
    switch (code) {
        case 0: return "The operating system is out of memory or resources.";
        case 2: return "The specified file was not found.";
        case 3: return "The specified path was not found.";
        case 5: return "The operating system denied access to the specified file.";
        case 8: return "There was not enough memory to complete the operation.";
        case 11: return "The .exe file is invalid (non-Microsoft Win32 .exe or error in .exe image).";
        case 31:
            return "There is no application associated with the given file name extension. This error will also be "
                   "returned if you attempt to print a file that is not printable.";
        default: return "An unknown error occured.";
    }
}

int codeForErrno(int error) {
    switch (error) {
        case ENOENT: return 2;
        case ENOTDIR: return 3;
        case EACCES:
        case EPERM: return 5;
        case ENOMEM: return 8;
        case ENOEXEC: return 11;
        default: return -1;
    }
}

bool endsWith(const std::string& s, const char* suffix) {
    const std::string tail(suffix);
    if (s.size() < tail.size()) return false;
    for (std::size_t i = 0; i < tail.size(); ++i) {
        char c = s[s.size() - tail.size() + i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != tail[i]) return false;
    }
    return true;
}

// "scheme://...": a letter, then letters, digits, '+', '-' or '.'.
bool isWebAddress(const std::string& file) {
    const std::size_t colon = file.find("://");
    if (colon == std::string::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(file[0]))) return false;
    for (std::size_t i = 0; i < colon; ++i) {
        const unsigned char c = static_cast<unsigned char>(file[i]);
        if (!std::isalnum(c) && c != '+' && c != '-' && c != '.') return false;
    }
    return true;
}

int spawn(const std::vector<std::string>& args, bool searchPath) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid;
    const int result = searchPath ? posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ)
                                  : posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ);
    if (result != 0) return result;
    std::lock_guard<std::mutex> guard(g_childrenMutex);
    g_children.push_back(pid);
    return 0;
}

}  // namespace

std::wstring ZSystemGetExecutablePath() {
    std::string path(256, '\0');
    for (;;) {
        const ssize_t n = readlink("/proc/self/exe", path.data(), path.size());
        if (n < 0) return std::wstring();
        if (static_cast<std::size_t>(n) < path.size()) {
            path.resize(static_cast<std::size_t>(n));
            return ZFromUTF8(path);
        }
        path.resize(path.size() * 2);
    }
}

bool ZSystemExecute(const std::string& file, const std::string& parameters, std::string& error) {
    if (file.empty()) return false;
    reapEndedChildren();
    error.clear();
    // Web addresses (the change log) go to the desktop's handler as they are.
    if (isWebAddress(file)) {
        const int result = spawn({"xdg-open", file}, true);
        if (result == 0) return true;
        error = errorText(result == ENOENT ? 31 : codeForErrno(result));
        return false;
    }
    // A name without a folder is looked for in the working folder first.
    const std::string path = file.find('/') == std::string::npos ? "./" + file : file;
    struct stat info;
    int code = -1;
    if (stat(path.c_str(), &info) != 0) {
        code = codeForErrno(errno);
        if (code == -1) code = 2;
    } else if (S_ISDIR(info.st_mode) || access(path.c_str(), X_OK) != 0) {
        // Programs carry the execute bit; ".exe" names are always programs.
        if (endsWith(file, ".exe")) {
            code = 5;
        } else {
            const int result = spawn({"xdg-open", path}, true);
            code = result == 0 ? 0 : (result == ENOENT ? 31 : codeForErrno(result));
            if (code == 0) return true;
        }
    } else {
        std::vector<std::string> args{path};
        std::size_t at = 0;
        while (at < parameters.size()) {
            const std::size_t end = parameters.find(' ', at);
            const std::string token =
                parameters.substr(at, end == std::string::npos ? std::string::npos : end - at);
            at = end == std::string::npos ? parameters.size() : end + 1;
            if (!token.empty()) args.push_back(token);
        }
        const int result = spawn(args, false);
        if (result == 0) return true;
        code = codeForErrno(result);
    }
    error = errorText(code);
    return false;
}
