#include "testing/ZTestUDPProxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>

namespace {

// A datagram held back to go out after the next one, for at most this long.
constexpr auto kHoldLimit = std::chrono::milliseconds(10);

int openSide(int& port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) throw std::runtime_error("proxy socket");
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    const int size = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        throw std::runtime_error("proxy bind");
    }
    port = ntohs(address.sin_port);
    return fd;
}

}  // namespace

struct ZTestUDPProxy::State {
    struct Side {
        int fd = -1;
        int port = 0;
        sockaddr_in peer{};  // the address this side last heard from
        bool known = false;
        // The datagram held back on its way out of this side.
        std::string held;
        bool holding = false;
        std::chrono::steady_clock::time_point heldSince;
    };

    explicit State(std::uint32_t seed) : random(seed) {}

    // Called on the proxy's thread with the lock held.
    void sendOut(Side& side, const std::string& bytes) {
        if (!side.known) return;
        sendto(side.fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&side.peer),
               sizeof(side.peer));
        ++counts.forwarded;
    }

    void carry(Side& out, const std::string& bytes) {
        std::uniform_int_distribution<int> percent(0, 99);
        ++counts.received;
        // Every draw is made for every datagram, so one seed gives one
        // pattern whatever the percentages.
        const bool drop = percent(random) < impairment.dropPercent;
        const bool duplicate = percent(random) < impairment.duplicatePercent;
        const bool reorder = percent(random) < impairment.reorderPercent;
        if (silent || drop) {
            ++counts.dropped;
            return;
        }
        if (reorder && !out.holding) {
            out.held = bytes;
            out.holding = true;
            out.heldSince = std::chrono::steady_clock::now();
            ++counts.reordered;
            if (duplicate) {
                sendOut(out, bytes);
                ++counts.duplicated;
            }
            return;
        }
        sendOut(out, bytes);
        if (duplicate) {
            sendOut(out, bytes);
            ++counts.duplicated;
        }
        release(out);
    }

    void release(Side& out) {
        if (!out.holding) return;
        out.holding = false;
        if (silent)
            ++counts.dropped;
        else
            sendOut(out, out.held);
    }

    void run() {
        std::string buffer(65536, '\0');
        while (!stopping.load()) {
            pollfd polls[2] = {{sides[0].fd, POLLIN, 0}, {sides[1].fd, POLLIN, 0}};
            poll(polls, 2, 5);
            std::lock_guard<std::mutex> hold(mutex);
            for (int i = 0; i < 2; ++i) {
                Side& in = sides[i];
                Side& out = sides[1 - i];
                for (int n = 0; n < 256; ++n) {
                    sockaddr_in from{};
                    socklen_t length = sizeof(from);
                    const ssize_t got = recvfrom(in.fd, buffer.data(), buffer.size(), 0,
                                                 reinterpret_cast<sockaddr*>(&from), &length);
                    if (got < 0) break;
                    in.peer = from;
                    in.known = true;
                    carry(out, buffer.substr(0, static_cast<std::size_t>(got)));
                }
            }
            const auto now = std::chrono::steady_clock::now();
            for (Side& side : sides)
                if (side.holding && now - side.heldSince >= kHoldLimit) release(side);
        }
    }

    mutable std::mutex mutex;
    Side sides[2];
    std::mt19937 random;
    Impairment impairment;
    bool silent = false;
    Counts counts;
    std::atomic<bool> stopping{false};
    std::thread thread;
};

ZTestUDPProxy::ZTestUDPProxy(std::uint32_t seed) : _state(std::make_unique<State>(seed)) {
    for (State::Side& side : _state->sides) side.fd = openSide(side.port);
    _state->thread = std::thread([state = _state.get()] { state->run(); });
}

ZTestUDPProxy::~ZTestUDPProxy() {
    _state->stopping.store(true);
    _state->thread.join();
    for (State::Side& side : _state->sides) close(side.fd);
}

std::wstring ZTestUDPProxy::host(int side) const {
    return L"127.0.0.1:" + std::to_wstring(_state->sides[side ? 1 : 0].port);
}

bool ZTestUDPProxy::setPeer(int side, const std::wstring& host) {
    const std::size_t colon = host.rfind(L':');
    if (colon == std::wstring::npos) return false;
    const std::string address(host.begin(), host.begin() + static_cast<std::ptrdiff_t>(colon));
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    int port = 0;
    try {
        port = std::stoi(host.substr(colon + 1));
    } catch (const std::exception&) {
        return false;
    }
    if (port <= 0 || port > 65535 || inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1) return false;
    peer.sin_port = htons(static_cast<std::uint16_t>(port));
    std::lock_guard<std::mutex> hold(_state->mutex);
    State::Side& chosen = _state->sides[side ? 1 : 0];
    chosen.peer = peer;
    chosen.known = true;
    return true;
}

void ZTestUDPProxy::setImpairment(const Impairment& impairment) {
    std::lock_guard<std::mutex> hold(_state->mutex);
    _state->impairment = impairment;
}

void ZTestUDPProxy::setSilent(bool silent) {
    std::lock_guard<std::mutex> hold(_state->mutex);
    _state->silent = silent;
}

ZTestUDPProxy::Counts ZTestUDPProxy::counts() const {
    std::lock_guard<std::mutex> hold(_state->mutex);
    return _state->counts;
}
