// Sign-ins of existing accounts on a real zandrel-server over loopback, alone
// and while a burst of password guesses runs from eight other loopback
// addresses against the same accounts: the second figure beside the first
// (ratio_to_alone) is what a guessing stranger takes from the owners.
// Starts the program built beside this one (../server/zandrel-server, or
// $ZAN_SERVER) with its data in a fresh folder.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "ZHTTPHeaders.h"

namespace {

const int kBase = getenv("ZAN_PORT_BASE") ? atoi(getenv("ZAN_PORT_BASE")) : 14000 + getpid() % 900 * 20;
constexpr int kOwners = 2;

sockaddr_in address(const std::string& host, int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    inet_pton(AF_INET, host.c_str(), &a.sin_addr);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return a;
}

// One AUTHENTICATE on its own connection from the loopback address: the status (0 for none).
int authenticate(const std::string& from, const std::wstring& user, const std::wstring& password,
                 const std::wstring& email = L"") {
    ZHTTPHeaders h(L"AUTHENTICATE");
    h.set(L"From", user);
    h.set(L"Password", password);
    h.set(L"Email", email);
    h.set(L"Version", L"764");
    const std::string bytes = h.serialize();
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in local = address(from, 0);
    const sockaddr_in server = address("127.0.0.1", kBase);
    std::string all;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof(local)) == 0 &&
        connect(fd, reinterpret_cast<const sockaddr*>(&server), sizeof(server)) == 0 &&
        send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size())) {
        char chunk[4096];
        ssize_t n;
        while ((n = recv(fd, chunk, sizeof(chunk), 0)) > 0) all.append(chunk, static_cast<std::size_t>(n));
    }
    close(fd);
    ZHTTPHeaders answer;
    return answer.deserialize(all) > 0 ? answer.getResponse() : 0;
}

std::wstring owner(int i) { return L"owner" + std::to_wstring(i); }

// The one server process of this run, with its owners' accounts made.
class Server {
public:
    static Server& get() {
        static Server server;
        return server;
    }
    bool ok() const { return _pid > 0; }
    ~Server() {
        if (_pid > 0) {
            kill(_pid, SIGTERM);
            waitpid(_pid, nullptr, 0);
        }
        std::error_code ignored;
        std::filesystem::remove_all(_data, ignored);
    }

private:
    Server() {
        char self[PATH_MAX] = {0};
        const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
        std::string path = std::filesystem::path(std::string(self, n > 0 ? n : 0)).parent_path().string() +
                           "/../server/zandrel-server";
        if (const char* env = getenv("ZAN_SERVER")) path = env;
        char folder[] = "/tmp/zanbench.XXXXXX";
        _data = mkdtemp(folder);
        int out[2];
        if (pipe(out) != 0) return;
        _pid = fork();
        if (_pid == 0) {
            dup2(out[1], 1);
            execl(path.c_str(), path.c_str(), "--bind", "127.0.0.1", "--port-base", std::to_string(kBase).c_str(),
                  "--data", _data.c_str(), nullptr);
            _exit(127);
        }
        close(out[1]);
        char buffer[1024];
        pollfd p{out[0], POLLIN, 0};
        if (poll(&p, 1, 20000) != 1 || read(out[0], buffer, sizeof(buffer)) <= 0) {
            kill(_pid, SIGKILL);
            waitpid(_pid, nullptr, 0);
            _pid = -1;
        }
        close(out[0]);
        for (int i = 0; i < kOwners; ++i)
            if (authenticate("127.0.0.1", owner(i), L"the owner's password", L"o@example.org") != 200) _pid = -1;
    }
    pid_t _pid = -1;
    std::string _data;
};

// Guessers on 127.0.0.2 to 127.0.0.9, four threads each, sending wrong
// passwords for the owners' accounts as fast as they are answered. With
// $ZAN_GUESSERS_NICE they run at the lowest scheduling priority: on the
// Internet their processors are not the service's.
class GuessBurst {
public:
    GuessBurst() {
        for (int t = 0; t < 32; ++t)
            _threads.emplace_back([this, t] {
                if (getenv("ZAN_GUESSERS_NICE")) setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
                const std::string from = "127.0.0." + std::to_string(2 + t % 8);
                for (int n = 0; !_stop.load(); ++n) {
                    authenticate(from, owner(n % kOwners) + L"@zandrel.net", L"guess " + std::to_wstring(n));
                    _sent.fetch_add(1);
                }
            });
    }
    ~GuessBurst() {
        _stop.store(true);
        for (std::thread& t : _threads) t.join();
    }
    long sent() const { return _sent.load(); }

private:
    std::atomic<bool> _stop{false};
    std::atomic<long> _sent{0};
    std::vector<std::thread> _threads;
};

// Sign-ins per second of the owners, each signing in again and again from
// 127.0.0.1 in a thread of its own, over the given time.
double signInRate(double seconds, long& refused) {
    std::atomic<long> done{0};
    std::atomic<long> failed{0};
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    std::vector<std::thread> owners;
    for (int i = 0; i < kOwners; ++i)
        owners.emplace_back([&, i] {
            while (std::chrono::steady_clock::now() < end) {
                if (authenticate("127.0.0.1", owner(i) + L"@zandrel.net", L"the owner's password") == 200)
                    done.fetch_add(1);
                else
                    failed.fetch_add(1);
            }
        });
    for (std::thread& t : owners) t.join();
    refused += failed.load();
    return done.load() / std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Rounds of sign-ins alone and during a burst in turn, so that the load of
// the machine weighs on both alike; the burst's pairs stay throttled from
// one round to the next, as they would under a lasting attack.
void BM_SignInsAloneAndDuringGuessBurst(benchmark::State& state) {
    Server& server = Server::get();
    if (!server.ok()) {
        state.SkipWithError("zandrel-server did not start");
        return;
    }
    for (auto _ : state) {
        double alone = 0;
        double during = 0;
        long refused = 0;
        long guesses = 0;
        constexpr int kRounds = 3;
        double firstRatio = 0;
        for (int round = 0; round < kRounds; ++round) {
            const double a = signInRate(4.0, refused);
            GuessBurst burst;
            const double d = signInRate(4.0, refused);
            guesses += burst.sent();
            // The first round bears the guesses hashed before the throttle
            // holds; the later ones show a lasting attack.
            if (round == 0) firstRatio = a > 0 ? d / a : 0;
            alone += a;
            during += d;
        }
        state.counters["ratio_first_round"] = firstRatio;
        state.counters["alone_per_s"] = alone / kRounds;
        state.counters["during_burst_per_s"] = during / kRounds;
        state.counters["ratio"] = alone > 0 ? during / alone : 0;
        state.counters["owner_refused"] = static_cast<double>(refused);
        state.counters["guesses"] = static_cast<double>(guesses);
    }
}
BENCHMARK(BM_SignInsAloneAndDuringGuessBurst)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
