// A home router's UPnP side for tests: serves an Internet Gateway Device
// root description and the WANIPConnection port-mapping actions over HTTP on
// 127.0.0.1, keeps a mapping table and records every action it receives.
//
// Threading: one thread of its own serves the connections, one at a time;
// every public member may be called from any thread.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

class ZTestUPnPGateway {
public:
    // One row of the router's mapping table.
    struct Entry {
        std::string client;
        int internalPort = 0;
        std::string description;
    };

    ZTestUPnPGateway();
    ~ZTestUPnPGateway();
    ZTestUPnPGateway(const ZTestUPnPGateway&) = delete;
    ZTestUPnPGateway& operator=(const ZTestUPnPGateway&) = delete;

    // "http://127.0.0.1:<port>/rootDesc.xml"
    std::wstring rootURL() const;

    // Every AddPortMapping is answered with the fault 501 "Action Failed".
    void refuseAdds(bool refuse);
    // What GetStatusInfo reports: "Connected" (the default) or
    // "Disconnected", as a router behind another NAT that has no outside
    // connection of its own does.
    void setConnected(bool connected);
    // Puts a UDP entry into the table, as if another program had mapped it.
    void putEntry(int externalPort, const Entry& entry);
    // The UDP entries by external port.
    std::map<int, Entry> entries() const;

    // The actions received, in order, one text each:
    //   "GetSpecificPortMappingEntry UDP 50000"
    //   "DeletePortMapping UDP 50000"
    //   "AddPortMapping UDP 50000 -> 127.0.0.1:4000 Zandrel"
    //   "GetStatusInfo"
    // and the bare action name for anything else.
    std::vector<std::string> requests() const;

private:
    struct State;
    std::unique_ptr<State> _state;
};
