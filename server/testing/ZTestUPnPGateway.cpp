#include "testing/ZTestUPnPGateway.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>

#include <cctype>
#include <cstdlib>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace {

const char kServiceType[] = "urn:schemas-upnp-org:service:WANIPConnection:1";

const char kRootDescription[] =
    "<?xml version=\"1.0\"?>\r\n"
    "<root xmlns=\"urn:schemas-upnp-org:device-1-0\">"
    "<specVersion><major>1</major><minor>0</minor></specVersion>"
    "<device><deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType>"
    "<friendlyName>Test gateway</friendlyName>"
    "<deviceList><device><deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType>"
    "<serviceList><service>"
    "<serviceType>urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1</serviceType>"
    "<serviceId>urn:upnp-org:serviceId:WANCommonIFC1</serviceId>"
    "<controlURL>/ctl/CmnIfCfg</controlURL><eventSubURL>/evt/CmnIfCfg</eventSubURL>"
    "<SCPDURL>/WANCfg.xml</SCPDURL></service></serviceList>"
    "<deviceList><device><deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:1</deviceType>"
    "<serviceList><service>"
    "<serviceType>urn:schemas-upnp-org:service:WANIPConnection:1</serviceType>"
    "<serviceId>urn:upnp-org:serviceId:WANIPConn1</serviceId>"
    "<controlURL>/ctl/IPConn</controlURL><eventSubURL>/evt/IPConn</eventSubURL>"
    "<SCPDURL>/WANIPCn.xml</SCPDURL></service></serviceList>"
    "</device></deviceList></device></deviceList></device></root>\r\n";

// Bounded waits, so a confused client can never hang the gateway's thread.
constexpr int kIOTimeoutMs = 5000;
constexpr std::size_t kMaxRequest = 64 * 1024;

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// The text between <name> and </name>, or "" when absent.
std::string element(const std::string& xml, const std::string& name) {
    const std::string open = "<" + name + ">", close = "</" + name + ">";
    const std::size_t begin = xml.find(open);
    if (begin == std::string::npos) return std::string();
    const std::size_t from = begin + open.size();
    const std::size_t end = xml.find(close, from);
    return end == std::string::npos ? std::string() : xml.substr(from, end - from);
}

std::string header(const std::string& head, const std::string& name) {
    const std::string lowered = lower(head);
    const std::size_t at = lowered.find("\r\n" + lower(name) + ":");
    if (at == std::string::npos) return std::string();
    std::size_t from = at + 2 + name.size() + 1;
    const std::size_t end = head.find("\r\n", from);
    while (from < end && head[from] == ' ') ++from;
    return head.substr(from, end - from);
}

std::string httpAnswer(const std::string& status, const std::string& type, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\nContent-Type: " + type + "\r\nContent-Length: " +
           std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
}

std::string soapEnvelope(const std::string& inner) {
    return "<?xml version=\"1.0\"?>\r\n<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
           "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>" +
           inner + "</s:Body></s:Envelope>\r\n";
}

std::string soapResult(const std::string& action, const std::string& values) {
    return httpAnswer("200 OK", "text/xml; charset=\"utf-8\"",
                      soapEnvelope("<u:" + action + "Response xmlns:u=\"" + kServiceType + "\">" + values + "</u:" +
                                   action + "Response>"));
}

std::string soapFault(int code, const std::string& description) {
    return httpAnswer("500 Internal Server Error", "text/xml; charset=\"utf-8\"",
                      soapEnvelope("<s:Fault><faultcode>s:Client</faultcode><faultstring>UPnPError</faultstring>"
                                   "<detail><UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\"><errorCode>" +
                                   std::to_string(code) + "</errorCode><errorDescription>" + description +
                                   "</errorDescription></UPnPError></detail></s:Fault>"));
}

bool waitFor(int fd, short events) {
    pollfd p{fd, events, 0};
    return poll(&p, 1, kIOTimeoutMs) == 1;
}

}  // namespace

// The listening socket, the table and the log of actions, behind one mutex.
struct ZTestUPnPGateway::State {
    mutable std::mutex mutex;
    int listener = -1;
    int wakeRead = -1, wakeWrite = -1;
    int port = 0;
    bool refuse = false;
    bool connected = true;
    std::map<int, Entry> table;
    std::vector<std::string> requests;
    std::thread thread;

    void serve() {
        for (;;) {
            pollfd fds[2] = {{listener, POLLIN, 0}, {wakeRead, POLLIN, 0}};
            if (poll(fds, 2, -1) < 0) continue;
            if (fds[1].revents) return;
            const int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            const std::string answer = answerFor(readRequest(c));
            std::size_t sent = 0;
            while (sent < answer.size() && waitFor(c, POLLOUT)) {
                const ssize_t n = send(c, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) break;
                sent += static_cast<std::size_t>(n);
            }
            close(c);
        }
    }

    static std::string readRequest(int c) {
        std::string request;
        char buffer[4096];
        for (;;) {
            const std::size_t headEnd = request.find("\r\n\r\n");
            if (headEnd != std::string::npos) {
                const std::size_t length = std::strtoul(header(request.substr(0, headEnd + 2), "Content-Length").c_str(),
                                                         nullptr, 10);
                if (request.size() >= headEnd + 4 + length) return request;
            }
            if (request.size() > kMaxRequest || !waitFor(c, POLLIN)) return request;
            const ssize_t n = recv(c, buffer, sizeof(buffer), 0);
            if (n <= 0) return request;
            request.append(buffer, static_cast<std::size_t>(n));
        }
    }

