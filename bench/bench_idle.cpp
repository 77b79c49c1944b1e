// What an idle client costs: the zandrel program with the default skin,
// signed in to a zandrel-server of this run with its buddy list shown and
// nothing happening, beside the headless peer zanbuddy (the same services
// without windows) signed in to the same service at the same time: the
// processor time each uses over 20 s (all threads, the scheduler's count) and
// the resident memory 10 s after sign-in, each as a ratio to the peer.
// Goals: at most 0.3 % of a core, at most 1.2 times the peer.
// Needs a display: DISPLAY=:n ./bench_idle (Xvfb will do). Starts
// ../client/zandrel, ../tests/zanbuddy and ../server/zandrel-server, each in a
// fresh folder.
#include <benchmark/benchmark.h>

#include "ZBenchPrograms.h"

using namespace benchprograms;

namespace {

const int kBase = getenv("ZAN_PORT_BASE") ? atoi(getenv("ZAN_PORT_BASE")) : 16000 + getpid() % 900 * 20;
constexpr double kWindowSeconds = 20;

void BM_IdleClientBesideThePeer(benchmark::State& state) {
    if (!getenv("DISPLAY")) {
        state.SkipWithError("no DISPLAY");
        return;
    }
    const std::string build = buildDir();
    const std::string top = std::filesystem::temp_directory_path() / ("zan-bench-idle-" + std::to_string(getpid()));
    const std::string auth = "127.0.0.1:" + std::to_string(kBase);
    const pid_t server = start(build + "/server/zandrel-server",
                               {"--port-base", std::to_string(kBase), "--data", top + "/service",
                                "--pbkdf2-iterations", "1000"},
                               top, top + "/server.out");
    if (waitFor(top + "/server.out", "ready") < 0) {
        state.SkipWithError("zandrel-server did not start");
        stop(server);
        return;
    }
    int run = 0;
    std::vector<double> clientCPU, peerCPU, cpuRatio, clientRSS, peerRSS, rssRatio;
    for (auto _ : state) {
        ++run;
        std::string name = "u";
        name += std::to_string(run);
        const std::string folder = top + "/client" + name;
        std::filesystem::create_directories(folder);
        std::filesystem::copy(std::string(ZAN_SOURCE_DIR) + "/skin", folder,
                              std::filesystem::copy_options::recursive);
        std::ofstream(folder + "/settings.ini")
            << "Local_User_GUID: c" << name << "\nLocal_Password: pw\nLocal_Email: c@example.org\n"
            << "AUTHENTICATE_Host: " << auth << "\nFirst_Run_Complete: 1\nLog_Filter: cs\n";
        const std::string log = folder + "/zandrel.log";
        const std::string online = "[Getting buddy list] Changing state to 'Online'";
        // The first run makes the account; the second is a plain sign-in.
        pid_t client = start(build + "/client/zandrel", {"-norestart", "1", "-silent", "1"}, folder, folder + "/out");
        waitFor(log, online);
        stop(client);
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));

        client = start(build + "/client/zandrel", {"-norestart", "1", "-silent", "1"}, folder, folder + "/out");
        const std::string peerFolder = top + "/peer" + name;
        const pid_t peer = start(build + "/tests/zanbuddy",
                                 {"-auth", auth, "-user", "p" + name, "-password", "pw", "-email", "p@example.org",
                                  "-norestart", "1", "-silent", "1"},
                                 peerFolder, peerFolder + "/out");
        const bool signedIn = waitFor(log, online) > 0 && waitFor(peerFolder + "/out", "SIPSTATUS Online") > 0;
        if (!signedIn) {
            stop(client);
            stop(peer);
            state.SkipWithError("a sign-in did not finish");
            break;
        }
        std::this_thread::sleep_for(std::chrono::seconds(10));
        clientRSS.push_back(rssMB(client));
        peerRSS.push_back(rssMB(peer));
        rssRatio.push_back(clientRSS.back() / peerRSS.back());
        const double c0 = cpuSeconds(client), p0 = cpuSeconds(peer), t0 = seconds();
        std::this_thread::sleep_for(std::chrono::duration<double>(kWindowSeconds));
        const double elapsed = seconds() - t0;
        const double c = (cpuSeconds(client) - c0) / elapsed * 100, p = (cpuSeconds(peer) - p0) / elapsed * 100;
        clientCPU.push_back(c);
        peerCPU.push_back(p);
        cpuRatio.push_back(c / p);
        stop(client);
        stop(peer);
        state.SetIterationTime(elapsed);
    }
    const auto report = [&](const char* name, const std::vector<double>& values) {
        const Spread s = spread(values);
        state.counters[std::string(name) + "_min"] = s.min;
        state.counters[std::string(name) + "_med"] = s.median;
        state.counters[std::string(name) + "_max"] = s.max;
    };
    report("client_cpu_pct", clientCPU);
    report("peer_cpu_pct", peerCPU);
    report("cpu_x", cpuRatio);
    report("client_rss_mb", clientRSS);
    report("peer_rss_mb", peerRSS);
    report("rss_x", rssRatio);
    stop(server);
    std::error_code ignored;
    std::filesystem::remove_all(top, ignored);
}
BENCHMARK(BM_IdleClientBesideThePeer)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
