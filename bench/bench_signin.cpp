// What a user waits for between asking to sign in and seeing buddies: the
// zandrel program against a zandrel-server of this run (loopback, the
// service's own password hashing), from its AUTHENTICATE request to the
// client's 'Online' and to the buddy list received (GETBUDDYLIST answered),
// each as a ratio to a bare AUTHENTICATE exchange (connect, request, answer)
// with the same service in the same run. Starts ../client/zandrel and
// ../server/zandrel-server, each in a fresh folder.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <sys/socket.h>

#include "ZBenchPrograms.h"
#include "ZHTTPHeaders.h"

using namespace benchprograms;

namespace {

const int kBase = getenv("ZAN_PORT_BASE") ? atoi(getenv("ZAN_PORT_BASE")) : 15000 + getpid() % 900 * 20;

std::string authenticate(const std::wstring& from, const std::wstring& email) {
    ZHTTPHeaders h(L"AUTHENTICATE");
    h.set(L"From", from);
    h.set(L"Password", L"pw");
    h.set(L"Email", email);
    h.set(L"Version", L"764");
    return h.serialize();
}

// One exchange over a fresh connection; the answer's status, 0 for none.
int exchange(const std::string& request) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(kBase));
    std::string all;
    if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof(a)) == 0 &&
        send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char chunk[4096];
        ssize_t n;
        while ((n = recv(fd, chunk, sizeof(chunk), 0)) > 0) all.append(chunk, static_cast<std::size_t>(n));
    }
    close(fd);
    ZHTTPHeaders h;
    return h.deserialize(all) > 0 ? h.getResponse() : 0;
}

// The median of five bare sign-ins of an account made for them.
double bareExchange() {
    static bool made = exchange(authenticate(L"reference", L"r@example.org")) == 200;
    if (!made) return -1;
    std::vector<double> times;
    for (int i = 0; i < 5; ++i) {
        const double t0 = seconds();
        if (exchange(authenticate(L"reference@zandrel.net", L"")) != 200) return -1;
        times.push_back(seconds() - t0);
    }
    return spread(times).median;
}

void BM_SignInToBuddyList(benchmark::State& state) {
    const std::string build = buildDir();
    const std::string top = std::filesystem::temp_directory_path() / ("zan-bench-signin-" + std::to_string(getpid()));
    const std::string auth = "127.0.0.1:" + std::to_string(kBase);
    const pid_t server = start(build + "/server/zandrel-server",
                               {"--port-base", std::to_string(kBase), "--data", top + "/service"}, top,
                               top + "/server.out");
    if (waitFor(top + "/server.out", "ready") < 0) {
        state.SkipWithError("zandrel-server did not start");
        stop(server);
        return;
    }
    int run = 0;
    std::vector<double> bare, online, buddies, onlineRatio, buddiesRatio;
    for (auto _ : state) {
        ++run;
        std::string name = "u";
        name += std::to_string(run);
        const std::string folder = top + "/client" + name;
        std::filesystem::create_directories(folder);
        std::ofstream(folder + "/settings.ini")
            << "Local_User_GUID: c" << name << "\nLocal_Password: pw\nLocal_Email: c@example.org\n"
            << "AUTHENTICATE_Host: " << auth << "\nFirst_Run_Complete: 1\nLog_Filter: cs\n";
        // A skin without windows: this measures the sign-in, not the drawing.
        std::ofstream(folder + "/template.xml") << "<skin></skin>\n";
        const std::string log = folder + "/zandrel.log";
        // The first run makes the account; the second is a plain sign-in.
        pid_t client = start(build + "/client/zandrel", {"-norestart", "1", "-silent", "1"}, folder, folder + "/out");
        waitFor(log, "[Getting buddy list] Changing state to 'Online'");
        stop(client);
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));

        client = start(build + "/client/zandrel", {"-norestart", "1", "-silent", "1"}, folder, folder + "/out");
        const double asked = waitFor(log, "Sending 'AUTHENTICATE' request");
        const double isOnline = waitFor(log, "[Connecting...] Changing state to 'Online'");
        const double hasList = waitFor(log, "[Getting buddy list] Changing state to 'Online'");
        stop(client);
        const double reference = bareExchange();
        if (asked < 0 || isOnline < 0 || hasList < 0 || reference <= 0) {
            state.SkipWithError("the sign-in did not finish");
            break;
        }
        bare.push_back(reference * 1000);
        online.push_back((isOnline - asked) * 1000);
        buddies.push_back((hasList - asked) * 1000);
        onlineRatio.push_back((isOnline - asked) / reference);
        buddiesRatio.push_back((hasList - asked) / reference);
        state.SetIterationTime(hasList - asked);
    }
    const auto report = [&](const char* name, const std::vector<double>& values) {
        reportSpread(state, name, values);
    };
    report("bare_auth_ms", bare);
    report("to_online_ms", online);
    report("to_buddies_ms", buddies);
    report("online_x", onlineRatio);
    report("buddies_x", buddiesRatio);
    stop(server);
    std::error_code ignored;
    std::filesystem::remove_all(top, ignored);
}
BENCHMARK(BM_SignInToBuddyList)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
