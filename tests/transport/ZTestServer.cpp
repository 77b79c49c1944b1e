#include "ZTestServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "ZNonPortable_Base.h"
#include "ZPortable.h"
#include "ZTestRelay.h"
#include "ZTestSupport.h"
#include "ZTestTLS.h"

extern char** environ;

namespace transporttest {

namespace {

constexpr std::int64_t kStartPatienceUs = 20000000;
constexpr std::int64_t kStopPatienceUs = 15000000;

// The exit code, or -1 when the process did not end within the patience.
int reap(pid_t pid, std::int64_t patienceUs) {
    const std::int64_t deadline = ZTimeNow() + patienceUs;
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(pid, &status, WNOHANG);
        if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        if (done < 0 || ZTimeNow() > deadline) return -1;
        ZThreadSleep(2000);
    }
}

std::string programPath() { return std::string(ZAN_BUILD_DIR) + "/server/zandrel-server"; }

}  // namespace

bool ZTestServer::available() { return access(programPath().c_str(), X_OK) == 0; }

ZTestServer::ZTestServer(const std::string& dataFolder)
    : _data(dataFolder + "/server"), _logPath(dataFolder + "/server.log") {}

ZTestServer::~ZTestServer() { stop(); }

bool ZTestServer::start() {
    // A base in use makes the server exit at once, and the next one is tried;
    // the bases are spread by process so parallel test programs rarely meet.
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int slot = (static_cast<int>(getpid()) * 13 + attempt * 173) % 1000;
        if (_launch(33000 + slot * 20)) return true;
    }
    return false;
}

bool ZTestServer::_launch(int base) {
    const std::string path = programPath();
    const std::vector<std::string> args = {path,
                                           "--bind", "127.0.0.1",
                                           "--port-base", std::to_string(base),
                                           "--data", _data,
                                           "--relay-port-low", std::to_string(base + 10),
                                           "--relay-port-count", "10",
                                           "--flood-limit", "0",
                                           // The echo the relay sends to is on loopback.
                                           "--relay-private-targets", "1",
                                           "--pbkdf2-iterations", "1000",
                                           "--tls-cert", zantest::testCertificate().cert,
                                           "--tls-key", zantest::testCertificate().key};
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return false;
    const int err = open(_logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err, 2);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    close(err);
    if (spawned != 0) {
        close(out[0]);
        return false;
    }

    std::string line;
    const std::int64_t deadline = ZTimeNow() + kStartPatienceUs;
    while (line.find('\n') == std::string::npos && ZTimeNow() < deadline) {
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 200) != 1) continue;
        char buffer[512];
        const ssize_t n = read(out[0], buffer, sizeof(buffer));
        if (n <= 0) break;
        line.append(buffer, static_cast<std::size_t>(n));
    }
    close(out[0]);
    if (line.find("ready") == std::string::npos) {
        kill(pid, SIGKILL);
        reap(pid, kStopPatienceUs);
        return false;
    }
    _pid = pid;
    _base = base;
    return true;
}

void ZTestServer::freeze() {
    if (_pid > 0) kill(_pid, SIGSTOP);
}

void ZTestServer::thaw() {
    if (_pid > 0) kill(_pid, SIGCONT);
}

int ZTestServer::stop() {
    if (_pid <= 0) return -1;
    kill(_pid, SIGCONT);
    kill(_pid, SIGTERM);
    int code = reap(_pid, kStopPatienceUs);
    if (code < 0) {
        kill(_pid, SIGKILL);
        reap(_pid, kStopPatienceUs);
    }
    _pid = -1;
    return code;
}

std::wstring ZTestServer::host(int offset) const { return loopbackHost(_base + offset); }

std::string ZTestServer::log() const { return ZTestReadFile(_logPath); }

}  // namespace transporttest
