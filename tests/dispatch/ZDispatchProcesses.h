// Processes for the loopback tests: the real zandrel-server and the headless
// client "zandispatch", each with its own folder, plus a second user who
// asks the service which devices of a user are signed in.
//
// Threading: the test thread only. Every process a test starts is reaped
// by its destructor.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "ZHTTPHeaders.h"

namespace dispatchtest {

// The server program; empty when it has not been built.
std::string serverProgram();

// One zandrel-server on a free port base of loopback.
class ServerProcess {
public:
    explicit ServerProcess(const std::string& dataFolder);
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    bool start();
    void stop();
    // Freezes and thaws the whole service (SIGSTOP, SIGCONT).
    void pause();
    void resume();
    pid_t pid() const { return _pid; }
    std::wstring host(int offset) const;
    std::string log() const;

private:
    bool _launch(int base);
    std::string _data;
    std::string _logPath;
    pid_t _pid = -1;
    int _base = 0;
};

// One headless client; its standard output is read line by line.
class ClientProcess {
public:
    ClientProcess(const std::string& folder, const std::vector<std::string>& args);
    ~ClientProcess();
    ClientProcess(const ClientProcess&) = delete;
    ClientProcess& operator=(const ClientProcess&) = delete;

    // Waits for a line that begins with the text; the whole line, or "".
    std::string waitFor(const std::string& prefix, std::int64_t patience);
    void command(const std::string& line);
    // "quit", then waits for the end; true when it ended by itself in time.
    bool quit();
    // The log so far: the open one, or the archive of the last run.
    std::string log() const;
    const std::string& folder() const { return _folder; }

private:
    std::string _folder;
    pid_t _pid = -1;
    int _in = -1;
    int _out = -1;
    std::string _buffer;
};

// The lines of the text that hold each of the given texts, in this order:
// the index of the first text not found after the one before, or -1.
int firstOutOfOrder(const std::string& text, const std::vector<std::string>& expected);

// Signs a second user up with one device at a UDP port of its own and asks
// the service for the signed-in devices of the user: device -> route list.
std::map<std::wstring, std::wstring> signedInDevices(const ServerProcess& server, const std::wstring& user);

}  // namespace dispatchtest
