// The upgrade and log-upload services against the real service's upgrade
// and log hosts: only a file signed with the release key is installed, and
// old logs go up and are deleted once taken.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>

#include "ZHTTPHeaders.h"
#include "ZInstance.h"
#include "ZLogfileService.h"
#include "ZNonPortable.h"
#include "ZPeerProcesses.h"
#include "ZPortable.h"
#include "ZTestProcess.h"
#include "ZTestSupport.h"
#include "ZTestTLS.h"
#include "ZUpgradeService.h"
#include "ZUpgradeSignature.h"
#include "ZUtil.h"
#include "ZUtil_File.h"

using namespace peertest;

namespace {

// A working folder of its own with a store and the real service beside it.
class ServiceHosts : public ::testing::Test {
protected:
    void SetUp() override {
        char buffer[4096];
        oldFolder = getcwd(buffer, sizeof buffer) ? buffer : ".";
        ZDirCreate(ZFromUTF8(dir.file("work")));
        ASSERT_EQ(chdir(dir.file("work").c_str()), 0);
        ZInitializeNonPortable(nullptr);
        ASSERT_FALSE(serverProgram().empty());
        server = std::make_unique<Server>(dir.file("service"));
        ASSERT_TRUE(server->start());
        ZDirCreate(ZFromUTF8(dir.file("service/upgrades")));
        instance = ZSAFENEW(ZInstance, L"settings.ini");
        instance->set(L"Current_Version", std::wstring(L"764"), true);
        instance->set(L"Local_User_GUID", std::wstring(L"amy@zandrel.net"), false);
        instance->set(L"Local_Device_GUID", std::wstring(L"dev-9"), false);
        instance->set(L"TLS_CA_File", ZFromUTF8(zantest::testCertificate().ca), false);
        ASSERT_TRUE(ZUpgradeGenerateKey(privateKey, publicKey));
        ZUpgradeSetPublicKey(publicKey);
    }
    void TearDown() override {
        if (service) {
            service->stop(true);
            delete service;
        }
        delete instance;
        server.reset();
        ZUpgradeSetPublicKey("");
        ZUninitializeNonPortable();
        ASSERT_EQ(chdir(oldFolder.c_str()), 0);
    }

    // Offers the bytes as an upgrade, with the signature given ("" for none).
    std::wstring offer(const std::string& name, const std::string& bytes, const std::string& signature) {
        ZTestWriteFile(dir.file("service/upgrades/" + name), bytes);
        if (!signature.empty()) ZTestWriteFile(dir.file("service/upgrades/" + name + ".sig"), signature);
        return L"http://" + server->host(9) + L"/" + ZFromUTF8(name);
    }
    std::string sign(const std::string& bytes) {
        std::string signature;
        EXPECT_TRUE(ZUpgradeSign(bytes, privateKey, signature));
        return signature;
    }
    void run(ZThreadObject* object, const wchar_t* name) {
        service = object;
        service->start(name);
    }
    // Waits for the method on the client's queue.
    bool told(const std::wstring& method, std::int64_t patienceMs) {
        const std::int64_t end = nowMs() + patienceMs;
        std::string item;
        while (nowMs() < end) {
            while (instance->dequeue(L"ZClient_commandQueue", item)) {
                ZHTTPHeaders message;
                message.deserialize(item);
                if (message.getMethod() == method) return true;
            }
            ZThreadSleep(50000);
        }
        return false;
    }

    ZTempDir dir;
    std::string oldFolder;
    std::unique_ptr<Server> server;
    ZInstance* instance = nullptr;
    ZThreadObject* service = nullptr;
    std::string privateKey;
    std::string publicKey;
};

const std::string kInstaller = "#!/bin/sh\necho installed > installer-ran\n";

}  // namespace

