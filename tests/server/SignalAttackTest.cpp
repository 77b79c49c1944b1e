// The datagram roles against hostile peers on loopback: device identities,
// forged sources and the service used as a reflector. Each test runs the
// attack against the real program with its caps set small, and shows what a
// correct client still gets.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <memory>

#include "ZPortable_Text.h"
#include "ZServerStore.h"
#include "ZServerTestSupport.h"

using namespace servertest;

namespace {

// Every datagram that reaches the client until none has come for a while.
int drain(const UDPClient& client, int quietMs = 400) {
    std::string bytes;
    int from = 0;
    int count = 0;
    while (client.receiveRaw(bytes, from, quietMs)) ++count;
    return count;
}

ZHTTPHeaders signIn(const ServerProcess& server, const wchar_t* name) {
    return authenticate(server.port(0), name, L"secret", std::wstring(name) + L"@example.org");
}

int openTurn(TCPClient& c, const std::wstring& key, const wchar_t* cseq = L"1 (ZDispatchService)") {
    std::map<std::wstring, std::wstring> fields = {{L"CSeq", cseq}};
    if (!key.empty()) fields[L"Session-Key"] = key;
    c.send(request(L"OPENTURN", fields));
    ZHTTPHeaders answer;
    return c.receive(answer) ? answer.getResponse() : 0;
}

}  // namespace

TEST(SignalUnderAttack, ARegisteredDeviceIsMarkedSoTheSweepOfUnusedIdentitiesKeepsIt) {
    ZTempDir dir;
    ServerProcess server(dir.file("data"));
    ASSERT_TRUE(server.start());
    UDPClient client;
    const Device d = signUpAndRegister(server, client, L"ria", L"local://127.0.0.1:1");
    ASSERT_FALSE(d.guid.empty());
    ASSERT_EQ(server.stop(), 0);
    // The sweep as it runs two hours later, on the database the service left.
    ZServerStore store;
    std::string error;
    ASSERT_TRUE(store.open(server.dataFolder() + "/zandrel.db", error)) << error;
    const std::int64_t later = ZServerStore::clock() + 7200;
    EXPECT_EQ(store.expireUnregisteredDevices(later - 3600), 0);
    std::string owner;
    EXPECT_TRUE(store.findDevice(ZToUTF8(d.guid), owner));
    EXPECT_EQ(owner, ZToUTF8(d.user));
    // Unused for longer than its lifetime, it goes.
    EXPECT_EQ(store.expireUnusedDevices(later + 180 * 86400), 1);
    EXPECT_FALSE(store.findDevice(ZToUTF8(d.guid), owner));
}

TEST(SignalUnderAttack, CountsNewDeviceIdentitiesByTheKeysUserAndByAddressWhateverThePort) {
    ZTempDir dir;
    ServerProcess server(dir.file("data"), {"--device-ids-per-address", "20"});
    ASSERT_TRUE(server.start());
    const std::wstring mallory = signIn(server, L"mal").get(L"Session-Key");
    const std::wstring other = signIn(server, L"oda").get(L"Session-Key");
    ASSERT_FALSE(mallory.empty());
    ASSERT_FALSE(other.empty());
    // One key from 40 ports, each port once.
    const auto ask = [&](const std::wstring& key, int count) {
        int issued = 0;
        for (int i = 0; i < count; ++i) {
            UDPClient port;
            const ZHTTPHeaders answer = port.ask(
                server.port(5), request(L"DEVICEGUID", {{L"CSeq", ZToString(i) + L" (ZDispatchService)"},
                                                        {L"Session-Key", key}}));
            if (answer.getResponse() == 200) {
                ++issued;
            } else {
                EXPECT_EQ(answer.getResponse(), 503) << answer.getDebugText();
            }
        }
        return issued;
    };
    const int taken = ask(mallory, 40);
    RecordProperty("identities_for_one_key_from_40_ports", taken);
    EXPECT_EQ(taken, 16);
    // Another user still gets what the address has left (20 in all).
    EXPECT_EQ(ask(other, 10), 4);
    // A client behind the relay counts for its own address, not the relay's.
    const std::wstring relayed = signIn(server, L"tia").get(L"Session-Key");
    TCPClient relay(server.port(7), "127.0.0.2");
    ASSERT_EQ(openTurn(relay, relayed), 200);
    ZHTTPHeaders send(L"SENDUDP");
    send.set(L"Remote-Host", L"127.0.0.1:" + ZToString(server.port(5)));
    send.addContent(request(L"DEVICEGUID", {{L"CSeq", L"1"}, {L"Session-Key", relayed}}).serialize());
    ASSERT_TRUE(relay.send(send));
    ZHTTPHeaders frame;
    ZHTTPHeaders inner;
    ASSERT_TRUE(relay.receive(frame));
    ASSERT_EQ(frame.getContentCount(), 1);
    ASSERT_GT(inner.deserialize(frame.getContent(0)), 0);
    EXPECT_EQ(inner.getResponse(), 200);
    EXPECT_TRUE(server.running());
}

