// Processes for the end-to-end tests: the real zandrel-server, headless
// peers ("zanbuddy") and the client program, each in its own folder, their
// standard output read line by line and their log read as it grows.
//
// Threading: the test thread only. Every process a test starts is reaped by
// its destructor.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace peertest {

// The server program; empty when it has not been built.
std::string serverProgram();

// One zandrel-server on a free port base of loopback.
class Server {
public:
    explicit Server(const std::string& dataFolder);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    bool start();
    std::wstring host(int offset) const;

private:
    bool _launch(int base);
    std::string _data;
    std::string _logPath;
    pid_t _pid = -1;
    int _base = 0;
};

// The client program of this build.
std::string clientProgram();

// One headless peer, or another of our programs (program: its path; the
// peer when empty).
class Peer {
public:
    Peer(const std::string& folder, const std::vector<std::string>& args, const std::string& program = "");
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // Waits for a line that begins with the text; the whole line, or "".
    std::string waitFor(const std::string& prefix, std::int64_t patience);
    // Every line read so far, whether or not waitFor took it.
    const std::string& output() const { return _all; }
    void command(const std::string& line);
    // Sends the signal and waits for the end; true when it ended in time.
    bool terminate(std::int64_t patience);
    void kill();
    bool ended() const { return _pid <= 0; }
    std::string log() const;
    // Waits until the log holds the text; false when it did not come in time.
    bool waitForLog(const std::string& text, std::int64_t patience) const;
    pid_t pid() const { return _pid; }
    // The exit status once ended (after terminate or waitForEnd), else -1.
    int exitStatus() const { return _status; }
    bool waitForEnd(std::int64_t patience);

private:
    std::string _folder;
    pid_t _pid = -1;
    int _status = -1;
    int _in = -1;
    int _out = -1;
    std::string _buffer;
    std::string _all;
};

// Milliseconds on the monotonic clock.
std::int64_t nowMs();

}  // namespace peertest