TEST_F(ServiceHosts, ASignedUpgradeArrivesExecutableAndRunsAtTheNextStart) {
    instance->set(L"Local_Upgrade_URL", offer("zandrel-765.bin", kInstaller, sign(kInstaller)), false);
    run(ZSAFENEW(ZUpgradeService, instance), L"ZClient.ZUpgradeService");
    ASSERT_TRUE(told(L"UPGRADEDOWNLOADED", 15000));
    EXPECT_EQ(ZTestReadFile(dir.file("work/upgrade.exe")), kInstaller);
    struct stat info {};
    ASSERT_EQ(stat(dir.file("work/upgrade.exe").c_str(), &info), 0);
    EXPECT_TRUE(info.st_mode & S_IXUSR);
    EXPECT_FALSE(instance->isSet(L"Local_Upgrade_URL"));
    EXPECT_EQ(instance->calc(L"Upgrade_In_Progress"), 1);
    service->stop(true);

    // The next start (the process entry of any of our programs) runs it.
    const pid_t entry = zantest::spawn(ZAN_TEST_PROGRAMS "/zanstandin", {"-norestart", "1", "-silent", "1"},
                                       dir.file("work"), -1, -1, -1);
    ASSERT_TRUE(zantest::reap(entry, 15000));
    for (int i = 0; i < 100 && ZTestReadFile(dir.file("work/installer-ran")).empty(); ++i) ZThreadSleep(50000);
    EXPECT_EQ(ZTestReadFile(dir.file("work/installer-ran")), "installed\n");
}

TEST_F(ServiceHosts, AnUnsignedTamperedOrForeignUpgradeIsNeverInstalled) {
    std::string otherKey;
    std::string otherPublic;
    ASSERT_TRUE(ZUpgradeGenerateKey(otherKey, otherPublic));
    std::string foreign;
    ASSERT_TRUE(ZUpgradeSign(kInstaller, otherKey, foreign));
    const struct {
        const char* name;
        std::string bytes;
        std::string signature;
    } cases[] = {
        {"unsigned.bin", kInstaller, ""},
        {"tampered.bin", kInstaller + "rm -rf ~\n", sign(kInstaller)},
        {"foreign.bin", kInstaller, foreign},
        {"short.bin", kInstaller, "abc"},
    };
    ZLogCapture log;
    for (const auto& c : cases) {
        instance->set(L"Local_Upgrade_URL", offer(c.name, c.bytes, c.signature), false);
        ZUpgradeService upgrade(instance);
        upgrade.start(L"ZClient.ZUpgradeService");
        for (int i = 0; i < 200 && instance->isSet(L"Local_Upgrade_URL"); ++i) ZThreadSleep(50000);
        upgrade.stop(true);
        EXPECT_FALSE(instance->isSet(L"Local_Upgrade_URL")) << c.name;
        EXPECT_FALSE(ZFileExists(L"upgrade.exe")) << c.name;
        EXPECT_FALSE(ZFileExists(L"upgrade.exe.part")) << c.name;
        EXPECT_FALSE(told(L"UPGRADEDOWNLOADED", 0)) << c.name;
    }
    EXPECT_EQ(log.count(L"' is not signed with the release key, deleting the download."), 4);
}

namespace {

std::atomic<std::int64_t> g_upgradeNow{0};
std::int64_t upgradeClock() { return g_upgradeNow.load(); }

}  // namespace

TEST_F(ServiceHosts, AFailedWriteOfTheUpgradeWarnsAndIsRetriedWithoutTellingTheClient) {
    // A folder in the way of the partial file: nothing can be written.
    ASSERT_TRUE(ZDirCreate(L"upgrade.exe.part"));
    const std::wstring url = offer("zandrel-766.bin", kInstaller, sign(kInstaller));
    instance->set(L"Local_Upgrade_URL", url, false);
    g_upgradeNow = ZTimeNow();
    ZLogCapture log;
    ZUpgradeService* upgrade = ZSAFENEW(ZUpgradeService, instance);
    upgrade->setClock(upgradeClock);
    run(upgrade, L"ZClient.ZUpgradeService");
    const wchar_t* warning = L"WARNING Cannot write 'upgrade.exe', trying again in 1 min.";
    for (int i = 0; i < 300 && !log.contains(warning); ++i) ZThreadSleep(50000);
    EXPECT_EQ(log.count(warning), 1);
    EXPECT_FALSE(told(L"UPGRADEDOWNLOADED", 300));
    EXPECT_EQ(instance->get(L"Local_Upgrade_URL"), url) << "kept for the next attempt";
    EXPECT_FALSE(ZFileExists(L"upgrade.exe"));

    // The way is clear and a minute has passed: the same offer is installed.
    ASSERT_EQ(rmdir("upgrade.exe.part"), 0);
    g_upgradeNow += 61000000;
    ASSERT_TRUE(told(L"UPGRADEDOWNLOADED", 15000));
    EXPECT_EQ(ZTestReadFile(dir.file("work/upgrade.exe")), kInstaller);
    EXPECT_EQ(log.count(warning), 1);
}