TEST(SignalUnderAttack, SignsInNoMoreDevicesOfOneUserThanTheCapAtOnce) {
    ZTempDir dir;
    ServerProcess server(dir.file("data"), {"--max-devices-per-user", "3"});
    ASSERT_TRUE(server.start());
    const std::wstring key = signIn(server, L"pia").get(L"Session-Key");
    ASSERT_FALSE(key.empty());
    std::vector<std::unique_ptr<UDPClient>> sockets;
    std::vector<std::wstring> devices;
    const auto reg = [&](std::size_t i, const wchar_t* cseq) {
        return sockets[i]
            ->ask(server.port(5), request(L"REGISTER", {{L"CSeq", cseq}, {L"From", L"pia@zandrel.net"},
                                                        {L"Device-GUID", devices[i]}, {L"Version", L"764"},
                                                        {L"Route-List", L"local://127.0.0.1:1"},
                                                        {L"Session-Key", key}}))
            .getResponse();
    };
    for (int i = 0; i < 4; ++i) {
        sockets.push_back(std::make_unique<UDPClient>());
        devices.push_back(sockets.back()
                              ->ask(server.port(5), request(L"DEVICEGUID", {{L"CSeq", L"1"}, {L"Session-Key", key}}))
                              .get(L"Device-GUID"));
        ASSERT_FALSE(devices.back().empty());
    }
    EXPECT_EQ(reg(0, L"2"), 200);
    EXPECT_EQ(reg(1, L"2"), 200);
    EXPECT_EQ(reg(2, L"2"), 200);
    EXPECT_EQ(reg(3, L"2"), 403);
    // A device already in stays in when it registers again.
    EXPECT_EQ(reg(0, L"3"), 200);
    // One signed out makes room.
    EXPECT_EQ(sockets[1]
                  ->ask(server.port(5), request(L"UNREGISTER", {{L"CSeq", L"4"}, {L"From", L"pia@zandrel.net"},
                                                                {L"Device-GUID", devices[1]}, {L"Session-Key", key}}))
                  .getResponse(),
              200);
    EXPECT_EQ(reg(3, L"5"), 200);
    EXPECT_NE(server.log().find("already has 3 devices signed in"), std::string::npos);
}

