// scripts/run.sh run twice at once, as two people on one machine do: each
// run gets a client in a folder of its own against the one service, which
// outlives the first client and stops with the last.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "ZTestSupport.h"

namespace {

// The tree's own script, beside the tests' data folder (tests/data).
std::string scriptPath() {
    std::string top = ZAN_TEST_DATA;
    top.resize(top.size() - std::string("/tests/data").size());
    return top + "/scripts/run.sh";
}

std::int64_t nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// Reaps the pid when it is a child of ours that ended.
bool alive(pid_t pid) {
    int status;
    if (waitpid(pid, &status, WNOHANG) == pid) return false;
    return kill(pid, 0) == 0;
}

// Polls the condition until it holds or the patience runs out.
template <typename Condition>
bool waitUntil(Condition condition, std::int64_t patienceMs) {
    const std::int64_t end = nowMs() + patienceMs;
    while (!condition()) {
        if (nowMs() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// One run of the script in a process group of its own (the script and its
// client; the service it may start leaves the group), with what the build
// tree holds and no build step.
class ScriptRun {
public:
    ScriptRun(const std::string& runDir, int portBase, const std::string& output) {
        const std::string script = scriptPath();
        _pid = fork();
        if (_pid == 0) {
            setpgid(0, 0);
            setenv("ZAN_SKIP_BUILD", "1", 1);
            setenv("ZAN_BUILD_DIR", ZAN_BUILD_DIR, 1);
            setenv("ZAN_RUN_DIR", runDir.c_str(), 1);
            setenv("ZAN_PORT_BASE", std::to_string(portBase).c_str(), 1);
            if (!freopen(output.c_str(), "w", stdout) || !freopen(output.c_str(), "a", stderr)) _exit(126);
            execlp("bash", "bash", script.c_str(), "-norestart", "1", static_cast<char*>(nullptr));
            _exit(127);
        }
        if (_pid > 0) setpgid(_pid, _pid);
    }
    ~ScriptRun() {
        if (_pid > 0 && alive(_pid)) {
            kill(-_pid, SIGKILL);
            waitpid(_pid, nullptr, 0);
        }
    }
    // Ends the client as Ctrl-C would and waits for the script; its status.
    int interrupt(std::int64_t patienceMs) {
        kill(-_pid, SIGINT);
        int status = -1;
        waitUntil([&] { return waitpid(_pid, &status, WNOHANG) == _pid; }, patienceMs);
        _pid = -1;
        return status;
    }
    bool running() const { return _pid > 0 && kill(_pid, 0) == 0; }

private:
    pid_t _pid = -1;
};

pid_t servicePid(const std::string& runDir) {
    return static_cast<pid_t>(std::atoi(ZTestReadFile(runDir + "/service/service.pid").c_str()));
}

}  // namespace

TEST(RunScript, ASecondRunStartsAnotherClientInItsOwnFolderAndTheServiceOutlivesTheFirst) {
    ZTempDir dir;
    const std::string run = dir.file("run");
    const int base = 3000 + static_cast<int>(getpid() % 400) * 20;
    ScriptRun first(run, base, dir.file("first.out"));
    ASSERT_TRUE(waitUntil([&] { return exists(run + "/client-1/zandrel.log"); }, 60000))
        << ZTestReadFile(dir.file("first.out"));
    const pid_t service = servicePid(run);
    ASSERT_GT(service, 0);
    ASSERT_TRUE(alive(service));

    ScriptRun second(run, base, dir.file("second.out"));
    ASSERT_TRUE(waitUntil([&] { return exists(run + "/client-2/zandrel.log"); }, 60000))
        << ZTestReadFile(dir.file("second.out"));
    // The same service, started once.
    EXPECT_EQ(servicePid(run), service);
    const std::string out = ZTestReadFile(run + "/service/service.out");
    EXPECT_EQ(out.find("ready"), out.rfind("ready")) << out;
    // Each client has its settings pointing at the service, and nothing of the
    // service lives in a client's folder.
    for (const std::string client : {"/client-1", "/client-2"}) {
        EXPECT_NE(ZTestReadFile(run + client + "/settings.ini").find("AUTHENTICATE_Host: 127.0.0.1:" +
                                                                      std::to_string(base)),
                  std::string::npos)
            << client;
        for (const char* name : {"service.log", "service.out", "service.pid", "zandrel.db", "logs", "upgrades"})
            EXPECT_FALSE(exists(run + client + "/" + name)) << client << "/" << name;
    }
    EXPECT_TRUE(exists(run + "/service/service.log"));

    // The first client ends: the second and the service go on.
    EXPECT_NE(first.interrupt(60000), -1);
    EXPECT_TRUE(second.running());
    EXPECT_TRUE(alive(service));
    EXPECT_TRUE(exists(run + "/service/service.pid"));

    // The last one ends: so does the service.
    EXPECT_NE(second.interrupt(60000), -1);
    EXPECT_TRUE(waitUntil([&] { return !alive(service); }, 30000));
    EXPECT_FALSE(exists(run + "/service/service.pid"));
}
