// A program body standing in for the client, so tests can drive the
// process entry, its guards, the crash handler and the restart for real.
// "-standin <what>" picks what the body does; without it the body quits at
// once, which is what a restarted stand-in does.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "ZNonPortable.h"
#include "ZObject.h"
#include "ZOptionMap.h"
#include "ZThreadObject.h"
#include "ZUtil.h"
#include "ZUtil_LogFile.h"
#include "ZWinMain.h"

namespace {

__attribute__((no_sanitize("address", "undefined"))) void writeNull(void*) {
    ZTRACE();
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
}

// Two threads that fault at the same moment.
std::atomic<int> g_arrived{0};
__attribute__((no_sanitize("address", "undefined"))) void arriveAndWriteNull(void*) {
    g_arrived.fetch_add(1);
    while (g_arrived.load() < 2) {
    }
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
}

int checkedValue(int value) {
    ZTRACE();
    return value;
}

// Fails with a scope closed just before, which the crash dump marks "*".
void failPrecondition(int value) {
    ZTRACE();
    value = checkedValue(value);
    ZPRECONDITION(value > 0);
}

// Tells the test, from inside the running loop, that the body is there.
class ZReady : public IZTimerListener {
public:
    ZReady() : _timer(ZTimerOpen(10000, this)) {}
    ~ZReady() override { close(); }
    void onTimer(ZTimer*) override {
        ZLOG(L"stand-in ready");
        close();
    }

private:
    void close() {
        if (_timer) ZTimerClose(_timer);
        _timer = nullptr;
    }
    ZTimer* _timer;
};

}  // namespace

int ZWinMain(void* hInstance, void* hPrevInstance, char* lpCmdLine, int nShowCmd) {
    ZTRACE();
    ZPRECONDITION(!hPrevInstance);
    (void)hInstance;
    (void)nShowCmd;
    ZOptionMap options(lpCmdLine ? lpCmdLine : "");
    const std::string what = options.get("standin");
    // The tests follow the body through its output: every line, not only
    // what the program's terminal filter lets through.
    ZLogSetEchoFilter(nullptr);
    ZLOG(L"stand-in body runs");
    if (what.empty() || what == "quit") {
        ZWinPostQuit(0);
    } else if (what == "restart") {
        ZWinPostQuit(1);
    } else if (what == "nullthread") {
        ZThreadOpen(L"StandIn.Faulty", writeNull, nullptr);
    } else if (what == "twothreads") {
        ZThreadOpen(L"StandIn.FaultyA", arriveAndWriteNull, nullptr);
        ZThreadOpen(L"StandIn.FaultyB", arriveAndWriteNull, nullptr);
    } else if (what == "throw") {
        throw std::runtime_error("stand-in body threw");
    } else if (what == "precondition") {
        failPrecondition(0);
    }
    // "wait" (and the crashes above) stay in the loop until quit or crash.
    ZReady ready;
    bool restart = false;
    while (ZWinUpdate(&restart)) {
    }
    return restart;
}

int main(int argc, char** argv) {
    // The test reads the whole command line of each run here.
    std::string all;
    for (int i = 0; i < argc; ++i) {
        if (i) all += ' ';
        all += argv[i];
    }
    std::printf("stand-in pid %d argv: %s\n", static_cast<int>(getpid()), all.c_str());
    std::fflush(stdout);
    return ZProcessMain(argc, argv);
}
