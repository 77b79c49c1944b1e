// The zandrel program against a zandrel-server of this run, beside the
// headless peer zanbuddy: start to 'Online' (and the sign-in answer to
// 'Online'), and the resident memory 10 s later, each as a ratio to the peer.
// Starts the programs built beside this one (../client/zandrel,
// ../tests/zanbuddy, ../server/zandrel-server), each in a fresh folder.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const int kBase = getenv("ZAN_PORT_BASE") ? atoi(getenv("ZAN_PORT_BASE")) : 14000 + getpid() % 900 * 20;

double seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

std::string buildDir() {
    char self[PATH_MAX] = {0};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    return std::filesystem::path(std::string(self, n > 0 ? n : 0)).parent_path().parent_path().string();
}

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Standard input is a pipe the run keeps open: the peer ends at its end.
int g_input[2] = {-1, -1};

pid_t start(const std::string& program, const std::vector<std::string>& args, const std::string& folder,
            const std::string& out) {
    std::filesystem::create_directories(folder);
    if (g_input[0] < 0 && pipe(g_input) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(folder.c_str()) != 0) _exit(127);
        dup2(g_input[0], 0);
        const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 1);
        dup2(fd, 2);
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

// Seconds until the file holds the text, or -1 after the limit.
double waitFor(const std::string& path, const std::string& text, double since, double limit = 30) {
    while (seconds() - since < limit) {
        if (readAll(path).find(text) != std::string::npos) return seconds() - since;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return -1;
}

double rssMB(pid_t pid) {
    std::istringstream status(readAll("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return atof(line.c_str() + 6) / 1024.0;
    return 0;
}

void stop(pid_t pid) {
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

void BM_ClientBesideThePeer(benchmark::State& state) {
    const std::string build = buildDir();
    const std::string top = std::filesystem::temp_directory_path() / ("zan-bench-client-" + std::to_string(getpid()));
    const std::string auth = "127.0.0.1:" + std::to_string(kBase);
    // The service speaks TLS with a certificate of the run's own, which the
    // client's settings and the peer (through ZAN_TEST_CA_FILE) trust.
    std::filesystem::create_directories(top);
    const std::string cert = top + "/cert.pem", key = top + "/key.pem";
    const std::string make = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 2 "
                             "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout " +
                             key + " -out " + cert + " 2> /dev/null";
    if (system(make.c_str()) != 0) {
        state.SkipWithError("cannot make a certificate");
        return;
    }
    setenv("ZAN_TEST_CA_FILE", cert.c_str(), 1);
    const pid_t server = start(build + "/server/zandrel-server",
                               {"--port-base", std::to_string(kBase), "--data", top + "/service",
                                "--pbkdf2-iterations", "1000", "--tls-cert", cert, "--tls-key", key},
                               top, top + "/server.out");
    if (waitFor(top + "/server.out", "ready", seconds()) < 0) {
        state.SkipWithError("zandrel-server did not start");
        stop(server);
        return;
    }
    int run = 0;
    double clientOnline = 0, peerOnline = 0, answerToOnline = 0, clientRSS = 0, peerRSS = 0;
    for (auto _ : state) {
        ++run;
        std::string name = "u";
        name += std::to_string(run);  // gcc 12 misreads "u" + std::to_string at -O3 (-Wrestrict)
        // The client's account is made first, so both measure a plain sign-in.
        const std::string clientFolder = top + "/client" + name;
        std::filesystem::create_directories(clientFolder);
        std::ofstream(clientFolder + "/settings.ini")
            << "Local_User_GUID: c" << name << "\nLocal_Password: pw\nLocal_Email: c@example.org\n"
            << "AUTHENTICATE_Host: " << auth << "\nTLS_CA_File: " << cert << "\nFirst_Run_Complete: 1\nLog_Filter: c\n";
        // A skin without windows: this measures the sign-in, not the drawing.
        std::ofstream(clientFolder + "/template.xml") << "<skin></skin>\n";
        pid_t client = start(build + "/client/zandrel", {"-norestart", "1", "-silent", "1"}, clientFolder,
                             clientFolder + "/out");
        waitFor(clientFolder + "/zandrel.log", "Changing state to 'Online'", seconds());
        stop(client);
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));

        double t0 = seconds();
        client = start(build + "/client/zandrel", {"-norestart", "1", "-silent", "1"}, clientFolder,
                       clientFolder + "/out");
        const double answered = waitFor(clientFolder + "/zandrel.log", "Request 'AUTHENTICATE' succeeded", t0);
        const double online = waitFor(clientFolder + "/zandrel.log", "[Connecting...] Changing state to 'Online'", t0);
        const std::string peerFolder = top + "/peer" + name;
        const double t1 = seconds();
        const pid_t peer = start(build + "/tests/zanbuddy",
                                 {"-auth", auth, "-user", "p" + name, "-password", "pw", "-email", "p@example.org",
                                  "-norestart", "1", "-silent", "1"},
                                 peerFolder, peerFolder + "/out");
        const double peerConnected = waitFor(peerFolder + "/out", "NOTIFY CONNECTED", t1);
        std::this_thread::sleep_for(std::chrono::seconds(10));
        clientRSS += rssMB(client);
        peerRSS += rssMB(peer);
        stop(client);
        stop(peer);
        clientOnline += online;
        peerOnline += peerConnected;
        answerToOnline += online - answered;
        state.SetIterationTime(online);
    }
    state.counters["client_start_to_online_s"] = clientOnline / run;
    state.counters["peer_start_to_connected_s"] = peerOnline / run;
    state.counters["online_ratio_to_peer"] = clientOnline / peerOnline;
    state.counters["auth_answer_to_online_s"] = answerToOnline / run;
    state.counters["client_rss_mb"] = clientRSS / run;
    state.counters["peer_rss_mb"] = peerRSS / run;
    state.counters["rss_ratio_to_peer"] = clientRSS / peerRSS;
    stop(server);
    std::error_code ignored;
    std::filesystem::remove_all(top, ignored);
}
BENCHMARK(BM_ClientBesideThePeer)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
