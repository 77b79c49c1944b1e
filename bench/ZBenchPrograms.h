// Helpers of the benches that run this build's programs as processes: start
// one in a folder of its own with its output in a file, wait for a text in a
// file, stop it, and read what the kernel says about it.
#pragma once

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace benchprograms {

inline double seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// The build folder: the bench runs from <build>/bench.
inline std::string buildDir() {
    char self[PATH_MAX] = {0};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    return std::filesystem::path(std::string(self, n > 0 ? n : 0)).parent_path().parent_path().string();
}

inline std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// Standard input of every program is one pipe the run keeps open.
inline int* inputPipe() {
    static int input[2] = {-1, -1};
    if (input[0] < 0 && pipe(input) != 0) input[0] = input[1] = -1;
    return input;
}

inline pid_t start(const std::string& program, const std::vector<std::string>& args, const std::string& folder,
                   const std::string& out) {
    std::filesystem::create_directories(folder);
    const int input = inputPipe()[0];
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(folder.c_str()) != 0) _exit(127);
        if (input >= 0) dup2(input, 0);
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

// The time (seconds()) at which the file first held the text, looked at
// every millisecond, or -1 after the limit.
inline double waitFor(const std::string& path, const std::string& text, double limit = 30) {
    const double since = seconds();
    while (seconds() - since < limit) {
        const double now = seconds();
        if (readAll(path).find(text) != std::string::npos) return now;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return -1;
}

inline void stop(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
}

// Processor time all the process's threads have used, in seconds, to the
// nanosecond (the scheduler's own count, not the 10 ms ticks of stat).
inline double cpuSeconds(pid_t pid) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    double total = 0;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        const std::string schedstat = readAll(task.path().string() + "/schedstat");
        total += atof(schedstat.c_str()) / 1e9;
    }
    return total;
}

inline double rssMB(pid_t pid) {
    std::istringstream status(readAll("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return atof(line.c_str() + 6) / 1024.0;
    return 0;
}

// Minimum, median and maximum of a run's figures.
struct Spread {
    double min = 0, median = 0, max = 0;
};
inline Spread spread(std::vector<double> values) {
    if (values.empty()) return {};
    std::sort(values.begin(), values.end());
    return {values.front(), values[values.size() / 2], values.back()};
}

// The spread of a run's figures as the counters <name>_min, _med and _max.
inline void reportSpread(benchmark::State& state, const std::string& name, const std::vector<double>& values) {
    const Spread s = spread(values);
    state.counters[name + "_min"] = s.min;
    state.counters[name + "_med"] = s.median;
    state.counters[name + "_max"] = s.max;
}

}  // namespace benchprograms
