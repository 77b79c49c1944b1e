#include "ZDispatchProcesses.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "ZDispatchTestRig.h"
#include "ZHTTPClient.h"
#include "ZPortable.h"
#include "ZTestProcess.h"
#include "ZTestSupport.h"
#include "ZTestTLS.h"

namespace dispatchtest {

using zantest::finish;
using zantest::readable;
using zantest::reap;
using zantest::spawn;

namespace {

std::int64_t nowMs() { return ZTimeNow() / 1000; }

// A request as the tests' second user sends it.
ZHTTPHeaders ask(FakeHost& udp, const std::wstring& to, ZHTTPHeaders request) {
    udp.send(to, request.serialize());
    std::string bytes;
    std::wstring from;
    while (udp.receiveRaw(bytes, from)) {
        ZHTTPHeaders answer;
        if (answer.deserialize(bytes) > 0 && answer.getResponse() != 0 && answer.get(L"CSeq") == request.get(L"CSeq"))
            return answer;
    }
    return ZHTTPHeaders();
}

}  // namespace

std::string serverProgram() {
    const char* given = std::getenv("ZAN_TEST_SERVER");
    const std::string path = given ? given : ZAN_BUILD_DIR "/server/zandrel-server";
    return access(path.c_str(), X_OK) == 0 ? path : std::string();
}

// ---- ServerProcess ---------------------------------------------------------------------

ServerProcess::ServerProcess(const std::string& dataFolder)
    : _data(dataFolder), _logPath(dataFolder + ".server.log") {}

ServerProcess::~ServerProcess() { stop(); }

bool ServerProcess::start() {
    // Bases spread by process id; one in use makes the server exit at once
    // and the next is tried.
    for (int attempt = 0; attempt < 20; ++attempt) {
        const int slot = (static_cast<int>(getpid()) * 13 + attempt * 157 + static_cast<int>(nowMs() % 89)) % 1000;
        if (_launch(12000 + slot * 20)) return true;
    }
    return false;
}

bool ServerProcess::_launch(int base) {
    const pid_t pid = zantest::startServerAt(serverProgram(), base, _data, _logPath, {"--log", "g"});
    if (pid < 0) return false;
    _pid = pid;
    _base = base;
    return true;
}

void ServerProcess::stop() { finish(_pid, SIGTERM); }

void ServerProcess::pause() {
    if (_pid > 0) kill(_pid, SIGSTOP);
}

void ServerProcess::resume() {
    if (_pid > 0) kill(_pid, SIGCONT);
}

std::wstring ServerProcess::host(int offset) const { return ZFromUTF8("127.0.0.1:" + std::to_string(_base + offset)); }

std::string ServerProcess::log() const { return ZTestReadFile(_logPath); }

// ---- ClientProcess ---------------------------------------------------------------------

ClientProcess::ClientProcess(const std::string& folder, const std::vector<std::string>& args) : _folder(folder) {
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
    _pid = spawn(ZAN_TEST_PROGRAMS "/zandispatch", all, folder, in[0], out[1], err);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err);
    _in = in[1];
    _out = out[0];
}

ClientProcess::~ClientProcess() {
    if (_in >= 0) ::close(_in);
    _in = -1;
    finish(_pid, SIGKILL);
    if (_out >= 0) ::close(_out);
}

std::string ClientProcess::waitFor(const std::string& prefix, std::int64_t patience) {
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
    }
}

void ClientProcess::command(const std::string& line) {
    const std::string bytes = line + "\n";
    if (_in >= 0 && write(_in, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return;
}

bool ClientProcess::quit() {
    command("quit");
    const bool said = !waitFor("BYE", 20000000).empty();
    const bool ended = _pid > 0 && reap(_pid, 20000);
    if (ended) _pid = -1;
    return said && ended;
}

std::string ClientProcess::log() const {
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

int firstOutOfOrder(const std::string& text, const std::vector<std::string>& expected) {
    std::size_t at = 0;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const std::size_t found = text.find(expected[i], at);
        if (found == std::string::npos) return static_cast<int>(i);
        at = found + expected[i].size();
    }
    return -1;
}

// ---- the second user ---------------------------------------------------------------------

std::map<std::wstring, std::wstring> signedInDevices(const ServerProcess& server, const std::wstring& user) {
    std::map<std::wstring, std::wstring> devices;
    ZHTTPHeaders signUp(L"AUTHENTICATE");
    const std::wstring name = L"carol" + ZToString(static_cast<std::int64_t>(nowMs() % 1000000));
    signUp.set(L"From", name);
    signUp.set(L"Password", L"secret");
    signUp.set(L"Email", name + L"@example.org");
    signUp.set(L"Version", L"764");
    ZHTTPClientSecurity security;
    security.tls = true;
    security.caFile = ZFromUTF8(zantest::testCertificate().ca);
    ZHTTPClient* auth = ZSAFENEW(ZHTTPClient, server.host(0), signUp, security);
    ZHTTPHeaders account;
    const std::int64_t end = nowMs() + 10000;
    bool answered = false;
    while (!answered && nowMs() < end && auth->isAlive()) {
        auth->update(50000);
        answered = auth->recv(account);
    }
    delete auth;
    const std::wstring guid = account.get(L"User-GUID");
    if (guid.empty()) return devices;

    FakeHost udp;
    const std::wstring signalling = server.host(5);
    ZHTTPHeaders request(L"DEVICEGUID");
    request.set(L"CSeq", L"1");
    request.set(L"Session-Key", account.get(L"Session-Key"));
    const std::wstring device = ask(udp, signalling, request).get(L"Device-GUID");
    request = ZHTTPHeaders(L"REGISTER");
    request.set(L"CSeq", L"2");
    request.set(L"From", guid);
    request.set(L"Device-GUID", device);
    request.set(L"Version", L"764");
    request.set(L"Route-List", L"local://" + udp.host());
    request.set(L"Session-Key", account.get(L"Session-Key"));
    if (!ask(udp, signalling, request).succeeded()) return devices;
    request = ZHTTPHeaders(L"INVITE");
    request.set(L"CSeq", L"3");
    request.set(L"From", guid);
    request.set(L"From-Device-GUID", device);
    request.set(L"To", user);
    const ZHTTPHeaders answer = ask(udp, signalling, request);
    std::list<std::wstring> list;
    answer.get(L"Device-List", list);
    for (const std::wstring& d : list) devices[d] = answer.get(d + L"-Route-List");
    return devices;
}

}  // namespace dispatchtest
