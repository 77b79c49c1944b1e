// The upgrade download with its signature check.
#include "ZUpgradeService.h"

#include <cstdio>

#include "ZHTTPClient.h"
#include "ZInstance.h"
#include "ZPortable.h"
#include "ZUpgradeSignature.h"
#include "ZUtil.h"

#ifndef ZAN_UPGRADE_PUBLIC_KEY_HEX
#define ZAN_UPGRADE_PUBLIC_KEY_HEX ""
#endif

namespace {

std::string g_publicKey = ZAN_UPGRADE_PUBLIC_KEY_HEX;

std::int64_t platformClock() { return ZTimeNow(); }

const wchar_t kUpgradeFile[] = L"upgrade.exe";
const wchar_t kPartialFile[] = L"upgrade.exe.part";

}  // namespace

void ZUpgradeSetPublicKey(const std::string& hexKey) { g_publicKey = hexKey; }

std::string ZUpgradeGetPublicKey() { return g_publicKey; }

ZUpgradeService::ZUpgradeService(ZInstance* instance) : _instance(instance), _clock(platformClock) {
    ZTRACE_KIND("ZUpgradeService");
    ZPRECONDITION(instance);
}

ZUpgradeService::~ZUpgradeService() { ZTRACE(); }

void ZUpgradeService::invariantTest() {
    ZASSERT_PTR(_instance);
    ZThreadObject::invariantTest();
}

void ZUpgradeService::setClock(ZUpgradeClock clock) { _clock = clock ? clock : platformClock; }

void ZUpgradeService::_bZThreadObject_safe_onStartup() { invariantTest(); }

void ZUpgradeService::_bZThreadObject_safe_onShutdown() { invariantTest(); }

int ZUpgradeService::_bZThreadObject_safe_onLoop() {
    ZTRACE();
    invariantTest();
    const std::int64_t now = _clock();
    if (!_instance->isSet(L"Local_Upgrade_URL") || now - _retryInterval.start <= _retryInterval.period) return 1000;
    _retryInterval.start = now;
    const std::wstring url = _instance->get(L"Local_Upgrade_URL");
    std::wstring hostPart;
    std::wstring path;
    ZSplitHTTPURL(url, hostPart, path);
    std::wstring host;
    int port = 0;
    ZSplitHostPort(hostPart, host, port);
    if (port == 0) port = 80;
    if (host.empty() || path.empty()) {
        ZLOG(L"WARNING Invalid upgrade URL '" << url << L"', clearing and ignoring.");
        _instance->clear(L"Local_Upgrade_URL");
        return 1000;
    }
    ZLOGC('u', L"Beginning download of upgrade URL '" << url << L"'");
    _instance->set(L"Upgrade_In_Progress", std::int64_t{1}, false);
    const std::wstring connectTo = ZNetComposeHost(host, port);
    ZHTTPHeaders answer;
    if (!_fetch(connectTo, host, path, true, answer)) {
        ZLOGC('u', L"Shutdown request terminated prematurely, trying again in 1 min");
        return 1000;
    }
    if (!answer.succeeded() || !answer.hasContent()) {
        ZLOG(L"WARNING Upgrade download failed with response #" << answer.getResponse() << L" '"
                                                               << answer.getResponseReason()
                                                               << L"', trying again in 1 min.");
        return 1000;
    }
    // The program is run at the next start: only a file signed with the
    // release key is ever written.
    ZHTTPHeaders signature;
    const bool signatureCame = _fetch(connectTo, host, path + L".sig", false, signature) && signature.succeeded() &&
                               signature.hasContent();
    if (!signatureCame || !ZUpgradeVerify(answer.getContent(0), signature.getContent(0), g_publicKey)) {
        ZLOG(L"WARNING Upgrade '" << url << L"' is not signed with the release key, deleting the download.");
        _instance->clear(L"Local_Upgrade_URL");
        // The next sign-in offers it again, and it is fetched again at once.
        _retryInterval.start = 0;
        ZHTTPHeaders refused(L"UPGRADEREFUSED");
        refused.set(L"Upgrade-URL", url);
        _instance->enqueue(L"ZClient_commandQueue", refused.serialize());
        return 1000;
    }
    if (!_install(answer.getContent(0))) {
        ZLOG(L"WARNING Cannot write 'upgrade.exe', trying again in 1 min.");
        return 1000;
    }
    ZLOGC('u', L"Upgrade download complete.");
    _instance->clear(L"Local_Upgrade_URL");
    _instance->enqueue(L"ZClient_commandQueue", ZHTTPHeaders(L"UPGRADEDOWNLOADED").serialize());
    return -1;
}

bool ZUpgradeService::_fetch(const std::wstring& connectTo, const std::wstring& host, const std::wstring& path,
                             bool showProgress, ZHTTPHeaders& answer) {
    ZTRACE();
    ZHTTPHeaders request;
    request.setMethod(L"GET", path);
    request.set(L"User-Agent", L"Zandrel/" + _instance->get(L"Current_Version"));
    request.set(L"Accept", L"*/*");
    request.set(L"Host", host);
    ZHTTPClient* client = ZSAFENEW(ZHTTPClient, connectTo, request, ZHTTPClientSecurityFor(*_instance, connectTo));
    bool answered = false;
    for (;;) {
        unlock();
        client->update(500000);
        if (showProgress) _instance->set(L"Upgrade_Bytes_Downloaded", std::int64_t{client->getBytesRecv()}, false);
        ZThreadSleep(100000);
        lock();
        if (isStopping()) break;
        if ((answered = client->recv(answer))) break;
        if (!client->isAlive()) break;
    }
    ZASSERT_PTR(client);
    delete client;
    return answered;
}

bool ZUpgradeService::_install(const std::string& bytes) {
    ZTRACE();
    std::FILE* file = ZFileOpenWrite(kPartialFile);
    if (!file) return false;
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size() && ZFileSync(file);
    std::fclose(file);
    if (!written || !ZFileReplace(kPartialFile, kUpgradeFile)) {
        ZFileDelete(kPartialFile);
        return false;
    }
    // The replaced file's permissions came along: set them after the rename.
    if (!ZFileSetExecutable(kUpgradeFile)) {
        ZFileDelete(kUpgradeFile);
        return false;
    }
    return true;
}
