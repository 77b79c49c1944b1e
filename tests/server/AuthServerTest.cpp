// The authentication server, driven through the real process on loopback.
#include <gtest/gtest.h>

#include "ZPortable_Parse.h"
#include "ZPortable_Text.h"
#include "ZServerTestSupport.h"

using namespace servertest;

namespace {

// The header names a successful answer carries, and nothing else.
const std::vector<std::wstring> kHostHeaders = {L"", L"Logfile-Host", L"SIP-Host-List", L"STUN-Host-List",
                                                L"Session-Key", L"TURN-Host"};

std::vector<std::wstring> headerNames(const ZHTTPHeaders& h) {
    std::vector<std::wstring> names;
    std::string text = h.serialize();
    std::size_t line = text.find("\r\n") + 2;
    names.push_back(L"");
    while (line < text.size()) {
        const std::size_t end = text.find("\r\n", line);
        if (end == line || end == std::string::npos) break;
        names.push_back(ZFromUTF8(text.substr(line, text.find(':', line) - line)));
        line = end + 2;
    }
    return names;
}

class AuthServer : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }
    ZTempDir dir;
    ServerProcess server{dir.file("data")};
};

}  // namespace

TEST_F(AuthServer, CreatesAnAccountForANewNameWithAnEmailAndReturnsItsUserGUID) {
    const ZHTTPHeaders answer = authenticate(server.port(0), L"alice", L"pw1", L"alice@example.org");
    ASSERT_EQ(answer.getResponse(), 200) << answer.getDebugText();
    EXPECT_EQ(answer.get(L"User-GUID"), L"alice@zandrel.net");
}

TEST_F(AuthServer, SignsInWithTheRightPasswordAndListsExactlyTheHostHeaders) {
    ASSERT_EQ(authenticate(server.port(0), L"bob", L"right", L"bob@example.org").getResponse(), 200);
    const ZHTTPHeaders answer = authenticate(server.port(0), L"bob@zandrel.net", L"right");
    ASSERT_EQ(answer.getResponse(), 200) << answer.getDebugText();
    EXPECT_EQ(headerNames(answer), kHostHeaders);
    const auto host = [this](int offset) { return L"127.0.0.1:" + ZToString(server.port(offset)); };
    EXPECT_EQ(answer.get(L"STUN-Host-List"), host(1) + L", " + host(2) + L", " + host(3) + L", " + host(4));
    EXPECT_EQ(answer.get(L"SIP-Host-List"), host(5) + L", " + host(6));
    EXPECT_EQ(answer.get(L"TURN-Host"), host(7));
    EXPECT_EQ(answer.get(L"Logfile-Host"), host(8));
    std::list<std::wstring> stun;
    ZParseList(stun, answer.get(L"STUN-Host-List"));
    EXPECT_GE(stun.size(), 4u);
    // A fresh key of 128 bits for every sign-in.
    const std::wstring key = answer.get(L"Session-Key");
    EXPECT_EQ(key.size(), 32u);
    EXPECT_EQ(key.find_first_not_of(L"0123456789abcdef"), std::wstring::npos) << ZToUTF8(key);
    EXPECT_NE(authenticate(server.port(0), L"bob@zandrel.net", L"right").get(L"Session-Key"), key);
}

TEST_F(AuthServer, RefusesAWrongPasswordAnUnknownAccountAndATakenName) {
    ASSERT_EQ(authenticate(server.port(0), L"carol", L"right", L"c@example.org").getResponse(), 200);
    struct Case {
        const wchar_t* from;
        const wchar_t* password;
        const wchar_t* email;
    };
    const Case cases[] = {
        {L"carol@zandrel.net", L"wrong", L""},
        {L"carol@zandrel.net", L"", L""},
        {L"nobody@zandrel.net", L"right", L""},
        {L"carol@elsewhere.org", L"right", L""},
        {L"carol", L"right", L"c@example.org"},
        {L"dave", L"pw", L""},
        {L"dave", L"", L"d@example.org"},
        {L"", L"pw", L"x@example.org"},
        {L"bad name", L"pw", L"x@example.org"},
    };
    for (const Case& c : cases) {
        const ZHTTPHeaders answer = authenticate(server.port(0), c.from, c.password, c.email);
        EXPECT_NE(answer.getResponse(), 200) << ZToUTF8(c.from) << " / " << ZToUTF8(c.password);
        EXPECT_NE(answer.getResponse(), 0) << "no answer for " << ZToUTF8(c.from);
        EXPECT_FALSE(answer.isSet(L"STUN-Host-List"));
    }
}

