// The real zandrel-server of this build, run on loopback for the transport
// tests: its relay role in place of the stand-in.
//
// Threading: owned by the test's thread.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace transporttest {

// One server process with its own data folder and ports; stopped and reaped
// by the destructor.
class ZTestServer {
public:
    explicit ZTestServer(const std::string& dataFolder);
    ~ZTestServer();
    ZTestServer(const ZTestServer&) = delete;
    ZTestServer& operator=(const ZTestServer&) = delete;

    // Whether this build has the server program.
    static bool available();
    // Starts it on a port base that is free; true once it reported ready.
    bool start();
    // SIGTERM, then the exit code (-1 when it had to be killed).
    int stop();
    // Stops the process where it stands (it reads nothing), and lets it go on.
    void freeze();
    void thaw();
    // The host of the role at the offset from the port base (7: the relay).
    std::wstring host(int offset) const;
    // What the process has logged so far.
    std::string log() const;

private:
    bool _launch(int base);

    std::string _data;
    std::string _logPath;
    pid_t _pid = -1;
    int _base = 0;
};

}  // namespace transporttest
