#include "ZPeerProcesses.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "ZPortable.h"
#include "ZTestProcess.h"
#include "ZTestSupport.h"

namespace peertest {

using zantest::finish;
using zantest::readable;
using zantest::reap;
using zantest::spawn;

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string serverProgram() {
    const char* given = std::getenv("ZAN_TEST_SERVER");
    const std::string path = given ? given : ZAN_BUILD_DIR "/server/zandrel-server";
    return access(path.c_str(), X_OK) == 0 ? path : std::string();
}

std::string clientProgram() {
    const std::string path = ZAN_BUILD_DIR "/client/zandrel";
    return access(path.c_str(), X_OK) == 0 ? path : std::string();
}

// ---- Server ----------------------------------------------------------------------------

Server::Server(const std::string& dataFolder) : _data(dataFolder), _logPath(dataFolder + ".server.log") {}

Server::~Server() { finish(_pid, SIGTERM); }

bool Server::start() {
    // Bases spread by process id (other test programs run beside us); one in
    // use makes the server exit at once and the next is tried. They stay
    // below the system's ephemeral ports (from 32768) and the dispatch
    // tests' bases (12000 up): the server binds with SO_REUSEADDR and would
    // otherwise share a port a test's own socket holds.
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int slot = (static_cast<int>(getpid()) * 29 + attempt * 163 + static_cast<int>(nowMs() % 97)) % 500;
        if (_launch(2000 + slot * 20)) return true;
    }
    return false;
}

bool Server::_launch(int base) {
    const pid_t pid = zantest::startServerAt(serverProgram(), base, _data, _logPath, {});
    if (pid < 0) return false;
    _pid = pid;
    _base = base;
    return true;
}

std::wstring Server::host(int offset) const { return ZFromUTF8("127.0.0.1:" + std::to_string(_base + offset)); }

// ---- Peer ----------------------------------------------------------------------------------

Peer::Peer(const std::string& folder, const std::vector<std::string>& args, const std::string& program)
    : _folder(folder) {
    mkdir(folder.c_str(), 0700);
    int in[2];
    int out[2];
    if (pipe2(in, O_CLOEXEC) != 0) return;
    if (pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return;
    }
    const int err = open((folder + ".stderr").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    std::vector<std::string> all = args;
    for (const char* a : {"-norestart", "1", "-silent", "1"}) all.push_back(a);
    _pid = spawn(program.empty() ? ZAN_TEST_PROGRAMS "/zanbuddy" : program, all, folder, in[0], out[1], err);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err);
    _in = in[1];
    _out = out[0];
}

Peer::~Peer() {
    if (_in >= 0) ::close(_in);
    _in = -1;
    finish(_pid, SIGKILL);
    if (_out >= 0) ::close(_out);
}

std::string Peer::waitFor(const std::string& prefix, std::int64_t patience) {
    const std::int64_t end = nowMs() + patience / 1000;
    for (;;) {
        for (std::size_t eol; (eol = _buffer.find('\n')) != std::string::npos;) {
            const std::string line = _buffer.substr(0, eol);
            _buffer.erase(0, eol + 1);
            if (line.compare(0, prefix.size(), prefix) == 0) return line;
        }
        const std::int64_t left = end - nowMs();
        if (_out < 0 || left <= 0 || !readable(_out, static_cast<int>(left))) return std::string();
        char chunk[512];
        const ssize_t n = read(_out, chunk, sizeof(chunk));
        if (n <= 0) return std::string();
        _buffer.append(chunk, static_cast<std::size_t>(n));
        _all.append(chunk, static_cast<std::size_t>(n));
    }
}

void Peer::command(const std::string& line) {
    const std::string bytes = line + "\n";
    if (_in >= 0 && write(_in, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return;
}

bool Peer::waitForEnd(std::int64_t patience) {
    if (_pid <= 0) return true;
    const std::int64_t end = nowMs() + patience / 1000;
    for (;;) {
        int status = 0;
        if (waitpid(_pid, &status, WNOHANG) == _pid) {
            _status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            _pid = -1;
            return true;
        }
        if (nowMs() >= end) return false;
        usleep(20000);
    }
}

bool Peer::waitForLog(const std::string& text, std::int64_t patience) const {
    const std::int64_t end = nowMs() + patience / 1000;
    for (;;) {
        if (log().find(text) != std::string::npos) return true;
        if (nowMs() >= end) return false;
        usleep(50000);
    }
}

bool Peer::terminate(std::int64_t patience) {
    if (_pid <= 0) return true;
    ::kill(_pid, SIGTERM);
    const bool ended = waitForEnd(patience);
    // What it said on its way out.
    while (_out >= 0 && readable(_out, 0)) {
        char chunk[512];
        const ssize_t n = read(_out, chunk, sizeof(chunk));
        if (n <= 0) break;
        _buffer.append(chunk, static_cast<std::size_t>(n));
        _all.append(chunk, static_cast<std::size_t>(n));
    }
    return ended;
}

void Peer::kill() { finish(_pid, SIGKILL); }

std::string Peer::log() const {
    const std::string open = ZTestReadFile(_folder + "/zandrel.log");
    if (!open.empty()) return open;
    std::string newest;
    if (DIR* d = opendir(_folder.c_str())) {
        while (dirent* e = readdir(d)) {
            const std::string name = e->d_name;
            if (name.rfind("zandrel_", 0) == 0 && name > newest) newest = name;
        }
        closedir(d);
    }
    return newest.empty() ? std::string() : ZTestReadFile(_folder + "/" + newest);
}

}  // namespace peertest