TEST(SignalUnderAttack, RequestsThatSpeakForAUserNeedItsSessionKeyEvenFromItsOwnAddress) {
    ZTempDir dir;
    ServerProcess server(dir.file("data"));
    ASSERT_TRUE(server.start());
    UDPClient victimSide;
    const Device victim = signUpAndRegister(server, victimSide, L"vic", L"local://127.0.0.1:1");
    ASSERT_FALSE(victim.guid.empty());
    const std::wstring strangerKey = signIn(server, L"mal").get(L"Session-Key");
    ASSERT_FALSE(strangerKey.empty());
    const std::map<std::wstring, std::wstring> base = {{L"From", victim.user},
                                                       {L"Buddy-List", L"mal@zandrel.net"},
                                                       {L"Buddy-GUID", L"mal@zandrel.net"},
                                                       {L"Email", L"v@example.org"},
                                                       {L"Text", L"forged"},
                                                       {L"Device-GUID", victim.guid}};
    int cseq = 100;
    const auto ask = [&](const wchar_t* method, const std::wstring& key) {
        std::map<std::wstring, std::wstring> fields = base;
        fields[L"CSeq"] = ZToString(cseq++);
        if (!key.empty()) fields[L"Session-Key"] = key;
        // Sent from the victim's own address, as a forger of its source would.
        return victimSide.ask(server.port(5), request(method, fields)).getResponse();
    };
    int accepted = 0;
    for (const wchar_t* method : {L"GETBUDDYLIST", L"SETBUDDYLIST", L"ADDBUDDY", L"BUGREPORT", L"UNREGISTER"}) {
        for (const std::wstring& key : {std::wstring(), strangerKey, std::wstring(32, L'0')}) {
            const int code = ask(method, key);
            EXPECT_EQ(code, 403) << ZToUTF8(method) << " with key '" << ZToUTF8(key) << "'";
            if (code == 200) ++accepted;
        }
    }
    RecordProperty("forged_requests_accepted", accepted);
    // The owner with its key: every request works, and nothing forged stuck.
    const auto owned = [&](const wchar_t* method) {
        std::map<std::wstring, std::wstring> fields = {{L"From", victim.user}, {L"CSeq", ZToString(cseq++)},
                                                       {L"Session-Key", victim.key}};
        return victimSide.ask(server.port(5), request(method, fields));
    };
    const ZHTTPHeaders list = owned(L"GETBUDDYLIST");
    EXPECT_EQ(list.getResponse(), 200);
    EXPECT_EQ(list.get(L"Buddy-List"), L"");
    std::map<std::wstring, std::wstring> set = {{L"From", victim.user}, {L"CSeq", L"200"},
                                                {L"Session-Key", victim.key}, {L"Buddy-List", L"pal@zandrel.net"}};
    EXPECT_EQ(victimSide.ask(server.port(5), request(L"SETBUDDYLIST", set)).getResponse(), 200);
    EXPECT_EQ(owned(L"GETBUDDYLIST").get(L"Buddy-List"), L"pal@zandrel.net");
    std::map<std::wstring, std::wstring> bye = {{L"From", victim.user}, {L"CSeq", L"201"},
                                                {L"Session-Key", victim.key}, {L"Device-GUID", victim.guid}};
    EXPECT_EQ(victimSide.ask(server.port(5), request(L"UNREGISTER", bye)).getResponse(), 200);
    EXPECT_EQ(owned(L"GETBUDDYLIST").getResponse(), 403);
}

TEST(SignalUnderAttack, StunAnswersToOneAddressHaveABudgetOverTheFourHosts) {
    ZTempDir dir;
    ServerProcess server(dir.file("data"), {"--stun-answers-per-address", "10"});
    ASSERT_TRUE(server.start());
    // The probe of a client finding its NAT: all three answers.
    UDPClient client;
    client.send(server.port(1), request(L"STUN", {{L"CSeq", L"1 (ZDispatchService)"}}));
    EXPECT_EQ(drain(client), 3);
    // 100 probes of 28 bytes from four ports of one address, for a forged
    // source: at most the burst of 20 answers (less the 3 above) and what a
    // second adds to it.
    std::vector<std::unique_ptr<UDPClient>> ports;
    for (int i = 0; i < 4; ++i) ports.push_back(std::make_unique<UDPClient>());
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i) ports[i % 4]->sendRaw(server.port(1 + (i % 7 == 0 ? 3 : 0)), "STUN / HTTP/1.1\r\n\r\n");
    int answers = 0;
    for (const auto& p : ports) answers += drain(*p);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    RecordProperty("stun_answers_to_100_probes", answers);
    EXPECT_LE(answers, 17 + static_cast<int>(10 * seconds) + 3) << "in " << seconds << " s";
    EXPECT_GE(answers, 15);
    EXPECT_NE(server.log().find("STUN answer budget of (127.0.0.1) spent"), std::string::npos);
}

