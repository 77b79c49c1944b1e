// Child processes for the tests that run our programs: start one with its
// standard streams redirected, wait on its output, and always reap it.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace zantest {

// Whether the descriptor has something to read within the time.
bool readable(int fd, int timeoutMs);

// Waits for the child within the time; false when it is still running.
bool reap(pid_t pid, int timeoutMs);
// Waits likewise; the child's exit code (128 + the signal that ended it), or
// -1 when it is still running.
int reapExitCode(pid_t pid, int timeoutMs);

// Sends the signal (after SIGCONT, so a frozen child can take it), waits, and
// kills outright when it does not end; pid becomes -1.
void finish(pid_t& pid, int signal);

// Starts program with args in folder (the current one when empty); in < 0
// leaves standard input alone.
pid_t spawn(const std::string& program, const std::vector<std::string>& args, const std::string& folder, int in,
            int out, int err);

}  // namespace zantest

namespace zantest {

// Starts zandrel-server on 127.0.0.1 at the port base (relay allocations
// from base + 10), its standard error appended to logPath, and waits up to
// 20 s for its ready line: the server's pid, or -1 when it did not come up
// (a base in use makes it exit at once). readyLine, when given, gets the line.
pid_t startServerAt(const std::string& program, int base, const std::string& dataFolder,
                    const std::string& logPath, const std::vector<std::string>& extraArgs,
                    std::string* readyLine = nullptr);

}  // namespace zantest
