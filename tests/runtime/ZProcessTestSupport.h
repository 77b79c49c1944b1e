// Runs the stand-in program as a child process in a folder of the test's
// own, reads what it prints, and reaps it together with every process it
// leaves behind (restarts, installers): the test process adopts orphans as
// a child subreaper. Every wait is bounded.
#pragma once

#include <sys/types.h>

#include "ZTestSupport.h"

#include <memory>
#include <set>
#include <string>
#include <vector>

class ZChildProcesses {
public:
    ZChildProcesses();
    // Kills and reaps whatever is still running.
    ~ZChildProcesses();

    // Starts the stand-in in folder with the arguments; its standard output
    // and error go to one pipe. display: the DISPLAY to pass, "" for none.
    // asUser: run under that user id (and group) instead of ours; needs root.
    pid_t start(const std::string& folder, const std::vector<std::string>& args, const std::string& display = "",
                int asUser = -1);
    // Reads until the text appears (true) or the output ends or the limit
    // passes (false).
    bool readUntil(const std::string& text, int limitMs = 20000);
    // Reads until every writer closed the pipe, then reaps the child and
    // every stand-in run that followed it; false when the limit passed first.
    bool finish(int limitMs = 30000);
    // The exit status of the first child (-1 when unknown or signalled).
    int status() const { return _status; }
    const std::string& output() const { return _output; }
    // Pids the stand-ins printed, in order.
    std::vector<pid_t> runs() const;
    static std::string standInPath();

private:
    bool reapAll(int limitMs);
    std::string reachableStandIn();
    std::unique_ptr<ZTempDir> _copyDir;
    pid_t _first = -1;
    int _fd = -1;
    int _signalFd = -1;
    int _status = -1;
    std::string _output;
    std::set<pid_t> _reaped;
};

// The archived logs in the folder whose names end with the suffix.
std::vector<std::string> ZArchivedLogs(const std::string& folder, const std::string& suffix);