TEST(SignalUnderAttack, ForwardsOnlyTheBudgetOfInviteDatagramsOfOneSendingUser) {
    ZTempDir dir;
    ServerProcess server(dir.file("data"), {"--invite-forwards-per-user", "2", "--max-devices-per-user", "4"});
    ASSERT_TRUE(server.start());
    UDPClient inviterSocket;
    UDPClient targets[2];
    const Device inviter = signUpAndRegister(server, inviterSocket, L"ivo", L"local://127.0.0.1:1");
    const Device first = signUpAndRegister(server, targets[0], L"tam", L"local://127.0.0.1:2");
    ASSERT_FALSE(inviter.guid.empty());
    ASSERT_FALSE(first.guid.empty());
    // The buddy's second device.
    const std::wstring second = targets[1]
                                    .ask(server.port(5), request(L"DEVICEGUID", {{L"CSeq", L"1"},
                                                                                 {L"Session-Key", first.key}}))
                                    .get(L"Device-GUID");
    ASSERT_EQ(targets[1]
                  .ask(server.port(5), request(L"REGISTER", {{L"CSeq", L"2"}, {L"From", first.user},
                                                             {L"Device-GUID", second}, {L"Version", L"764"},
                                                             {L"Route-List", L"local://127.0.0.1:3"},
                                                             {L"Session-Key", first.key}}))
                  .getResponse(),
              200);
    const auto start = std::chrono::steady_clock::now();
    int trying = 0, refused = 0;
    for (int i = 0; i < 20; ++i) {
        const int code = inviterSocket
                             .ask(server.port(5), request(L"INVITE", {{L"CSeq", ZToString(i + 10)},
                                                                      {L"From", inviter.user},
                                                                      {L"From-Device-GUID", inviter.guid},
                                                                      {L"To", first.user}}))
                             .getResponse();
        if (code == 100) ++trying;
        if (code == 429) ++refused;
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const int forwarded = drain(targets[0]) + drain(targets[1]);
    RecordProperty("datagrams_forwarded_for_20_invites", forwarded);
    // A burst of five seconds' worth (10 datagrams) and 2 a second after it.
    EXPECT_LE(forwarded, 10 + static_cast<int>(2 * seconds) + 2) << "in " << seconds << " s";
    EXPECT_GE(forwarded, 10);
    EXPECT_EQ(forwarded, 2 * trying);
    EXPECT_EQ(trying + refused, 20);
}

TEST(SignalUnderAttack, RelayAllocationsNeedASessionKeyAndHaveCapsPerUserAndPerAddress) {
    ZTempDir dir;
    ServerProcess server(dir.file("data"),
                         {"--relay-allocations-per-user", "2", "--relay-allocations-per-address", "3"});
    ASSERT_TRUE(server.start());
    const std::wstring ann = signIn(server, L"ann").get(L"Session-Key");
    const std::wstring bob = signIn(server, L"bob").get(L"Session-Key");
    const std::wstring cid = signIn(server, L"cid").get(L"Session-Key");
    ASSERT_FALSE(ann.empty());
    ASSERT_FALSE(bob.empty());
    ASSERT_FALSE(cid.empty());
    std::vector<std::unique_ptr<TCPClient>> held;
    const auto open = [&](const std::wstring& key, const std::string& from) {
        held.push_back(std::make_unique<TCPClient>(server.port(7), from));
        return openTurn(*held.back(), key);
    };
    struct Case {
        const wchar_t* who;
        std::wstring key;
        std::string from;
        int code;
    };
    const Case cases[] = {
        {L"nobody", L"", "127.0.0.1", 403},
        {L"made-up key", std::wstring(32, L'a'), "127.0.0.1", 403},
        {L"ann 1", ann, "127.0.0.1", 200},
        {L"ann 2", ann, "127.0.0.2", 200},
        {L"ann 3 (user cap)", ann, "127.0.0.3", 429},
        {L"bob 1", bob, "127.0.0.1", 200},
        {L"cid 1", cid, "127.0.0.1", 200},
        {L"cid 2 (address cap)", cid, "127.0.0.1", 429},
        {L"cid 2 from elsewhere", cid, "127.0.0.4", 200},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(open(c.key, c.from), c.code) << ZToUTF8(c.who);
        // A refused OPENTURN is answered, then the connection closes.
        if (c.code != 200) {
            EXPECT_TRUE(held.back()->closedByPeer()) << ZToUTF8(c.who);
        }
    }
    // Closing one gives its place back (once the service has seen it close).
    held[2].reset();
    bool reopened = false;
    for (int i = 0; i < 100 && !reopened; ++i) {
        TCPClient probe(server.port(7), "127.0.0.4");
        reopened = openTurn(probe, ann) == 200;
        if (!reopened) usleep(20000);
    }
    EXPECT_TRUE(reopened);
    EXPECT_NE(server.log().find("Relay refused OPENTURN"), std::string::npos);
}

TEST(SignalUnderAttack, RelaySendsNothingToPrivateAddressesButKeepsTheConnection) {
    ZTempDir dir;
    // The test support lets private targets through for the tests on
    // loopback; this server takes the default back.
    ServerProcess server(dir.file("data"), {"--relay-private-targets", "0"});
    ASSERT_TRUE(server.start());
    const std::wstring key = signIn(server, L"ann").get(L"Session-Key");
    TCPClient relay(server.port(7));
    ASSERT_EQ(openTurn(relay, key), 200);
    UDPClient listener;
    const auto sendUDP = [&](const std::string& to, const std::string& datagram) {
        ZHTTPHeaders h(L"SENDUDP");
        h.set(L"Remote-Host", ZFromUTF8(to));
        h.addContent(datagram);
        return relay.send(h);
    };
    ASSERT_TRUE(sendUDP(listener.host(), request(L"PING", {{L"CSeq", L"1"}}).serialize()));
    ZHTTPHeaders frame;
    ASSERT_TRUE(relay.receive(frame));
    EXPECT_EQ(frame.getResponse(), 403);
    EXPECT_EQ(ZToUTF8(frame.get(L"Remote-Host")), listener.host());
    EXPECT_FALSE(frame.hasContent());
    // The service's own signalling host stays reachable through the relay,
    // and the datagram refused before it never left.
    ASSERT_TRUE(sendUDP("127.0.0.1:" + std::to_string(server.port(5)),
                        request(L"PING", {{L"CSeq", L"2"}, {L"Global-Host", L"127.0.0.1:9"}}).serialize()));
    ASSERT_TRUE(relay.receive(frame));
    ASSERT_EQ(frame.getResponse(), 200);
    ASSERT_TRUE(frame.hasContent());
    ZHTTPHeaders pong;
    ASSERT_GT(pong.deserialize(frame.getContent(0)), 0);
    EXPECT_EQ(pong.get(L"CSeq"), L"2");
    std::string bytes;
    int from = 0;
    EXPECT_FALSE(listener.receiveRaw(bytes, from, 200));
    EXPECT_NE(server.log().find("to the private address (" + listener.host() + ")"), std::string::npos);
}

TEST(SignalUnderAttack, ClosesARelayAllocationWhoseClientSendsNothingForTheIdleTime) {
    ZTempDir dir;
    ServerProcess server(dir.file("data"), {"--relay-idle-timeout", "1"});
    ASSERT_TRUE(server.start());
    const std::wstring key = signIn(server, L"ann").get(L"Session-Key");
    TCPClient idle(server.port(7));
    ASSERT_EQ(openTurn(idle, key), 200);
    EXPECT_TRUE(idle.closedByPeer(10000));
    EXPECT_NE(server.log().find("relay allocation idle"), std::string::npos) << server.log();
}
