#include <string>
#include <vector>

#include "NetTestPeers.h"
#include "ZNonPortable.h"
#include "ZTestSupport.h"
#include "testing/ZTestUPnPGateway.h"

using Strings = std::vector<std::string>;

namespace {

const char kAddWarning[] =
    "WARNING Error HR return value: 0x000001F5 'Action Failed' (UPNP_AddPortMapping( urls.controlURL, "
    "data.first.servicetype, natPort, localPort, localIP, \"Zandrel\", \"UDP\", 0, \"0\" ))\n";

// Every test talks to its own gateway on loopback; nothing is discovered.
class ZNetUPnPMappingTest : public ::testing::Test {
protected:
    void SetUp() override { ZNetUPnPSetGatewayURL(gateway.rootURL()); }
    void TearDown() override { ZNetUPnPSetGatewayURL(L""); }
    ZTestUPnPGateway gateway;
};

}  // namespace

TEST_F(ZNetUPnPMappingTest, MapsTheLocalPortAndRemovesTheEntryOnClose) {
    ZLogCapture log;
    ZNetUPnPMapping* mapping = ZNetUPnPMappingOpen(L"127.0.0.1:4000", 50000, 50000);
    ASSERT_NE(mapping, nullptr);
    EXPECT_EQ(ZNetUPnPMappingGetExternalPort(mapping), 50000);
    EXPECT_EQ(ZNetUPnPMappingGetHost(mapping), L"<invalid>");
    EXPECT_EQ(gateway.requests(), (Strings{"GetStatusInfo", "GetSpecificPortMappingEntry UDP 50000",
                                           "AddPortMapping UDP 50000 -> 127.0.0.1:4000 Zandrel"}));
    ASSERT_EQ(gateway.entries().count(50000), 1u);

    ZNetUPnPMappingClose(mapping);
    EXPECT_EQ(gateway.requests().back(), "DeletePortMapping UDP 50000");
    EXPECT_TRUE(gateway.entries().empty());
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(ZNetUPnPMappingTest, DrawsTheExternalPortInsideTheRangeAndTheLowPortForAnEmptyOrReversedOne) {
    struct Case {
        int low, high, first, last;
    };
    for (const Case c : {Case{50000, 50010, 50000, 50009}, Case{50000, 40000, 50000, 50000},
                         Case{49152, 49152, 49152, 49152}}) {
        ZNetUPnPMapping* mapping = ZNetUPnPMappingOpen(L"127.0.0.1:4000", c.low, c.high);
        ASSERT_NE(mapping, nullptr);
        EXPECT_GE(ZNetUPnPMappingGetExternalPort(mapping), c.first);
        EXPECT_LE(ZNetUPnPMappingGetExternalPort(mapping), c.last);
        ZNetUPnPMappingClose(mapping);
    }
}

TEST_F(ZNetUPnPMappingTest, ReplacesAStaleEntryOfOurOwn) {
    gateway.putEntry(50000, {"127.0.0.1", 3999, "Zandrel"});
    ZNetUPnPMapping* mapping = ZNetUPnPMappingOpen(L"127.0.0.1:4000", 50000, 50000);
    ASSERT_NE(mapping, nullptr);
    EXPECT_EQ(gateway.requests(),
              (Strings{"GetStatusInfo", "GetSpecificPortMappingEntry UDP 50000", "DeletePortMapping UDP 50000",
                       "AddPortMapping UDP 50000 -> 127.0.0.1:4000 Zandrel"}));
    EXPECT_EQ(gateway.entries().at(50000).internalPort, 4000);
    ZNetUPnPMappingClose(mapping);
}

// Another device's entry, and another program's on this very computer
// (our address, but another port or another description), are never ours.
TEST_F(ZNetUPnPMappingTest, LeavesOtherDevicesAndOtherProgramsEntriesAloneAndGivesUpAfterFiveTries) {
    const ZTestUPnPGateway::Entry others[] = {
        {"192.168.1.77", 4000, "Game console"}, {"127.0.0.1", 5555, "OtherApp"}, {"127.0.0.1", 4000, "OtherApp"}};
    for (const ZTestUPnPGateway::Entry& other : others) {
        ZTestUPnPGateway gateway;
        ZNetUPnPSetGatewayURL(gateway.rootURL());
        gateway.putEntry(50000, other);
        ZLogCapture log;
        EXPECT_EQ(ZNetUPnPMappingOpen(L"127.0.0.1:4000", 50000, 50000), nullptr);
        Strings expected{"GetStatusInfo"};
        expected.insert(expected.end(), 5, "GetSpecificPortMappingEntry UDP 50000");
        EXPECT_EQ(gateway.requests(), expected) << other.description;
        const ZTestUPnPGateway::Entry kept = gateway.entries().at(50000);
        EXPECT_EQ(kept.client, other.client);
        EXPECT_EQ(kept.internalPort, other.internalPort);
        EXPECT_EQ(kept.description, other.description);
        EXPECT_EQ(log.count(L"WARNING Unable to create UPnP mapping for port 50000, trying again.\n"), 5);
        EXPECT_EQ(log.lines().size(), 5u);
    }
}

// A router behind another NAT says it is not connected and refuses every
// port alike: one refusal is enough.
TEST_F(ZNetUPnPMappingTest, AGatewayThatIsNotConnectedIsAskedOnceWithOneWarning) {
    gateway.setConnected(false);
    gateway.refuseAdds(true);
    ZLogCapture log;
    EXPECT_EQ(ZNetUPnPMappingOpen(L"127.0.0.1:4000", 50000, 50000), nullptr);
    EXPECT_EQ(gateway.requests(), (Strings{"GetStatusInfo", "GetSpecificPortMappingEntry UDP 50000",
                                           "AddPortMapping UDP 50000 -> 127.0.0.1:4000 Zandrel"}));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_NE(log.lines()[0].find(ZFromUTF8(kAddWarning)), std::wstring::npos);
}

TEST_F(ZNetUPnPMappingTest, AGatewayRefusingEveryAddGivesFivePairsOfWarningsAndNoMapping) {
    gateway.refuseAdds(true);
    ZLogCapture log;
    EXPECT_EQ(ZNetUPnPMappingOpen(L"127.0.0.1:4000", 50000, 50000), nullptr);
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 10u);
    for (std::size_t i = 0; i < lines.size(); i += 2) {
        EXPECT_NE(lines[i].find(ZFromUTF8(kAddWarning)), std::wstring::npos) << ZToUTF8(lines[i]);
        EXPECT_NE(lines[i + 1].find(L"WARNING Unable to create UPnP mapping for port 50000, trying again.\n"),
                  std::wstring::npos);
    }
    Strings expected{"GetStatusInfo"};
    for (int i = 0; i < 5; ++i) {
        expected.push_back("GetSpecificPortMappingEntry UDP 50000");
        expected.push_back("AddPortMapping UDP 50000 -> 127.0.0.1:4000 Zandrel");
    }
    EXPECT_EQ(gateway.requests(), expected);
}

