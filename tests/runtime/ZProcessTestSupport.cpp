#include "ZProcessTestSupport.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

extern char** environ;

namespace {

long long nowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

ZChildProcesses::ZChildProcesses() {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    _signalFd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

ZChildProcesses::~ZChildProcesses() {
    if (_fd >= 0) close(_fd);
    // Whatever still runs is ended: a test never leaves a process behind.
    for (pid_t pid : runs())
        if (!_reaped.count(pid)) kill(pid, SIGKILL);
    if (_first > 0 && !_reaped.count(_first)) kill(_first, SIGKILL);
    reapAll(5000);
    if (_signalFd >= 0) close(_signalFd);
}

std::string ZChildProcesses::standInPath() { return std::string(ZAN_TEST_PROGRAMS) + "/zanstandin"; }

// Another user may not be able to reach the build tree at all (a checkout
// inside a folder only its owner may enter): that user runs a copy in a
// folder of our own that anybody may enter and read. The program links
// nothing from the build tree, so the copy runs alone.
std::string ZChildProcesses::reachableStandIn() {
    if (!_copyDir) {
        _copyDir = std::make_unique<ZTempDir>();
        std::filesystem::copy_file(standInPath(), _copyDir->file("zanstandin"));
        chmod(_copyDir->path().c_str(), 0755);
        chmod(_copyDir->file("zanstandin").c_str(), 0755);
    }
    return _copyDir->file("zanstandin");
}

pid_t ZChildProcesses::start(const std::string& folder, const std::vector<std::string>& args,
                             const std::string& display, int asUser) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
    posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "DISPLAY=", 8) != 0) env.push_back(*e);
    if (!display.empty()) env.push_back("DISPLAY=" + display);
    // The sanitizers' leak check would add its own report to a crash exit.
    env.push_back("ASAN_OPTIONS=detect_leaks=0");
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> all{asUser < 0 ? standInPath() : reachableStandIn()};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    int result = 0;
    if (asUser < 0) {
        result = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    } else {
        // posix_spawn cannot change the user: fork, and only system calls
        // in the child.
        pid = fork();
        if (pid == 0) {
            if (dup2(fds[1], 1) < 0 || dup2(fds[1], 2) < 0 || chdir(folder.c_str()) != 0 ||
                setgroups(0, nullptr) != 0 || setgid(static_cast<gid_t>(asUser)) != 0 ||
                setuid(static_cast<uid_t>(asUser)) != 0)
                _exit(127);
            execve(argv[0], argv.data(), envp.data());
            _exit(127);
        }
        if (pid < 0) result = errno;
    }
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (result != 0) {
        close(fds[0]);
        throw std::runtime_error("posix_spawn");
    }
    _fd = fds[0];
    _first = pid;
    return pid;
}

bool ZChildProcesses::readUntil(const std::string& text, int limitMs) {
    const long long end = nowMs() + limitMs;
    while (_output.find(text) == std::string::npos) {
        const long long left = end - nowMs();
        if (left <= 0 || _fd < 0) return false;
        pollfd p{_fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
        char buffer[4096];
        const ssize_t n = read(_fd, buffer, sizeof buffer);
        if (n <= 0) {
            close(_fd);
            _fd = -1;
            return _output.find(text) != std::string::npos;
        }
        _output.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
}

bool ZChildProcesses::finish(int limitMs) {
    const long long end = nowMs() + limitMs;
    // An impossible text: read to the end of the output.
    readUntil(std::string("\x01\x02", 2), limitMs);
    if (_fd >= 0) return false;
    return reapAll(static_cast<int>(std::max<long long>(end - nowMs(), 1000)));
}

bool ZChildProcesses::reapAll(int limitMs) {
    const long long end = nowMs() + limitMs;
    // The first child, then each program it started, in the order they
    // printed themselves: each one's parent has ended before it, so it is
    // ours by then.
    std::vector<pid_t> want;
    if (_first > 0) want.push_back(_first);
    for (pid_t pid : runs())
        if (pid != _first) want.push_back(pid);
    for (pid_t pid : want) {
        while (!_reaped.count(pid)) {
            int status = 0;
            const pid_t got = waitpid(pid, &status, WNOHANG);
            if (got == pid || (got < 0 && errno == ECHILD)) {
                _reaped.insert(pid);
                if (got == pid && pid == _first) _status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                break;
            }
            const long long left = end - nowMs();
            if (left <= 0 || _signalFd < 0) return false;
            pollfd p{_signalFd, POLLIN, 0};
            poll(&p, 1, static_cast<int>(std::min<long long>(left, 100)));
            signalfd_siginfo info;
            while (read(_signalFd, &info, sizeof info) == sizeof info) {
            }
        }
    }
    return true;
}

std::vector<pid_t> ZChildProcesses::runs() const {
    std::vector<pid_t> pids;
    const std::string mark = "stand-in pid ";
    for (std::size_t at = _output.find(mark); at != std::string::npos; at = _output.find(mark, at + 1))
        pids.push_back(static_cast<pid_t>(std::atoi(_output.c_str() + at + mark.size())));
    return pids;
}

std::vector<std::string> ZArchivedLogs(const std::string& folder, const std::string& suffix) {
    std::vector<std::string> found;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("zandrel_", 0) == 0 && name.size() > suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            found.push_back(entry.path().string());
    }
    std::sort(found.begin(), found.end());
    return found;
}
