#include "ZTestProcess.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace zantest {

bool readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1;
}

bool reap(pid_t pid, int timeoutMs) {
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        readable(pidfd, timeoutMs);
        ::close(pidfd);
    }
    int status = 0;
    return waitpid(pid, &status, WNOHANG) == pid;
}

void finish(pid_t& pid, int signal) {
    if (pid <= 0) return;
    ::kill(pid, SIGCONT);
    ::kill(pid, signal);
    if (!reap(pid, 15000)) {
        ::kill(pid, SIGKILL);
        reap(pid, 15000);
    }
    pid = -1;
}

pid_t spawn(const std::string& program, const std::vector<std::string>& args, const std::string& folder, int in,
            int out, int err) {
    std::vector<std::string> copy = args;
    std::string path = program;
    std::vector<char*> argv{path.data()};
    for (std::string& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        if (in >= 0) dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (!folder.empty() && chdir(folder.c_str()) != 0) _exit(126);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

}  // namespace zantest