TEST_F(ZNetUPnPMappingTest, ALocalHostWithoutIPOrPortAsksNobody) {
    struct Case {
        const wchar_t* localHost;
        int ipWarnings, portWarnings;
    };
    for (const Case c : {Case{L"192.168.1.20", 0, 1}, Case{L":4000", 1, 1}}) {
        ZLogCapture log;
        EXPECT_EQ(ZNetUPnPMappingOpen(c.localHost, 50000, 60000), nullptr);
        EXPECT_EQ(log.count(L"WARNING: Assertion failed. (!localIP.empty( ))"), c.ipWarnings) << ZToUTF8(c.localHost);
        EXPECT_EQ(log.count(L"WARNING: Assertion failed. (localPort)"), c.portWarnings) << ZToUTF8(c.localHost);
        EXPECT_EQ(log.lines().size(), static_cast<std::size_t>(c.ipWarnings + c.portWarnings));
    }
    EXPECT_TRUE(gateway.requests().empty());
}

TEST(ZNetUPnPMapping, WithoutAGatewayOpensNothingAndLogsNothing) {
    ZNetUPnPSetDiscoveryTimeout(100000);
    ZNetUPnPSetGatewayURL(nettest::hostText(nettest::closedTCPPort()).insert(0, L"http://") + L"/rootDesc.xml");
    ZLogCapture log;
    EXPECT_EQ(ZNetUPnPMappingOpen(L"127.0.0.1:4000", 50000, 60000), nullptr);
    EXPECT_TRUE(log.lines().empty());
    ZNetUPnPSetGatewayURL(L"");
}
