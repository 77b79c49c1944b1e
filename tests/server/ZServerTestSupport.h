// The real zandrel-server process on loopback and small raw-socket clients
// that talk to it in the message format.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ZHTTPHeaders.h"
#include "ZTestSupport.h"
#include "ZTestTLS.h"

namespace servertest {

// Bounded waits only: a broken service fails a test, it never hangs one.
constexpr int kPatienceMs = 5000;

// One zandrel-server process with its own data folder and ports.
class ServerProcess {
public:
    explicit ServerProcess(const std::string& dataFolder, std::vector<std::string> extraArgs = {});
    ~ServerProcess();
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Starts it on a free port base; true once its ready line has come.
    bool start();
    // SIGTERM (or the given signal), then the exit code (-1 when it did not end in time).
    int stop(int signal = 15);
    bool running() const;
    int portBase() const { return _base; }
    int port(int offset) const { return _base + offset; }
    const std::string& readyLine() const { return _ready; }
    // Everything the process logged so far.
    std::string log() const;
    const std::string& dataFolder() const { return _data; }
    pid_t pid() const { return _pid; }

private:
    bool _launch(int base);

    std::string _data;
    std::vector<std::string> _extra;
    std::string _logPath;
    pid_t _pid = -1;
    int _base = 0;
    std::string _ready;
};

// Runs the server program to its end with the arguments; returns the exit
// code, with its standard output and error.
int runServerProgram(const std::vector<std::string>& args, std::string& output, int timeoutMs = 10000);

// A request "<method> / HTTP/1.1" with the fields given.
ZHTTPHeaders request(const wchar_t* method, const std::map<std::wstring, std::wstring>& fields = {});

// A UDP socket on 127.0.0.1 that sends to the service and reads its answers.
class UDPClient {
public:
    UDPClient();
    ~UDPClient();
    UDPClient(const UDPClient&) = delete;
    UDPClient& operator=(const UDPClient&) = delete;
    int port() const;
    std::string host() const;
    void sendRaw(int port, const std::string& bytes) const;
    void send(int port, const ZHTTPHeaders& message) const { sendRaw(port, message.serialize()); }
    // The next datagram and its sender port, or false when none came in time.
    bool receiveRaw(std::string& bytes, int& fromPort, int timeoutMs = kPatienceMs) const;
    bool receive(ZHTTPHeaders& message, int& fromPort, int timeoutMs = kPatienceMs) const;
    // Sends and returns the first answer (an empty message when none came).
    ZHTTPHeaders ask(int port, const ZHTTPHeaders& message, int timeoutMs = kPatienceMs) const;

private:
    int _fd;
};

// A TCP connection to the service: through TLS, trusting the test
// certificate, to a host the test support started with it.
class TCPClient {
public:
    // from: the loopback address to connect from (127.0.0.1 when empty).
    explicit TCPClient(int port, const std::string& from = std::string());
    ~TCPClient();
    TCPClient(const TCPClient&) = delete;
    TCPClient& operator=(const TCPClient&) = delete;
    bool connected() const { return _fd >= 0; }
    bool sendRaw(const std::string& bytes);
    bool send(const ZHTTPHeaders& message) { return sendRaw(message.serialize()); }
    // The next whole message, or false when none came in time or it closed.
    bool receive(ZHTTPHeaders& message, int timeoutMs = kPatienceMs);
    // True when the service closed the connection within the time.
    bool closedByPeer(int timeoutMs = kPatienceMs);
    // Every byte until the service closes (bounded by the time).
    std::string readToClose(int timeoutMs = kPatienceMs);
    void close();

private:
    int _fd = -1;
    std::string _buffer;
    // The handshake runs with the first send or receive.
    std::unique_ptr<zantest::TLSEnd> _tls;
};

// The whole AUTHENTICATE exchange on a new connection.
ZHTTPHeaders authenticate(int port, const std::wstring& from, const std::wstring& password,
                          const std::wstring& email = L"", const std::wstring& version = L"764");

// A signed-up user with one registered device at a UDP client.
struct Device {
    std::wstring user;
    std::wstring guid;
    std::wstring key;
};
// Creates the account (when new), asks for a device id and registers it from
// the client with the route list; the device is empty on failure.
Device signUpAndRegister(const ServerProcess& server, const UDPClient& client, const std::wstring& name,
                         const std::wstring& routes);

}  // namespace servertest