TEST_F(ServiceHosts, ARefusedUpgradeIsToldAndFetchedAgainAtOnceWhenTheNextSignInOffersIt) {
    const std::wstring url = offer("zandrel-767.bin", kInstaller, "");
    g_upgradeNow = ZTimeNow();
    ZLogCapture log;
    ZUpgradeService* upgrade = ZSAFENEW(ZUpgradeService, instance);
    upgrade->setClock(upgradeClock);
    run(upgrade, L"ZClient.ZUpgradeService");
    const wchar_t* refusal = L"' is not signed with the release key, deleting the download.";
    for (int round = 1; round <= 2; ++round) {
        // As the sign-in answer fills it; the service's clock stands still.
        instance->set(L"Local_Upgrade_URL", url, false);
        ASSERT_TRUE(told(L"UPGRADEREFUSED", 15000)) << round;
        EXPECT_EQ(log.count(refusal), round);
        EXPECT_FALSE(instance->isSet(L"Local_Upgrade_URL"));
        EXPECT_FALSE(ZFileExists(L"upgrade.exe"));
    }
}

TEST_F(ServiceHosts, AnUnreadableOldLogIsSkippedAndKeptWhileTheOthersGoUp) {
    // A socket in a log's place: no one, root included, can read it as a file.
    const std::string unreadable = dir.file("work/zandrel_261210_080000_clean.log");
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(unreadable.size(), sizeof(address.sun_path));
    std::memcpy(address.sun_path, unreadable.c_str(), unreadable.size());
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ZTestWriteFile(dir.file("work/zandrel_261210_090000_clean.log"), "readable\n");
    instance->set(L"Global_Logfile_Host", server->host(8), false);
    run(ZSAFENEW(ZLogfileService, instance), L"ZClient.ZLogfileService");
    instance->enqueue(L"ZLogfileService_commandQueue", ZHTTPHeaders(L"UPLOADLOGFILES").serialize());
    ASSERT_TRUE(told(L"LOGFILESUPLOADED", 15000));
    close(fd);
    struct stat info {};
    EXPECT_EQ(lstat(unreadable.c_str(), &info), 0) << "never deleted: it was never sent";
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_FALSE(ZFileExists(L"zandrel_261210_090000_clean.log")) << "the next one still went up";
    std::map<std::wstring, ZFileInfo> stored;
    ASSERT_TRUE(ZDirList(ZFromUTF8(dir.file("service/logs/amy@zandrel.net@dev-9")), stored));
    EXPECT_EQ(stored.size(), 1u);
}

TEST_F(ServiceHosts, AnInvalidAddressIsClearedAndAMissingFileIsRetriedLater) {
    ZLogCapture log;
    for (const wchar_t* url : {L"ftp://127.0.0.1/x.bin", L"http://127.0.0.1", L"http:///x.bin"}) {
        instance->set(L"Local_Upgrade_URL", std::wstring(url), false);
        ZUpgradeService upgrade(instance);
        upgrade.start(L"ZClient.ZUpgradeService");
        for (int i = 0; i < 100 && instance->isSet(L"Local_Upgrade_URL"); ++i) ZThreadSleep(20000);
        upgrade.stop(true);
        EXPECT_FALSE(instance->isSet(L"Local_Upgrade_URL"));
        EXPECT_TRUE(log.contains(L"WARNING Invalid upgrade URL '" + std::wstring(url) + L"', clearing and ignoring."));
    }
    const std::wstring missing = L"http://" + server->host(9) + L"/none.bin";
    instance->set(L"Local_Upgrade_URL", missing, false);
    ZUpgradeService upgrade(instance);
    upgrade.start(L"ZClient.ZUpgradeService");
    for (int i = 0; i < 200 && !log.contains(L"WARNING Upgrade download failed with response #404"); ++i)
        ZThreadSleep(50000);
    upgrade.stop(true);
    EXPECT_TRUE(log.contains(L"WARNING Upgrade download failed with response #404 'Not Found', trying again in 1 min."));
    EXPECT_EQ(instance->get(L"Local_Upgrade_URL"), missing) << "kept for the next attempt";
}

