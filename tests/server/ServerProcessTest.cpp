// The program itself: options, a bad configuration, a port in use, and the
// clean stop on SIGTERM and SIGINT.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <thread>

#include "ZServerConfig.h"
#include "ZServerTestSupport.h"

using namespace servertest;

TEST(ServerProgram, ListsEveryOptionForHelp) {
    std::string output;
    ASSERT_EQ(runServerProgram({"--help"}, output), 0);
    for (const char* option : {"--bind", "--port-base", "--data", "--domain", "--config", "--help", "--advertise",
                               "--max-upload", "--max-relay-frame", "--flood-limit", "--auth-reserve",
                               "--max-uploads-per-peer", "--relay-open-timeout", "--nofile"})
        EXPECT_NE(output.find(option), std::string::npos) << option;
    // Every option's text starts apart from its name.
    for (std::size_t at = output.find("<value>"); at != std::string::npos; at = output.find("<value>", at + 1))
        EXPECT_EQ(output[at + 7], ' ') << output.substr(at - 30, 60);
}

TEST(ServerProgram, SaysWhatIsWrongInItsFirstLine) {
    ZTempDir dir;
    ZTestWriteFile(dir.file("odd.conf"), "bind = 127.0.0.1\ncolour = red\n");
    ZTestWriteFile(dir.file("plain-file"), "x");
    mkdir(dir.file("broken").c_str(), 0700);
    ZTestWriteFile(dir.file("broken/zandrel.db"), std::string(4096, 'x'));
    const std::string port = "--port-base";
    struct Case {
        std::vector<std::string> args;
        std::string first;
    };
    const Case cases[] = {
        {{"--x"}, "zandrel-server: unknown option --x"},
        {{"--x", "--help"}, "zandrel-server: unknown option --x"},
        {{"--port-base", "70000"}, "zandrel-server: --port-base: '70000' is not a number from 1 to 65000"},
        {{"--config", dir.file("odd.conf")}, "zandrel-server: " + dir.file("odd.conf") + ":2: unknown option 'colour'"},
        {{"--data", dir.file("plain-file"), port, "31000"},
         "zandrel-server: '" + dir.file("plain-file") + "' is a file, not a folder"},
        {{"--data", dir.file("broken"), port, "31000"},
         "zandrel-server: cannot open the database: " + dir.file("broken") + "/zandrel.db: file is not a database"},
    };
    for (const Case& c : cases) {
        std::string output;
        EXPECT_NE(runServerProgram(c.args, output), 0) << c.first;
        EXPECT_EQ(output.substr(0, output.find('\n')), c.first);
        // One pointer to --help at most, never the whole list.
        EXPECT_EQ(output.find("--max-connections"), std::string::npos) << output;
    }
}

TEST(ServerProgram, RefusesASecondServiceOnTheSameDataFolder) {
    ZTempDir dir;
    ServerProcess first(dir.file("data"));
    ASSERT_TRUE(first.start());
    std::string output;
    EXPECT_EQ(runServerProgram({"--port-base", std::to_string(first.portBase() + 10000), "--data", dir.file("data")},
                               output),
              1);
    EXPECT_NE(output.find("is in use by another zandrel-server"), std::string::npos) << output;
    EXPECT_TRUE(first.running());
}

TEST(ServerProgram, ExitsWithAnErrorForABadConfiguration) {
    ZTempDir dir;
    ZTestWriteFile(dir.file("bad.conf"), "bind = 127.0.0.1\nport-base = lots\n");
    const std::vector<std::vector<std::string>> cases = {
        {"--no-such-option", "1"},
        {"--port-base"},
        {"--port-base", "70000"},
        {"--bind", "not-an-address", "--data", dir.file("d")},
        {"--config", dir.file("bad.conf")},
        {"--config", dir.file("missing.conf")},
        {"--domain", "a@b", "--data", dir.file("d")},
    };
    for (const auto& args : cases) {
        std::string output;
        const int code = runServerProgram(args, output);
        EXPECT_NE(code, 0) << args[0];
        EXPECT_NE(output.find("zandrel-server: "), std::string::npos) << output;
    }
}

