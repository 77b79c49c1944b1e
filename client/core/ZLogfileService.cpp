// The log upload: one "LOGFILE" message per old log over its own connection.
#include "ZLogfileService.h"

#include <map>

#include "ZHTTPClient.h"
#include "ZInstance.h"
#include "ZPortable.h"
#include "ZUtil.h"
#include "ZUtil_File.h"
#include "ZUtil_LogFile.h"

namespace {

const wchar_t* const kQueue = L"ZLogfileService_commandQueue";

}  // namespace

ZLogfileService::ZLogfileService(ZInstance* instance) : _instance(instance) {
    ZTRACE_KIND("ZLogfileService");
    ZPRECONDITION(instance);
    _instance->setQueueWaker(kQueue, [this] { wake(); });
}

ZLogfileService::~ZLogfileService() {
    ZTRACE();
    _instance->setQueueWaker(kQueue, nullptr);
}

void ZLogfileService::invariantTest() {
    ZASSERT_PTR(_instance);
    ZThreadObject::invariantTest();
}

void ZLogfileService::_bZThreadObject_safe_onStartup() { invariantTest(); }

void ZLogfileService::_bZThreadObject_safe_onShutdown() { invariantTest(); }

int ZLogfileService::_bZThreadObject_safe_onLoop() {
    ZTRACE();
    invariantTest();
    std::string item;
    while (_instance->dequeue(kQueue, item)) {
        ZHTTPHeaders command;
        if (command.deserialize(item) <= 0) break;
        if (!ZCaseEquals(command.getMethod(), L"UPLOADLOGFILES")) continue;
        _upload(command.isSet(L"Logfile-Host") ? command.get(L"Logfile-Host") : _instance->get(L"Global_Logfile_Host"));
        _instance->enqueue(L"ZClient_commandQueue", ZHTTPHeaders(L"LOGFILESUPLOADED").serialize());
    }
    // Commands are the only work, and each one wakes the thread; what a
    // broken entry left on the queue is taken at once.
    return _instance->length(kQueue) > 0 ? 0 : ZTHREADOBJECT_UNTIL_WOKEN;
}

void ZLogfileService::_upload(const std::wstring& host) {
    ZTRACE();
    ZLOGC('l', L"Beginning upload to host '" << host << L"'");
    if (!ZValidHost(host) || _instance->test(L"Keep_Logfiles")) return;
    std::map<std::wstring, ZFileInfo> entries;
    if (!ZDirList(L"", entries)) return;
    for (const auto& [name, info] : entries) {
        const std::wstring lower = ZToLower(name);
        // Only the logs this client archived: another program's ".log" in the
        // same folder (the service's, written while we run) is not ours to
        // send or delete.
        if (!info.isFile || !ZLogIsArchivedName(lower)) continue;
        // A file that cannot be read (gone, or not ours) is left alone: sending
        // it empty and deleting it would lose it.
        std::string bytes;
        if (!ZFileLoad(name, bytes)) {
            ZLOG(L"WARNING Cannot read '" << name << L"', skipping.");
            continue;
        }
        if (isStopping() || !_uploadFile(host, lower, bytes)) return;
        ZLOGC('l', L"Uploaded '" << lower << L"'");
        ZWARNASSERT_T(ZFileDelete(name), "ZFileDelete( filename )");
    }
}

bool ZLogfileService::_uploadFile(const std::wstring& host, const std::wstring& name, const std::string& bytes) {
    ZTRACE();
    ZHTTPHeaders message(L"LOGFILE");
    message.set(L"From", ZComposeAddress(_instance->get(L"Local_User_GUID"), _instance->get(L"Local_Device_GUID")));
    message.set(L"Filename", name);
    message.addContent(bytes);
    ZHTTPClient* client = ZSAFENEW(ZHTTPClient, host, message, ZHTTPClientSecurityFor(*_instance, host));
    ZHTTPHeaders answer;
    bool answered = false;
    while (!isStopping()) {
        if ((answered = client->recv(answer))) break;
        if (!client->isAlive()) break;
        unlock();
        client->update(500000);
        ZThreadSleep(250000);
        lock();
    }
    ZASSERT_PTR(client);
    delete client;
    if (answered && answer.getResponse() == 200) return true;
    ZLOG(L"WARNING Failed to upload '" << name << L"', response #" << answer.getResponse() << L" ("
                                       << answer.getResponseReason() << L")");
    return false;
}