TEST_F(ServiceHosts, OldLogsGoUpAndAreDeletedTheLiveLogAndOtherFilesStay) {
    ZTestWriteFile(dir.file("work/zandrel.log"), "live\n");
    ZTestWriteFile(dir.file("work/ZANDREL_261209_090909_CLEAN.LOG"), "older run\n");
    ZTestWriteFile(dir.file("work/zandrel_261210_101010_dirty.log"), "");
    ZTestWriteFile(dir.file("work/notes.txt"), "keep\n");
    // Other programs' logs in the same folder, and names that only look like ours.
    const char* others[] = {"service.log", "OLD_CLEAN.LOG", "zandrel_2612_1010_clean.log",
                            "zandrel_261210_101010_clean.log.1", "zandrel_261210_10101x_dirty.log",
                            "other_261210_101010_clean.log"};
    for (const char* name : others) ZTestWriteFile(dir.file(std::string("work/") + name), "not ours\n");
    instance->set(L"Global_Logfile_Host", server->host(8), false);
    run(ZSAFENEW(ZLogfileService, instance), L"ZClient.ZLogfileService");
    instance->enqueue(L"ZLogfileService_commandQueue", ZHTTPHeaders(L"UPLOADLOGFILES").serialize());
    ASSERT_TRUE(told(L"LOGFILESUPLOADED", 15000));
    EXPECT_FALSE(ZFileExists(L"ZANDREL_261209_090909_CLEAN.LOG"));
    EXPECT_FALSE(ZFileExists(L"zandrel_261210_101010_dirty.log"));
    EXPECT_EQ(ZTestReadFile(dir.file("work/zandrel.log")), "live\n");
    EXPECT_EQ(ZTestReadFile(dir.file("work/notes.txt")), "keep\n");
    for (const char* name : others) EXPECT_EQ(ZTestReadFile(dir.file(std::string("work/") + name)), "not ours\n") << name;
    std::map<std::wstring, ZFileInfo> stored;
    ASSERT_TRUE(ZDirList(ZFromUTF8(dir.file("service/logs/amy@zandrel.net@dev-9")), stored));
    EXPECT_EQ(stored.size(), 2u);

    // Keep_Logfiles: nothing is sent or deleted, and the answer comes all the same.
    ZTestWriteFile(dir.file("work/zandrel_261211_080000_dirty.log"), "x\n");
    instance->set(L"Keep_Logfiles", std::wstring(L"true"), false);
    instance->enqueue(L"ZLogfileService_commandQueue", ZHTTPHeaders(L"UPLOADLOGFILES").serialize());
    ASSERT_TRUE(told(L"LOGFILESUPLOADED", 5000));
    EXPECT_TRUE(ZFileExists(L"zandrel_261211_080000_dirty.log"));

    // An unreachable host keeps the files.
    instance->set(L"Keep_Logfiles", std::wstring(L"0"), false);
    instance->set(L"Global_Logfile_Host", std::wstring(L"127.0.0.1:1"), false);
    ZLogCapture log;
    instance->enqueue(L"ZLogfileService_commandQueue", ZHTTPHeaders(L"UPLOADLOGFILES").serialize());
    ASSERT_TRUE(told(L"LOGFILESUPLOADED", 10000));
    EXPECT_TRUE(ZFileExists(L"zandrel_261211_080000_dirty.log"));
    EXPECT_TRUE(log.contains(L"WARNING Failed to upload 'zandrel_261211_080000_dirty.log', response #0 ()"));
}
