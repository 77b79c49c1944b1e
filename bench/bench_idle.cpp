// What an idle client costs: the zandrel program with the default skin,
// signed in to a zandrel-server of this run with its buddy list shown and
// nothing happening, beside the headless peer zanbuddy (the same services
// without windows) signed in to the same service at the same time: the
// processor time each uses over 20 s (all threads, the scheduler's count) and
// the resident memory 10 s after sign-in, each as a ratio to the peer.
// The processor time is taken without a camera; for the memory both sign in
// again with a YUV4MPEG2 clip as their camera ("-avi", "avi_source"), so the
// client's own thumbnails are fed as a new user's are. Beside them a process
// that does nothing but wake at the client's specified periods shows what
// those wakes alone cost on the machine at the time (wake_floor_cpu_pct).
// Goals: at most 0.3 % of a core, at most 1.2 times the peer; at most 60 MB
// resident.
// Needs a display: DISPLAY=:n ./bench_idle (Xvfb will do). Starts
// ../client/zandrel, ../tests/zanbuddy and ../server/zandrel-server, each in a
// fresh folder.
#include <benchmark/benchmark.h>

#include <poll.h>

#include "ZBenchPrograms.h"

using namespace benchprograms;

namespace {

const int kBase = getenv("ZAN_PORT_BASE") ? atoi(getenv("ZAN_PORT_BASE")) : 16000 + getpid() % 900 * 20;
constexpr double kWindowSeconds = 20;
constexpr int kClipWidth = 320, kClipHeight = 240, kClipFrames = 25;

// A second of a moving 4:2:0 picture, the format the capture's file source
// reads (a camera's size; the capture loops it).
void writeClip(const std::string& path) {
    std::ofstream out(path, std::ios::binary);
    out << "YUV4MPEG2 W" << kClipWidth << " H" << kClipHeight << " F25:1 Ip A1:1 C420jpeg\n";
    std::string frame;
    for (int f = 0; f < kClipFrames; ++f) {
        frame.clear();
        for (int y = 0; y < kClipHeight; ++y)
            for (int x = 0; x < kClipWidth; ++x) frame += static_cast<char>((x + y + f * 8) & 0xFF);
        frame.append(kClipWidth * kClipHeight / 2, static_cast<char>(128));
        out << "FRAME\n" << frame;
    }
}

// The specified periods of an idle client's threads, in milliseconds: the
// UI loop (the template's 50 ms tick; the 100 ms ticks fall due with it),
// the dispatch and buddy-list loops' longest wait, the file and screen
// services' longest wait, and the upgrade service's loop.
constexpr int kSpecifiedPeriodsMs[] = {50, 500, 500, 250, 250, 1000};

// A process whose threads only sleep for those periods, again and again: what
// the wakes alone cost on this machine now.
pid_t startWakeFloor() {
    const pid_t pid = fork();
    if (pid != 0) return pid;
    std::vector<std::thread> threads;
    for (int ms : kSpecifiedPeriodsMs)
        threads.emplace_back([ms] {
            for (;;) poll(nullptr, 0, ms);
        });
    for (std::thread& t : threads) t.join();
    _exit(0);
}

void BM_IdleClientBesideThePeer(benchmark::State& state) {
    if (!getenv("DISPLAY")) {
        state.SkipWithError("no DISPLAY");
        return;
    }
    const std::string build = buildDir();
    const std::string top = std::filesystem::temp_directory_path() / ("zan-bench-idle-" + std::to_string(getpid()));
    const std::string auth = "127.0.0.1:" + std::to_string(kBase);
    // The service speaks TLS with a certificate of the run's own, which the
    // client's settings and the peer (through ZAN_TEST_CA_FILE) trust.
    std::filesystem::create_directories(top);
    const std::string cert = top + "/cert.pem", key = top + "/key.pem", clip = top + "/clip.y4m";
    const std::string make = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
                             "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
                             key + " -out " + cert + " 2> /dev/null";
    if (system(make.c_str()) != 0) {
        state.SkipWithError("cannot make a certificate");
        return;
    }
    setenv("ZAN_TEST_CA_FILE", cert.c_str(), 1);
    writeClip(clip);
    const pid_t server = start(build + "/server/zandrel-server",
                               {"--port-base", std::to_string(kBase), "--data", top + "/service",
                                "--pbkdf2-iterations", "1000", "--tls-cert", cert, "--tls-key", key},
                               top, top + "/server.out");
    if (waitFor(top + "/server.out", "ready") < 0) {
        state.SkipWithError("zandrel-server did not start");
        stop(server);
        return;
    }
    int run = 0;
    std::vector<double> clientCPU, peerCPU, cpuRatio, floorCPU, clientRSS, peerRSS, rssRatio;
    for (auto _ : state) {
        ++run;
        std::string name = "u";
        name += std::to_string(run);
        const std::string folder = top + "/client" + name, peerFolder = top + "/peer" + name;
        std::filesystem::create_directories(folder);
        std::filesystem::copy(std::string(ZAN_SOURCE_DIR) + "/skin", folder,
                              std::filesystem::copy_options::recursive);
        std::ofstream(folder + "/settings.ini")
            << "Local_User_GUID: c" << name << "\nLocal_Password: pw\nLocal_Email: c@example.org\n"
            << "AUTHENTICATE_Host: " << auth << "\nTLS_CA_File: " << cert << "\nFirst_Run_Complete: 1\nLog_Filter: cs\n";
        const std::string log = folder + "/zandrel.log";
        const std::string online = "[Getting buddy list] Changing state to 'Online'";
        // The first run makes the account; the others are plain sign-ins.
        pid_t client = start(build + "/client/zandrel", {"-norestart", "1", "-silent", "1"}, folder, folder + "/out");
        waitFor(log, online);
        stop(client);
        // Both signed in, the camera (the clip through "-avi", "avi_source")
        // or none; false when a sign-in did not finish.
        pid_t peer = 0;
        const auto signIn = [&](bool camera) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));
            std::vector<std::string> clientArgs{"-norestart", "1", "-silent", "1"};
            std::vector<std::string> peerArgs{"-auth", auth, "-user", "p" + name, "-password", "pw",
                                              "-email", "p@example.org", "-norestart", "1", "-silent", "1"};
            if (camera) {
                clientArgs.insert(clientArgs.end(), {"-avi", clip});
                peerArgs.insert(peerArgs.end(), {"-media", "1", "-avi", clip});
            }
            // The log of the run before must not answer for this one.
            std::filesystem::remove(log);
            client = start(build + "/client/zandrel", clientArgs, folder, folder + "/out");
            peer = start(build + "/tests/zanbuddy", peerArgs, peerFolder, peerFolder + "/out");
            if (waitFor(log, online) > 0 && waitFor(peerFolder + "/out", "SIPSTATUS Online") > 0) return true;
            stop(client);
            stop(peer);
            state.SkipWithError("a sign-in did not finish");
            return false;
        };

        // Idle: what an idle client costs, beside the peer and beside a
        // process that only wakes as often as the client's specified periods
        // ask (its floor).
        if (!signIn(false)) break;
        std::this_thread::sleep_for(std::chrono::seconds(10));
        const pid_t floor = startWakeFloor();
        const double c0 = cpuSeconds(client), p0 = cpuSeconds(peer), f0 = cpuSeconds(floor), t0 = seconds();
        std::this_thread::sleep_for(std::chrono::duration<double>(kWindowSeconds));
        const double elapsed = seconds() - t0;
        const double c = (cpuSeconds(client) - c0) / elapsed * 100, p = (cpuSeconds(peer) - p0) / elapsed * 100;
        floorCPU.push_back((cpuSeconds(floor) - f0) / elapsed * 100);
        clientCPU.push_back(c);
        peerCPU.push_back(p);
        cpuRatio.push_back(c / p);
        stop(floor);
        stop(client);
        stop(peer);

        // Memory: the camera feeds the thumbnails.
        if (!signIn(true)) break;
        std::this_thread::sleep_for(std::chrono::seconds(10));
        clientRSS.push_back(rssMB(client));
        peerRSS.push_back(rssMB(peer));
        rssRatio.push_back(clientRSS.back() / peerRSS.back());
        stop(client);
        stop(peer);
        state.SetIterationTime(elapsed);
    }
    const auto report = [&](const char* name, const std::vector<double>& values) {
        reportSpread(state, name, values);
    };
    report("client_cpu_pct", clientCPU);
    report("peer_cpu_pct", peerCPU);
    report("cpu_x", cpuRatio);
    report("wake_floor_cpu_pct", floorCPU);
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
