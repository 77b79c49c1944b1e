// The upgrade and log-upload services against the real service's upgrade
// and log hosts: only a file signed with the release key is installed, and
// old logs go up and are deleted once taken.
#include <sys/stat.h>
#include <unistd.h>

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
    ZTestWriteFile(dir.file("work/OLD_CLEAN.LOG"), "older run\n");
    ZTestWriteFile(dir.file("work/zandrel_261210_101010_dirty.log"), "");
    ZTestWriteFile(dir.file("work/notes.txt"), "keep\n");
    instance->set(L"Global_Logfile_Host", server->host(8), false);
    run(ZSAFENEW(ZLogfileService, instance), L"ZClient.ZLogfileService");
    instance->enqueue(L"ZLogfileService_commandQueue", ZHTTPHeaders(L"UPLOADLOGFILES").serialize());
    ASSERT_TRUE(told(L"LOGFILESUPLOADED", 15000));
    EXPECT_FALSE(ZFileExists(L"OLD_CLEAN.LOG"));
    EXPECT_FALSE(ZFileExists(L"zandrel_261210_101010_dirty.log"));
    EXPECT_EQ(ZTestReadFile(dir.file("work/zandrel.log")), "live\n");
    EXPECT_EQ(ZTestReadFile(dir.file("work/notes.txt")), "keep\n");
    std::map<std::wstring, ZFileInfo> stored;
    ASSERT_TRUE(ZDirList(ZFromUTF8(dir.file("service/logs/amy@zandrel.net@dev-9")), stored));
    EXPECT_EQ(stored.size(), 2u);

    // Keep_Logfiles: nothing is sent or deleted, and the answer comes all the same.
    ZTestWriteFile(dir.file("work/again.log"), "x\n");
    instance->set(L"Keep_Logfiles", std::wstring(L"true"), false);
    instance->enqueue(L"ZLogfileService_commandQueue", ZHTTPHeaders(L"UPLOADLOGFILES").serialize());
    ASSERT_TRUE(told(L"LOGFILESUPLOADED", 5000));
    EXPECT_TRUE(ZFileExists(L"again.log"));

    // An unreachable host keeps the files.
    instance->set(L"Keep_Logfiles", std::wstring(L"0"), false);
    instance->set(L"Global_Logfile_Host", std::wstring(L"127.0.0.1:1"), false);
    ZLogCapture log;
    instance->enqueue(L"ZLogfileService_commandQueue", ZHTTPHeaders(L"UPLOADLOGFILES").serialize());
    ASSERT_TRUE(told(L"LOGFILESUPLOADED", 10000));
    EXPECT_TRUE(ZFileExists(L"again.log"));
    EXPECT_TRUE(log.contains(L"WARNING Failed to upload 'again.log', response #0 ()"));
}
