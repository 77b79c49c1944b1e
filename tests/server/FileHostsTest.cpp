// The log host and the upgrade host.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "ZFileHosts.h"
#include "ZPortable_Text.h"
#include "ZServerTestSupport.h"

using namespace servertest;

namespace {

class FileHosts : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.start()); }
    static ZHTTPHeaders logfile(const std::wstring& from, const std::wstring& name, const std::string& bytes) {
        ZHTTPHeaders h(L"LOGFILE");
        h.set(L"From", from);
        h.set(L"Filename", name);
        h.addContent(bytes);
        return h;
    }
    // Every file below the folder, by path relative to it.
    static std::vector<std::string> filesBelow(const std::string& folder) {
        std::vector<std::string> out;
        for (const auto& e : std::filesystem::recursive_directory_iterator(folder))
            if (e.is_regular_file()) out.push_back(std::filesystem::relative(e.path(), folder).string());
        std::sort(out.begin(), out.end());
        return out;
    }
    ZTempDir dir;
    ServerProcess server{dir.file("data"), {"--max-upload", "100000"}};
};

}  // namespace

TEST(ServerSafeName, KeepsOnlyASafeBaseName) {
    struct Case {
        const char* in;
        const char* out;
    };
    const Case cases[] = {
        {"zandrel_261210_120000_clean.log", "zandrel_261210_120000_clean.log"},
        {"../x.log", "x.log"},
        {"..\\..\\windows\\x.log", "x.log"},
        {"/etc/passwd", "passwd"},
        {"..", "fallback"},
        {"...hidden.log", "hidden.log"},
        {"a b$c\n.log", "abc.log"},
        {"", "fallback"},
        {"dir/", "fallback"},
        {"alice@zandrel.net@1234-ab", "alice@zandrel.net@1234-ab"},
    };
    for (const Case& c : cases) EXPECT_EQ(ZServerSafeName(c.in, "fallback"), c.out) << c.in;
    EXPECT_EQ(ZServerSafeName(std::string(300, 'a'), "f").size(), 100u);
}

TEST_F(FileHosts, StoresAnUploadWithAPathInItsNameInsideTheUploadFolder) {
    TCPClient c(server.port(8));
    c.send(logfile(L"nia@zandrel.net@dev-1", L"../x.log", "line one\nline two\n"));
    ZHTTPHeaders answer;
    ASSERT_TRUE(c.receive(answer));
    EXPECT_EQ(answer.getResponse(), 200);
    const std::string logs = server.dataFolder() + "/logs";
    EXPECT_EQ(filesBelow(logs), std::vector<std::string>{"nia@zandrel.net@dev-1/x.log"});
    EXPECT_EQ(ZTestReadFile(logs + "/nia@zandrel.net@dev-1/x.log"), "line one\nline two\n");
    EXPECT_FALSE(std::filesystem::exists(server.dataFolder() + "/x.log"));
}

TEST_F(FileHosts, KeepsEveryUploadOfTheSameNameAndClosesAfterEachAnswer) {
    for (const char* text : {"first", "second", ""}) {
        TCPClient c(server.port(8));
        c.send(logfile(L"oz", L"a.log", text));
        // A plain HTTP client reads the answer to its length and sees the
        // connection end: it never waits for more.
        EXPECT_TRUE(c.closedByPeer());
        const std::string all = c.readToClose();
        ZHTTPHeaders answer;
        ASSERT_EQ(answer.deserialize(all), static_cast<int>(all.size())) << all;
        EXPECT_EQ(answer.getResponse(), 200);
        EXPECT_EQ(answer.get(L"Content-Length"), L"0");
    }
    const std::string folder = server.dataFolder() + "/logs/oz";
    EXPECT_EQ(filesBelow(folder), (std::vector<std::string>{"a.log", "a.log.1", "a.log.2"}));
    EXPECT_EQ(ZTestReadFile(folder + "/a.log.1"), "second");
}

TEST_F(FileHosts, ClosesOnAnUploadOverTheCapAndStoresNothing) {
    TCPClient c(server.port(8));
    c.send(logfile(L"pat", L"big.log", std::string(100001, 'x')));
    EXPECT_TRUE(c.closedByPeer());
    EXPECT_FALSE(std::filesystem::exists(server.dataFolder() + "/logs/pat"));
    TCPClient next(server.port(8));
    next.send(logfile(L"pat", L"small.log", "ok"));
    ZHTTPHeaders answer;
    ASSERT_TRUE(next.receive(answer));
    EXPECT_EQ(answer.getResponse(), 200);
}

TEST_F(FileHosts, ServesAnUpgradeWithItsExactContentLength) {
    std::string body;
    for (int i = 0; i < 300000; ++i) body += static_cast<char>(i * 7 % 251);
    ZTestWriteFile(server.dataFolder() + "/upgrades/zandrel-765.bin", body);
    TCPClient c(server.port(9));
    c.sendRaw("GET /zandrel-765.bin HTTP/1.1\r\nAccept: */*\r\nHost: 127.0.0.1\r\nUser-Agent: Zandrel/764\r\n\r\n");
    const std::string all = c.readToClose();
    ZHTTPHeaders answer;
    ASSERT_EQ(answer.deserialize(all), static_cast<int>(all.size()));
    EXPECT_EQ(answer.get(std::wstring()), L"HTTP/1.1 200 OK");
    EXPECT_EQ(answer.get(L"Content-Length"), ZToString(static_cast<int>(body.size())));
    ASSERT_EQ(answer.getContentCount(), 1);
    EXPECT_TRUE(answer.getContent(0) == body);
}