    std::string answerFor(const std::string& request) {
        const std::size_t headEnd = request.find("\r\n\r\n");
        if (headEnd == std::string::npos) return httpAnswer("400 Bad Request", "text/plain", "");
        const std::string head = request.substr(0, headEnd + 2);
        const std::string body = request.substr(headEnd + 4);
        if (head.rfind("GET /rootDesc.xml ", 0) == 0) return httpAnswer("200 OK", "text/xml", kRootDescription);
        if (head.rfind("POST /ctl/IPConn ", 0) != 0) return httpAnswer("404 Not Found", "text/plain", "");

        std::string action = header(head, "SOAPAction");
        if (!action.empty() && action.front() == '"') action = action.substr(1, action.size() - 2);
        action = action.substr(action.find('#') + 1);

        const std::string protocol = element(body, "NewProtocol");
        const int external = std::atoi(element(body, "NewExternalPort").c_str());
        std::lock_guard<std::mutex> guard(mutex);
        if (action == "GetSpecificPortMappingEntry") {
            requests.push_back(action + " " + protocol + " " + std::to_string(external));
            const auto found = table.find(external);
            if (protocol != "UDP" || found == table.end()) return soapFault(714, "NoSuchEntryInArray");
            return soapResult(action, "<NewInternalPort>" + std::to_string(found->second.internalPort) +
                                          "</NewInternalPort><NewInternalClient>" + found->second.client +
                                          "</NewInternalClient><NewEnabled>1</NewEnabled>"
                                          "<NewPortMappingDescription>" +
                                          found->second.description +
                                          "</NewPortMappingDescription><NewLeaseDuration>0</NewLeaseDuration>");
        }
        if (action == "DeletePortMapping") {
            requests.push_back(action + " " + protocol + " " + std::to_string(external));
            if (protocol != "UDP" || table.erase(external) == 0) return soapFault(714, "NoSuchEntryInArray");
            return soapResult(action, "");
        }
        if (action == "AddPortMapping") {
            Entry e{element(body, "NewInternalClient"), std::atoi(element(body, "NewInternalPort").c_str()),
                    element(body, "NewPortMappingDescription")};
            requests.push_back(action + " " + protocol + " " + std::to_string(external) + " -> " + e.client + ":" +
                               std::to_string(e.internalPort) + " " + e.description);
            if (refuse) return soapFault(501, "Action Failed");
            const auto found = table.find(external);
            if (found != table.end() && found->second.client != e.client) return soapFault(718, "ConflictInMappingEntry");
            table[external] = e;
            return soapResult(action, "");
        }
        if (action == "GetStatusInfo") {
            requests.push_back(action);
            return soapResult(action, std::string("<NewConnectionStatus>") + (connected ? "Connected" : "Disconnected") +
                                          "</NewConnectionStatus><NewLastConnectionError>ERROR_NONE"
                                          "</NewLastConnectionError><NewUptime>1000</NewUptime>");
        }
        requests.push_back(action);
        return soapFault(401, "Invalid Action");
    }
};

ZTestUPnPGateway::ZTestUPnPGateway() : _state(std::make_unique<State>()) {
    State& s = *_state;
    int wake[2];
    if (pipe2(wake, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    s.wakeRead = wake[0];
    s.wakeWrite = wake[1];
    s.listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(a);
    if (s.listener < 0 || bind(s.listener, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 ||
        listen(s.listener, 8) != 0 || getsockname(s.listener, reinterpret_cast<sockaddr*>(&a), &size) != 0)
        throw std::runtime_error("test gateway cannot listen");
    s.port = ntohs(a.sin_port);
    s.thread = std::thread([&s] { s.serve(); });
}

ZTestUPnPGateway::~ZTestUPnPGateway() {
    const char stop = 'x';
    if (write(_state->wakeWrite, &stop, 1) != 1) std::terminate();
    _state->thread.join();
    close(_state->listener);
    close(_state->wakeRead);
    close(_state->wakeWrite);
}

std::wstring ZTestUPnPGateway::rootURL() const {
    const std::string url = "http://127.0.0.1:" + std::to_string(_state->port) + "/rootDesc.xml";
    return std::wstring(url.begin(), url.end());
}

void ZTestUPnPGateway::refuseAdds(bool refuse) {
    std::lock_guard<std::mutex> guard(_state->mutex);
    _state->refuse = refuse;
}

void ZTestUPnPGateway::setConnected(bool connected) {
    std::lock_guard<std::mutex> guard(_state->mutex);
    _state->connected = connected;
}

void ZTestUPnPGateway::putEntry(int externalPort, const Entry& entry) {
    std::lock_guard<std::mutex> guard(_state->mutex);
    _state->table[externalPort] = entry;
}

std::map<int, ZTestUPnPGateway::Entry> ZTestUPnPGateway::entries() const {
    std::lock_guard<std::mutex> guard(_state->mutex);
    return _state->table;
}

std::vector<std::string> ZTestUPnPGateway::requests() const {
    std::lock_guard<std::mutex> guard(_state->mutex);
    return _state->requests;
}
