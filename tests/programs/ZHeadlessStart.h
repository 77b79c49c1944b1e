// What the headless test clients (zandispatch, zanbuddy) share: their one
// output line format, the options that fill the store, and the sign-in
// exchange as the client does it.
//
// Threading: the process's main thread, before the services run their own.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <list>
#include <string>

#include "ZHTTPClient.h"
#include "ZInstance.h"
#include "ZNonPortable.h"
#include "ZOptionMap.h"
#include "ZPortable.h"

namespace headless {

// One line on standard output, at once.
inline void say(const std::wstring& line) {
    const std::string bytes = ZToUTF8(line) + "\n";
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

// -user, -password, -email, -forceturn and -upnp into the store and the
// platform, with the store's version and UPnP range.
inline void applyOptions(const ZOptionMap& options, ZInstance* instance) {
    if (options.isSet("upnp")) ZNetUPnPSetGatewayURL(ZFromUTF8(options.get("upnp")));
    if (options.isSet("user")) instance->set(L"Local_Username", ZFromUTF8(options.get("user")), false);
    if (options.isSet("password") && !instance->isSet(L"Local_Password"))
        instance->set(L"Local_Password", ZFromUTF8(options.get("password")), false);
    if (options.isSet("email") && !instance->isSet(L"Local_Email"))
        instance->set(L"Local_Email", ZFromUTF8(options.get("email")), false);
    if (options.isSet("forceturn")) {
        instance->set(L"Pretend_Firewall", std::wstring(L"1"), false);
        instance->set(L"Disable_UDP_Recv", std::wstring(L"1"), false);
    }
    instance->set(L"Current_Version", std::wstring(L"764"), true);
    // The test's service presents a certificate of the test's own CA.
    if (const char* ca = std::getenv("ZAN_TEST_CA_FILE"))
        if (!instance->isSet(L"TLS_CA_File")) instance->set(L"TLS_CA_File", ZFromUTF8(ca), false);
    if (!instance->isSet(L"UPnP_Low_Port")) instance->set(L"UPnP_Low_Port", std::int64_t{49152}, false);
    if (!instance->isSet(L"UPnP_High_Port")) instance->set(L"UPnP_High_Port", std::int64_t{65535}, false);
}

// The sign-in exchange: the service's hosts and the local address go into
// the store. Says "AUTHENTICATED <user>" or "AUTHFAILED <summary>".
inline bool signIn(ZInstance* instance, const std::wstring& authHost) {
    ZHTTPHeaders request(L"AUTHENTICATE");
    const std::wstring from = instance->isSet(L"Local_User_GUID") ? instance->get(L"Local_User_GUID")
                                                                  : instance->get(L"Local_Username");
    request.set(L"From", ZNormalizeGUID(from));
    request.set(L"Password", instance->get(L"Local_Password"));
    request.set(L"Email", instance->get(L"Local_Email"));
    request.set(L"Version", instance->get(L"Current_Version"));
    ZHTTPClient* client = ZSAFENEW(ZHTTPClient, authHost, request, ZHTTPClientSecurityFor(*instance, authHost));
    ZHTTPHeaders answer;
    const std::int64_t end = ZTimeNow() + 30000000;
    bool answered = false;
    while (!answered && ZTimeNow() < end) {
        client->update(50000);
        answered = client->recv(answer);
        if (!answered && !client->isAlive()) break;
    }
    std::wstring localIP;
    int port = 0;
    ZSplitHostPort(client->getLocalHost(), localIP, port);
    delete client;

    std::list<std::wstring> stun;
    ZParseList(stun, answer.get(L"STUN-Host-List"));
    if (!answered || !answer.succeeded() || stun.size() < 4) {
        say(L"AUTHFAILED " + answer.getResponseSummary());
        return false;
    }
    if (!answer.get(L"User-GUID").empty())
        instance->set(L"Local_User_GUID", ZNormalizeGUID(answer.get(L"User-GUID")), true);
    for (const wchar_t* name : {L"Local_Password", L"Local_Email"}) {
        const std::wstring value = instance->get(name);
        instance->clear(name);
        instance->set(name, value, true);
    }
    instance->save();
    instance->set(L"Global_SIP_Host_List", answer.get(L"SIP-Host-List"), false);
    instance->set(L"Global_TURN_Host", answer.get(L"TURN-Host"), false);
    instance->set(L"Global_Logfile_Host", answer.get(L"Logfile-Host"), false);
    instance->set(L"Global_STUN_Host_List", answer.get(L"STUN-Host-List"), false);
    instance->set(L"Local_Session_Key", answer.get(L"Session-Key"), false);
    instance->set(L"Local_IP", localIP, false);
    say(L"AUTHENTICATED " + instance->get(L"Local_User_GUID"));
    return true;
}

}  // namespace headless
