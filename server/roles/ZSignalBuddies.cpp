// The buddy-list family of the signalling servers: GETBUDDYLIST,
// SETBUDDYLIST, ADDBUDDY and BUGREPORT.
#include "ZPortable_Parse.h"
#include "ZPortable_Text.h"
#include "ZServerNet.h"
#include "ZServerStore.h"
#include "ZSignalServer.h"
#include "ZUtil.h"

namespace {
constexpr std::size_t kMaxBuddies = 2000;
}  // namespace

void ZSignalServer::_onGETBUDDYLIST(int index, const ZHTTPHeaders& request, const std::string&,
                                    const sockaddr_in& from) {
    std::string user;
    if (!_provenFor(index, request, from, user)) return;
    ZHTTPHeaders answer = ZServerResponse(200, L"OK");
    answer.set(L"Buddy-List", ZFromUTF8(_context.store->buddyList(user)));
    _reply(index, from, request, answer);
}

void ZSignalServer::_onSETBUDDYLIST(int index, const ZHTTPHeaders& request, const std::string&,
                                    const sockaddr_in& from) {
    std::string user;
    if (!_provenFor(index, request, from, user)) return;
    std::list<std::wstring> items;
    ZParseList(items, request.get(L"Buddy-List"));
    std::string list;
    std::size_t count = 0;
    for (const std::wstring& item : items) {
        std::string buddy;
        if (!ZServerCanonicalName(ZToUTF8(item), buddy) || ++count > kMaxBuddies) {
            _refuse(index, from, request, 400, L"Bad Buddy-List");
            return;
        }
        if (!list.empty()) list += ", ";
        list += buddy;
    }
    if (!_context.store->setBuddyList(user, list)) {
        _refuse(index, from, request, 500, L"Store failed");
        return;
    }
    _reply(index, from, request, ZServerResponse(200, L"OK"));
}

void ZSignalServer::_onADDBUDDY(int index, const ZHTTPHeaders& request, const std::string&,
                                const sockaddr_in& from) {
    std::string user;
    if (!_provenFor(index, request, from, user)) return;
    std::string buddy;
    if (!ZServerCanonicalName(ZServerField(request, L"Buddy-GUID"), buddy) ||
        !_context.store->accountExists(buddy)) {
        _refuse(index, from, request, 404, L"Unknown user");
        return;
    }
    _reply(index, from, request, ZServerResponse(200, L"OK"));
}

void ZSignalServer::_onBUGREPORT(int index, const ZHTTPHeaders& request, const std::string&,
                                 const sockaddr_in& from) {
    std::string user;
    if (!_provenFor(index, request, from, user)) return;
    const std::string email = ZServerField(request, L"Email");
    const std::string text = ZServerField(request, L"Text");
    const ZServerConfig& config = *_context.config;
    if (email.size() > 254 || text.size() > static_cast<std::size_t>(config.maxBugReport)) {
        if (ZServerWarnAllowed())
            ZLOG(L"WARNING Bug report of " << static_cast<std::int64_t>(text.size()) << L" bytes from '"
                                           << ZFromUTF8(user) << L"' is over the cap, answering 400.");
        _refuse(index, from, request, 400, L"Oversize report");
        return;
    }
    // Counted in the database, so a restart does not open the tap again.
    if (_context.store->countBugReports(user, ZServerStore::clock() - 3600) >= config.bugReportsPerHour) {
        if (ZServerWarnAllowed())
            ZLOG(L"WARNING '" << ZFromUTF8(user) << L"' sent more than " << config.bugReportsPerHour
                              << L" bug reports this hour, answering 429.");
        _refuse(index, from, request, 429, L"Too many reports");
        return;
    }
    if (!_context.store->addBugReport(user, email, text)) {
        if (_context.store->outOfSpace())
            _refuse(index, from, request, 507, L"Insufficient Storage");
        else
            _refuse(index, from, request, 500, L"Store failed");
        return;
    }
    ZLOG(L"ACTIVITY: Bug report from '" << user << L"' stored");
    _reply(index, from, request, ZServerResponse(200, L"OK"));
}
