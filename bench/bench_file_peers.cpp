// A file between two real peers: zandrel-server of this run and two headless
// peers (../tests/zanbuddy) signed in to it as buddies, on loopback. Alice
// offers a file of ZAN_BENCH_MB MiB (1 GiB unless told) to Bob, who takes it
// at once; timed from the offer taken (Bob's "SENDFILE") to the file
// complete on his side ("RECVFILECOMPLETE Done"), the sender's scan and the
// receiver's verification included. The reference, in the same run: socat
// copying the same file over TCP on loopback into a file of the same
// folder. Reported: both rates, their ratio (goal: at least 0.4), 3 runs
// min/median/max, and the processor share of each service thread of both
// peers during the transfers.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <map>

#include "ZBenchPrograms.h"

using namespace benchprograms;

namespace {

const int kBase = getenv("ZAN_PORT_BASE") ? atoi(getenv("ZAN_PORT_BASE")) : 17000 + getpid() % 700 * 20;
const std::size_t kFileSize = (getenv("ZAN_BENCH_MB") ? std::stoul(getenv("ZAN_BENCH_MB")) : 1024) << 20;

// One program with its standard input a pipe of its own and its output in a file.
struct Program {
    pid_t pid = -1;
    int input = -1;
    std::string out;

    Program(const std::string& program, const std::vector<std::string>& args, const std::string& folder)
        : out(folder + "/out") {
        std::filesystem::create_directories(folder);
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        pid = fork();
        if (pid == 0) {
            dup2(fds[0], 0);
            const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 1);
            dup2(fd, 2);
            if (chdir(folder.c_str()) != 0) _exit(127);
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(fds[0]);
        input = fds[1];
    }
    ~Program() {
        if (input >= 0) close(input);
        stop(pid);
    }
    void command(const std::string& line) {
        const std::string bytes = line + "\n";
        if (write(input, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return;
    }
    // The first output line that begins with the text, looked for from the
    // given offset of the output on; "" after the limit.
    std::string lineFrom(const std::string& text, std::size_t from = 0, double limit = 30) {
        const double since = seconds();
        while (seconds() - since < limit) {
            const std::string all = readAll(out);
            std::size_t at = all.find(text, from);
            while (at != std::string::npos && at > 0 && all[at - 1] != '\n') at = all.find(text, at + 1);
            const std::size_t end = at == std::string::npos ? at : all.find('\n', at);
            if (end != std::string::npos) return all.substr(at, end - at);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return std::string();
    }
    std::size_t outputSize() { return readAll(out).size(); }
};

// Processor seconds of each thread of the process, by thread name.
std::map<std::string, double> threadSeconds(pid_t pid) {
    std::map<std::string, double> byName;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::string name = readAll(task.path().string() + "/comm");
        if (!name.empty() && name.back() == '\n') name.pop_back();
        byName[name] += atof(readAll(task.path().string() + "/schedstat").c_str()) / 1e9;
    }
    return byName;
}

std::string randomFile(const std::string& path, std::size_t size) {
    std::FILE* fp = std::fopen(path.c_str(), "wbe");
    std::string chunk(1 << 20, '\0');
    unsigned seed = 7;
    for (std::size_t written = 0; written < size; written += chunk.size()) {
        for (char& c : chunk) c = static_cast<char>((seed = seed * 1103515245 + 12345) >> 16);
        std::fwrite(chunk.data(), 1, std::min(chunk.size(), size - written), fp);
    }
    std::fclose(fp);
    return path;
}

// Seconds socat takes to copy the file over TCP on loopback into target.
double socatSeconds(const std::string& source, const std::string& target, int port) {
    const std::string listen = "TCP-LISTEN:" + std::to_string(port) + ",bind=127.0.0.1,reuseaddr";
    const pid_t receiver = fork();
    if (receiver == 0) {
        execlp("socat", "socat", "-u", listen.c_str(), ("CREATE:" + target).c_str(), nullptr);
        _exit(127);
    }
    // The listener is up once its port refuses no more.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double start = seconds();
    const pid_t sender = fork();
    if (sender == 0) {
        execlp("socat", "socat", "-u", ("OPEN:" + source).c_str(), ("TCP:127.0.0.1:" + std::to_string(port)).c_str(),
               nullptr);
        _exit(127);
    }
    int status = 0;
    waitpid(sender, &status, 0);
    waitpid(receiver, &status, 0);
    const double end = seconds();
    return std::filesystem::file_size(target) == std::filesystem::file_size(source) ? end - start : -1;
}

std::string guidOf(Program& peer) {
    const std::string line = peer.lineFrom("AUTHENTICATED ");
    return line.empty() || peer.lineFrom("SIPSTATUS Online").empty() ? std::string() : line.substr(14);
}

void BM_FileBetweenPeersAgainstSocat(benchmark::State& state) {
    const std::string build = buildDir();
    const std::string top = std::filesystem::temp_directory_path() / ("zan-bench-files-" + std::to_string(getpid()));
    const std::string auth = "127.0.0.1:" + std::to_string(kBase);
    std::filesystem::create_directories(top);
    const pid_t server = start(build + "/server/zandrel-server",
                               {"--bind", "127.0.0.1", "--port-base", std::to_string(kBase), "--data", top + "/service",
                                "--relay-port-low", std::to_string(kBase + 10), "--relay-port-count", "10",
                                "--pbkdf2-iterations", "1000", "--relay-private-targets", "1",
                                "--insecure-plain-http"},
                               top, top + "/server.out");
    if (waitFor(top + "/server.out", "ready") < 0) {
        state.SkipWithError("zandrel-server did not start");
        stop(server);
        return;
    }
    const auto peer = [&](const std::string& name) {
        std::filesystem::create_directories(top + "/" + name);
        std::ofstream(top + "/" + name + "/settings.ini") << "TLS_Plain_Hosts: " << auth << "\n";
        return std::make_unique<Program>(build + "/tests/zanbuddy",
                                         std::vector<std::string>{"-auth", auth, "-user", name, "-password", "secret",
                                                                  "-email", name + "@example.org", "-upnp",
                                                                  "http://127.0.0.1:1/rootDesc.xml", "-norestart", "1",
                                                                  "-silent", "1"},
                                         top + "/" + name);
    };
    std::unique_ptr<Program> alice = peer("alice");
    const std::string aliceGUID = guidOf(*alice);
    std::unique_ptr<Program> bob = peer("bob");
    const std::string bobGUID = guidOf(*bob);
    if (aliceGUID.empty() || bobGUID.empty()) {
        state.SkipWithError("a peer did not sign in");
        stop(server);
        return;
    }
    alice->command("addbuddy " + bobGUID);
    if (alice->lineFrom("POST ZVideoCaptureService_commandQueue OPEN ").empty() ||
        bob->lineFrom("POST ZVideoCaptureService_commandQueue OPEN ").empty()) {
        state.SkipWithError("the buddies did not connect");
        stop(server);
        return;
    }

    const std::string source = randomFile(top + "/alice/payload.bin", kFileSize);
    std::vector<double> peerRate, socatRate, ratio;
    std::map<std::string, double> cpu;  // "send_"/"recv_" + thread name: seconds
    double transferSeconds = 0;
    for (auto _ : state) {
        std::filesystem::remove_all(top + "/bob/downloads");
        const std::size_t seen = bob->outputSize();
        alice->command("sendfile " + bobGUID + " " + source);
        if (bob->lineFrom("SENDFILE " + aliceGUID, seen).empty()) {
            state.SkipWithError("the offer did not come");
            break;
        }
        const double start = seconds();
        const auto sendBefore = threadSeconds(alice->pid), recvBefore = threadSeconds(bob->pid);
        const std::string outcome = bob->lineFrom("RECVFILECOMPLETE ", seen, 600);
        const double elapsed = seconds() - start;
        // Threads that came during the transfer (the digest's) count whole.
        const auto since = [](const std::map<std::string, double>& before, const std::string& name) {
            const auto found = before.find(name);
            return found == before.end() ? 0.0 : found->second;
        };
        for (const auto& [name, s] : threadSeconds(alice->pid)) cpu["send_" + name] += s - since(sendBefore, name);
        for (const auto& [name, s] : threadSeconds(bob->pid)) cpu["recv_" + name] += s - since(recvBefore, name);
        if (outcome.rfind("RECVFILECOMPLETE Done ", 0) != 0) {
            state.SkipWithError(("the transfer ended " + outcome).c_str());
            break;
        }
        transferSeconds += elapsed;
        state.SetIterationTime(elapsed);
        peerRate.push_back(kFileSize / elapsed / 1e6);

        const std::string copy = top + "/bob/socat.bin";
        const double socat = socatSeconds(source, copy, kBase + 5);
        std::filesystem::remove(copy);
        if (socat <= 0) {
            state.SkipWithError("socat did not copy the file");
            break;
        }
        socatRate.push_back(kFileSize / socat / 1e6);
        ratio.push_back(peerRate.back() / socatRate.back());
    }
    const auto report = [&](const char* name, const std::vector<double>& values) {
        reportSpread(state, name, values);
    };
    report("peers_MBps", peerRate);
    report("socat_MBps", socatRate);
    report("ratio", ratio);
    // Each thread's share of a core during the transfers, the busy ones only.
    for (const auto& [name, s] : cpu)
        if (transferSeconds > 0 && s / transferSeconds >= 0.005) state.counters[name] = s / transferSeconds;
    alice.reset();
    bob.reset();
    stop(server);
    std::error_code ignored;
    std::filesystem::remove_all(top, ignored);
}
BENCHMARK(BM_FileBetweenPeersAgainstSocat)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