TEST_F(FileHosts, AnswersNotFoundForAnythingOutsideTheUpgradeFolder) {
    ZTestWriteFile(server.dataFolder() + "/secret.txt", "secret");
    for (const char* path : {"/../secret.txt", "/..%2Fsecret.txt", "/", "/missing.bin", "/logs", "/.hidden"}) {
        TCPClient c(server.port(9));
        c.sendRaw(std::string("GET ") + path + " HTTP/1.1\r\nHost: x\r\n\r\n");
        const std::string all = c.readToClose();
        EXPECT_EQ(all.compare(0, 22, "HTTP/1.1 404 Not Found"), 0) << path << ": " << all;
        EXPECT_EQ(all.find("secret\n"), std::string::npos);
    }
    TCPClient post(server.port(9));
    post.sendRaw("POST /x HTTP/1.1\r\n\r\n");
    EXPECT_EQ(post.readToClose().compare(0, 21, "HTTP/1.1 405 Method N"), 0);
}

TEST(LogHost, RemovesUploadsLeftUnfinishedByAKilledService) {
    ZTempDir dir;
    std::filesystem::create_directories(dir.file("data/logs/ann@zandrel.net"));
    ZTestWriteFile(dir.file("data/logs/ann@zandrel.net/.upload-Ab12Cd"), "half");
    ZTestWriteFile(dir.file("data/logs/ann@zandrel.net/whole.log"), "kept");
    ServerProcess server(dir.file("data"));
    ASSERT_TRUE(server.start());
    EXPECT_FALSE(std::filesystem::exists(dir.file("data/logs/ann@zandrel.net/.upload-Ab12Cd")));
    EXPECT_EQ(ZTestReadFile(dir.file("data/logs/ann@zandrel.net/whole.log")), "kept");
}

TEST_F(FileHosts, AnswersHeadWithTheHeadersOfGetAndTheLogHostWithTheMethodItTakes) {
    ZTestWriteFile(server.dataFolder() + "/upgrades/zandrel-765.bin", std::string(12345, 'b'));
    TCPClient head(server.port(9));
    head.sendRaw("HEAD /zandrel-765.bin HTTP/1.1\r\nHost: x\r\n\r\n");
    std::string all = head.readToClose();
    // The length of the file that a GET would bring, and nothing after the headers.
    EXPECT_EQ(all.compare(0, 17, "HTTP/1.1 200 OK\r\n"), 0) << all;
    EXPECT_NE(all.find("\r\nContent-Length: 12345\r\n"), std::string::npos) << all;
    ASSERT_NE(all.find("\r\n\r\n"), std::string::npos) << all;
    EXPECT_EQ(all.size(), all.find("\r\n\r\n") + 4) << all;

    TCPClient log(server.port(8));
    log.sendRaw("HEAD / HTTP/1.1\r\nHost: x\r\n\r\n");
    all = log.readToClose();
    ZHTTPHeaders answer;
    ASSERT_GT(answer.deserialize(all), 0) << all;
    EXPECT_EQ(answer.getResponse(), 405);
    EXPECT_EQ(answer.get(L"Allow"), L"LOGFILE");
    EXPECT_EQ(answer.get(L"Content-Length"), L"0");
}

TEST_F(FileHosts, AnswersAnOversizeHeaderOrBareLineFeedsWithAStatusAndCloses) {
    struct Case {
        int port;
        std::string bytes;
        const char* status;
    };
    const std::string longHeader = "X-Filler: " + std::string(9 * 1024, 'f') + "\r\n";
    const Case cases[] = {
        {8, "LOGFILE / HTTP/1.1\r\n" + longHeader + "\r\n", "HTTP/1.1 431 "},
        {9, "GET /x HTTP/1.1\r\n" + longHeader + "\r\n", "HTTP/1.1 431 "},
        {0, "AUTHENTICATE / HTTP/1.1\r\n" + longHeader + "\r\n", "HTTP/1.1 431 "},
        {8, "LOGFILE / HTTP/1.1\nFrom: a\nContent-Length: 1\n\nx", "HTTP/1.1 400 "},
        {9, "GET /x HTTP/1.1\nHost: x\n\n", "HTTP/1.1 400 "},
        {0, "AUTHENTICATE / HTTP/1.1\nFrom: a\n\n", "HTTP/1.1 400 "},
        {8, "LOGFILE / HTTP/1.1\r\nContent-Length: 100001\r\n\r\n", "HTTP/1.1 413 "},
    };
    for (const Case& c : cases) {
        TCPClient client(server.port(c.port));
        client.sendRaw(c.bytes);
        // At once, not after an idle time: well within the patience.
        EXPECT_TRUE(client.closedByPeer(3000)) << c.port << ": " << c.bytes.substr(0, 40);
        const std::string all = client.readToClose();
        EXPECT_EQ(all.compare(0, std::strlen(c.status), c.status), 0) << c.port << ": " << all;
        EXPECT_NE(all.find("Content-Length: 0\r\n"), std::string::npos) << all;
    }
}
