#include "ZClientFixture.h"

#include <unistd.h>

#include <chrono>

#include "ZNonPortable.h"
#include "ZObject.h"
#include "ZPortable.h"
#include "ZTestTLS.h"

namespace clienttest {

std::int64_t g_now = 0;
std::list<std::wstring> g_addresses;
double g_processCPU = 0;
std::map<std::wstring, double> g_threadCPU;
std::wstring g_saveAnswer;
bool g_muted = false;
float g_volume = 1.0f;

Recorded& recorded() {
    static Recorded r;
    return r;
}

namespace {

class RecordingTemplate : public IZClientTemplate {
public:
    void executeCommand(const std::wstring& command) override { recorded().commands.push_back(command); }
    void onHotkeyDown(ZHotkey*, const std::wstring& name) override { recorded().commands.push_back(L"down " + name); }
    void onHotkeyUp(ZHotkey*, const std::wstring& name) override { recorded().commands.push_back(L"up " + name); }
    void broadcastToBuddy(const std::wstring& buddy, const ZHTTPHeaders& message) override {
        recorded().broadcasts.emplace_back(buddy, message.serialize());
    }
    void logCHAT(const std::wstring& buddy, const ZHTTPHeaders& message) override {
        recorded().chats.emplace_back(buddy, message.serialize());
    }
};

IZClientTemplate* makeRecording(ZInstance*, const std::wstring&) { return new RecordingTemplate; }

}  // namespace

void ClientFixture::SetUp() {
    char buffer[4096];
    oldFolder = getcwd(buffer, sizeof buffer) ? buffer : ".";
    ASSERT_EQ(chdir(dir.path().c_str()), 0);
    ZInitializeNonPortable(nullptr);
    // Each client adds its settings' filter to the current one.
    ZLogSetFilter("");
    recorded() = Recorded();
    g_now = 1000000000000;
    g_addresses = {L"127.0.0.1", L"10.1.2.3"};
    g_processCPU = 0;
    g_threadCPU.clear();
    g_saveAnswer.clear();
    g_muted = false;
    g_volume = 1.0f;
    ZClientSetTemplateFactory(makeRecording);
    ZClientSources sources;
    sources.clock = [] { return g_now; };
    sources.listIPs = [](std::list<std::wstring>& list) {
        list = g_addresses;
        return true;
    };
    sources.performance = [](double& process, std::map<std::wstring, double>& threads) {
        process = g_processCPU;
        threads = g_threadCPU;
    };
    sources.saveFileDialog = [](const std::wstring&, const std::wstring&) { return g_saveAnswer; };
    sources.getMute = [] { return g_muted; };
    sources.setMute = [](bool mute) { g_muted = mute; };
    sources.getVolume = [] { return g_volume; };
    sources.setVolume = [](float volume) { g_volume = volume; };
    sources.idleServices = true;
    ZClientSetSources(sources);
}

void ClientFixture::TearDown() {
    stop();
    ZClientSetSources(ZClientSources());
    ZClientSetTemplateFactory(nullptr);
    ZUninitializeNonPortable();
    ASSERT_EQ(chdir(oldFolder.c_str()), 0);
}

ZClient& ClientFixture::start(const std::string& settings, const std::wstring& host, bool upgraded,
                              bool uploadLogfiles, bool forceTurn) {
    // The scripted hosts present the test certificate; the settings end at
    // their first empty line, so its CA goes first.
    const bool ownCA = settings.find("TLS_CA_File") != std::string::npos;
    ZTestWriteFile(dir.file("settings.ini"),
                   ownCA ? settings : "TLS_CA_File: " + zantest::testCertificate().ca + "\n" + settings);
    client = ZSAFENEW(ZClient, L"settings.ini", L"", host, L"", upgraded, uploadLogfiles, forceTurn);
    return *client;
}

void ClientFixture::stop() {
    delete client;
    client = nullptr;
}

bool ClientFixture::pumpUntil(const std::function<bool()>& condition, int patienceMs) {
    // Ends each run of the loop after 10 ms, so the condition is looked at.
    struct Quitter : IZTimerListener {
        void onTimer(ZTimer*) override { ZWinPostQuit(0); }
    } quitter;
    ZTimer* quit = ZTimerOpen(10000, &quitter);
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(patienceMs);
    bool held = condition();
    while (!held && std::chrono::steady_clock::now() < end) {
        bool restart = false;
        ZWinUpdate(&restart);
        held = condition();
    }
    ZTimerClose(quit);
    return held;
}

std::vector<std::string> ClientFixture::posts() {
    std::vector<std::string> out;
    const std::pair<const wchar_t*, const char*> queues[] = {
        {L"ZDispatchService_commandQueue", "Dispatch"}, {L"ZSIPService_commandQueue", "SIP"},
        {L"ZFileService_commandQueue", "File"},         {L"ZScreenService_commandQueue", "Screen"},
        {L"ZLogfileService_commandQueue", "Logfile"},   {L"ZClient_commandQueue", "Client"}};
    for (const auto& [queue, name] : queues) {
        std::string item;
        while (store().dequeue(queue, item)) {
            ZHTTPHeaders message;
            message.deserialize(item);
            out.push_back(std::string(name) + ":" + ZToUTF8(message.getMethod()));
        }
    }
    return out;
}

}  // namespace clienttest
