#include "ZTestProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>

#include "ZTestTLS.h"

namespace zantest {

bool readable(int fd, int timeoutMs) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1;
}

bool reap(pid_t pid, int timeoutMs) { return reapExitCode(pid, timeoutMs) != -1; }

int reapExitCode(pid_t pid, int timeoutMs) {
    const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        readable(pidfd, timeoutMs);
        ::close(pidfd);
    }
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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

namespace zantest {

pid_t startServerAt(const std::string& program, int base, const std::string& dataFolder,
                    const std::string& logPath, const std::vector<std::string>& extraArgs, std::string* readyLine) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return -1;
    const int err = open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    // A start that fails (its port base taken) leaves nothing in the log the
    // test reads later: what it wrote is cut off again below.
    struct stat before {};
    const off_t kept = (err >= 0 && fstat(err, &before) == 0) ? before.st_size : -1;
    std::vector<std::string> args = {"--bind",           "127.0.0.1",
                                     "--port-base",      std::to_string(base),
                                     "--data",           dataFolder,
                                     "--relay-port-low", std::to_string(base + 10),
                                     "--relay-port-count", "10",
                                     "--pbkdf2-iterations", "20000"};
    // Every peer of the tests stands on loopback, where the relay sends
    // nothing by default.
    args.insert(args.end(), {"--relay-private-targets", "1"});
    args.insert(args.end(), extraArgs.begin(), extraArgs.end());
    // The authentication, log and upgrade hosts speak TLS with the build
    // tree's test certificate unless the test says otherwise; the programs
    // the test starts next trust its CA.
    const bool ownTLS = std::find(extraArgs.begin(), extraArgs.end(), "--insecure-plain-http") != extraArgs.end() ||
                        std::find(extraArgs.begin(), extraArgs.end(), "--tls-cert") != extraArgs.end();
    if (!ownTLS) {
        const TLSFiles& files = testCertificate();
        args.insert(args.end(), {"--tls-cert", files.cert, "--tls-key", files.key});
        setenv("ZAN_TEST_CA_FILE", files.ca.c_str(), 1);
    }
    pid_t pid = spawn(program, args, std::string(), -1, out[1], err);
    ::close(out[1]);
    if (err >= 0) ::close(err);
    std::string line;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (line.find('\n') == std::string::npos && std::chrono::steady_clock::now() < end) {
        if (!readable(out[0], 200)) continue;
        char buffer[512];
        const ssize_t n = read(out[0], buffer, sizeof(buffer));
        if (n <= 0) break;
        line.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(out[0]);
    if (line.find("ready") == std::string::npos) {
        finish(pid, SIGKILL);
        if (kept >= 0) (void)!truncate(logPath.c_str(), kept);
        return -1;
    }
    if (readyLine) *readyLine = line.substr(0, line.find('\n'));
    if (!ownTLS)
        for (int offset : {0, 8, 9}) tlsPorts().insert(base + offset);
    return pid;
}

}  // namespace zantest