TEST(ServerProgram, ExitsWithAnErrorWhenAPortIsInUse) {
    ZTempDir dir;
    ServerProcess first(dir.file("one"));
    ASSERT_TRUE(first.start());
    std::string output;
    const int code = runServerProgram({"--bind", "127.0.0.1", "--port-base", std::to_string(first.portBase()),
                                       "--data", dir.file("two")},
                                      output);
    EXPECT_EQ(code, 1);
    EXPECT_NE(output.find("in use"), std::string::npos) << output;
    EXPECT_TRUE(first.running());
}

TEST(ServerProgram, StopsCleanlyOnSigtermSigintAndSighup) {
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
        ZTempDir dir;
        ServerProcess server(dir.file("data"));
        ASSERT_TRUE(server.start());
        EXPECT_NE(server.readyLine().find("zandrel-server ready"), std::string::npos);
        EXPECT_EQ(server.stop(sig), 0);
        EXPECT_NE(server.log().find("stopped cleanly"), std::string::npos) << sig;
        // The ready line goes to standard output only, once.
        EXPECT_EQ(server.log().find("ready"), std::string::npos);
    }
}

TEST(ServerConfig, PutsEveryRoleOnItsPortOfTheDefaultLayout) {
    ZServerConfig c;
    bool help = false;
    std::string error;
    ASSERT_TRUE(ZServerParseOptions({"--bind", "10.1.2.3", "--port-base", "5000", "--data", "/tmp/x"}, c, help, error));
    ASSERT_TRUE(ZServerResolveLayout(c, error)) << error;
    EXPECT_EQ(c.authHost, "10.1.2.3:5000");
    for (int i = 0; i < 4; ++i) EXPECT_EQ(c.stunHosts[i], "10.1.2.3:" + std::to_string(5001 + i));
    EXPECT_EQ(c.sipHosts[0], "10.1.2.3:5005");
    EXPECT_EQ(c.sipHosts[1], "10.1.2.3:5006");
    EXPECT_EQ(c.relayHost, "10.1.2.3:5007");
    EXPECT_EQ(c.relayPortLow, 5100);
    EXPECT_EQ(c.logHost, "10.1.2.3:5008");
    EXPECT_EQ(c.upgradeHost, "10.1.2.3:5009");
    EXPECT_EQ(c.advertise, "10.1.2.3");
}

TEST(ServerConfig, StartsOnePasswordWorkerPerCoreUnlessTold) {
    const int cores = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    ZServerConfig c;
    bool help = false;
    std::string error;
    ASSERT_TRUE(ZServerParseOptions({}, c, help, error)) << error;
    EXPECT_EQ(c.workers, std::min(cores, 64));
    EXPECT_NE(ZServerUsage().find("threads that hash passwords (default: the number of cores)"), std::string::npos);
    ASSERT_TRUE(ZServerParseOptions({"--workers", "3"}, c, help, error)) << error;
    EXPECT_EQ(c.workers, 3);
}

TEST(ServerConfig, LetsTheCommandLineOverrideTheConfigurationFile) {
    ZTempDir dir;
    ZTestWriteFile(dir.file("s.conf"), "# comment\nport-base = 6000\ndomain = example.com\nlog-host = 127.0.0.9:7777\n");
    ZServerConfig c;
    bool help = false;
    std::string error;
    ASSERT_TRUE(ZServerParseOptions({"--port-base", "7000", "--config", dir.file("s.conf")}, c, help, error)) << error;
    ASSERT_TRUE(ZServerResolveLayout(c, error)) << error;
    EXPECT_EQ(c.portBase, 7000);
    EXPECT_EQ(c.domain, "example.com");
    EXPECT_EQ(c.logHost, "127.0.0.9:7777");
    EXPECT_EQ(c.authHost, "127.0.0.1:7000");
}
