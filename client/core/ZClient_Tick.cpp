// The client's 100 ms tick: drains "ZClient_commandQueue" into the state
// machine, pumps the sign-in request, gives the machine its tick, and once a
// second looks for a network change and measures the CPU use.
#include <algorithm>
#include <map>

#include "ZClient.h"
#include "ZHTTPClient.h"
#include "ZInstance.h"
#include "ZPortable.h"
#include "ZUtil.h"

namespace {

constexpr std::int64_t kRequestWait = 50000;
constexpr std::size_t kMostBusyThreads = 50;

}  // namespace

void ZClient::onTimer(ZTimer* timer) {
    ZTRACE();
    invariantTest();
    if (timer == _signInTimer && timer) {
        _pumpSignIn();
        return;
    }
    if (timer != _timer) {
        ZLOG(_context() << L"WARNING: Assertion failed. (timer == _timer)");
    }
    if (_modal > 0) {
        // A modal part (the save dialog, the tray menu) runs inside a handler
        // of the state machine: only the sign-in is kept moving meanwhile.
        if (_httpClient) _httpClient->update(kRequestWait);
        return;
    }
    if (_instance->changes() != _drainedChanges) _drainCommands();
    if (_httpClient) _httpClient->update(kRequestWait);
    _onInput(1, ZHTTPHeaders());
    if (_httpClient && !_httpClient->isAlive()) {
        ZASSERT_PTR(_httpClient);
        delete _httpClient;
        _httpClient = nullptr;
    }
    const std::int64_t now = _now();
    if (now - _networkInterval.start > _networkInterval.period) {
        _networkInterval.start = now;
        _checkNetwork();
        _logPerformance();
    }
    _publishTrayPresence();
    const std::uint64_t changes = _instance->changes();
    if (changes != _upgradeChanges) {
        _upgradeChanges = changes;
        // The service clears the address when a download ends, finished or refused.
        _downloading = _instance->test(L"Upgrade_In_Progress") && _instance->isSet(L"Local_Upgrade_URL");
        if (_downloading)
            _downloadText = L"Upgrading: " + ZFormatByteSize(_instance->calc(L"Upgrade_Bytes_Downloaded")) +
                            L" downloaded...";
    }
    if (_downloading)
        ZIconSetText(_icon, _downloadText);
    else if (_showingUpgrade)
        ZIconSetText(_icon, _instance->get(L"Client_Status"));
    _showingUpgrade = _downloading;
    if (_stopDeadline && now >= _stopDeadline) {
        ZLOG(_context() << L"WARNING Sign-off did not end in time, quitting anyway.");
        _stopDeadline = 0;
        ZWinPostQuit(0);
    }
}

void ZClient::_drainCommands() {
    const std::uint64_t changes = _instance->changes();
    std::string item;
    while (_instance->dequeue(L"ZClient_commandQueue", item)) {
        ZHTTPHeaders message;
        if (message.deserialize(item) <= 0) continue;
        _onInput(0, message);
    }
    // Whatever came after the count was taken changed it again.
    _drainedChanges = changes;
}

void ZClient::onNotification(int, std::int64_t) {
    ZTRACE();
    // A modal part runs inside a handler: the tick takes the queue afterwards.
    if (_modal > 0) return;
    _drainCommands();
}

void ZClient::_pumpSignIn() {
    if (!_httpClient || _state != Authenticating || _modal > 0) {
        if (_signInTimer) ZTimerClose(_signInTimer);
        _signInTimer = nullptr;
        return;
    }
    _httpClient->update(0);
    ZHTTPHeaders response;
    if (_httpClient->recv(response)) _takeAuthenticateAnswer(response);
}

void ZClient::_checkNetwork() {
    ZTRACE();
    std::list<std::wstring> addresses;
    _sources.listIPs(addresses);
    if (addresses == _localIPs) return;
    _activity(L"NETWORK CHANGE");
    _onInput(12, ZHTTPHeaders());
    _localIPs = addresses;
}

void ZClient::_logPerformance() {
    ZTRACE();
    double process = 0;
    std::map<std::wstring, double> threads;
    _sources.performance(process, threads);
    if (_instance->test(L"Enable_Tread_CPU_Tracking")) {
        std::list<std::wstring> names;
        for (const auto& [name, figure] : threads) {
            _instance->set(name + L"_CPU", ZToString(figure, 2) + L"%", false);
            names.push_back(name);
        }
        _instance->set(L"Thread_List", names, false);
        _instance->set(L"Process_CPU", ZToString(process, 2) + L"%", false);
    }
    if (!(static_cast<double>(_instance->calc(L"CPU_Log_Threshold")) < process)) return;
    // Keyed by figure: of two threads with the same figure the later name stays.
    std::map<double, std::wstring> busy;
    for (const auto& [name, figure] : threads)
        if (figure > 0) busy[figure] = name;
    std::wstring line = L"WARNING CPU at ";
    line << ZToString(process, 2) << L"% (";
    std::size_t listed = 0;
    for (auto it = busy.rbegin(); it != busy.rend() && listed < kMostBusyThreads; ++it, ++listed)
        line << L"'" << it->second << L"'=" << ZToString(it->first, 2) << L"% ";
    line << L")";
    ZLOG(_context() << line);
}