TEST_F(AuthServer, KeepsTheAccountOverARestart) {
    ASSERT_EQ(authenticate(server.port(0), L"erin", L"pw", L"e@example.org").getResponse(), 200);
    ASSERT_EQ(server.stop(), 0);
    ASSERT_TRUE(server.start());
    EXPECT_EQ(authenticate(server.port(0), L"erin@zandrel.net", L"pw").getResponse(), 200);
    EXPECT_NE(authenticate(server.port(0), L"erin@zandrel.net", L"px").getResponse(), 200);
}

TEST_F(AuthServer, NeverStoresOrLogsThePasswordInClear) {
    const std::wstring password = L"Very-Distinct-Passphrase-7731";
    ASSERT_EQ(authenticate(server.port(0), L"frank", password, L"f@example.org").getResponse(), 200);
    ASSERT_EQ(server.stop(), 0);
    const std::string clear = ZToUTF8(password);
    for (const char* file : {"/zandrel.db", "/zandrel.db-wal"})
        EXPECT_EQ(ZTestReadFile(server.dataFolder() + file).find(clear), std::string::npos) << file;
    EXPECT_EQ(server.log().find(clear), std::string::npos);
}

TEST_F(AuthServer, ClosesTheConnectionRightAfterTheAnswer) {
    TCPClient c(server.port(0));
    c.send(request(L"AUTHENTICATE", {{L"From", L"gina"}, {L"Password", L"pw"}, {L"Email", L"g@example.org"}}));
    const std::string all = c.readToClose();
    ZHTTPHeaders answer;
    EXPECT_EQ(answer.deserialize(all), static_cast<int>(all.size()));
    EXPECT_EQ(answer.getResponse(), 200);
}

TEST_F(AuthServer, AnswersAnotherMethodWithAnErrorAndCloses) {
    TCPClient c(server.port(0));
    c.send(request(L"REGISTER", {{L"From", L"x"}}));
    ZHTTPHeaders answer;
    ASSERT_TRUE(c.receive(answer));
    EXPECT_EQ(answer.getResponse(), 405);
    EXPECT_TRUE(c.closedByPeer());
}

TEST_F(AuthServer, OffersTheUpgradeOnlyToOlderClients) {
    ASSERT_EQ(server.stop(), 0);
    ServerProcess offering(dir.file("data2"), {"--upgrade-file", "zandrel-765.bin", "--upgrade-name", "Zandrel 765",
                                              "--upgrade-priority", "critical", "--upgrade-version", "765"});
    ASSERT_TRUE(offering.start());
    const ZHTTPHeaders old = authenticate(offering.port(0), L"hank", L"pw", L"h@example.org", L"764");
    ASSERT_EQ(old.getResponse(), 200);
    EXPECT_EQ(old.get(L"Upgrade-URL"),
              L"http://127.0.0.1:" + ZToString(offering.port(9)) + L"/zandrel-765.bin");
    EXPECT_EQ(old.get(L"Upgrade-Name"), L"Zandrel 765");
    EXPECT_EQ(old.get(L"Upgrade-Priority"), L"critical");
    const ZHTTPHeaders current = authenticate(offering.port(0), L"hank@zandrel.net", L"pw", L"", L"765");
    ASSERT_EQ(current.getResponse(), 200);
    EXPECT_FALSE(current.isSet(L"Upgrade-URL"));
}

TEST_F(AuthServer, RefusesEveryAttemptForAMinuteAfterFiveWrongPasswordsInARow) {
    ASSERT_EQ(authenticate(server.port(0), L"ida", L"right", L"i@example.org").getResponse(), 200);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(authenticate(server.port(0), L"ida@zandrel.net", L"wrong").getResponse(), 403);
    // A success in between starts the count again.
    EXPECT_EQ(authenticate(server.port(0), L"ida@zandrel.net", L"right").getResponse(), 200);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(authenticate(server.port(0), L"ida@zandrel.net", L"wrong").getResponse(), 403);
    EXPECT_EQ(authenticate(server.port(0), L"ida@zandrel.net", L"right").getResponse(), 429);
    ASSERT_EQ(authenticate(server.port(0), L"jo", L"pw", L"j@example.org").getResponse(), 200);
    EXPECT_EQ(authenticate(server.port(0), L"jo@zandrel.net", L"pw").getResponse(), 200);
}
