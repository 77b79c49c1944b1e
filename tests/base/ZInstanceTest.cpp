#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "ZInstance.h"
#include "ZPortable_Text.h"
#include "ZTestSupport.h"

namespace {

// A store over a settings file in a fresh folder, deleted (and so saved)
// when the test lets it go.
struct ZStoreFixture {
    ZTempDir dir;
    std::string path = dir.file("settings.ini");
    std::unique_ptr<ZInstance> store;

    ZInstance& open() {
        store.reset(ZSAFENEW(ZInstance, ZFromUTF8(path)));
        return *store;
    }
    ZInstance& reopen() {
        store.reset();
        return open();
    }
};

}  // namespace

TEST(ZInstance, SavesPersistedVariablesAsFoldedEscapedLines) {
    ZStoreFixture f;
    ZInstance& s = f.open();
    s.set(L"Local_Email", L"a b", true);
    s.set(L"First_Run_Complete", std::int64_t{1}, true);
    s.set(L"Logon_Status", L"online", false);
    s.save();
    EXPECT_EQ(ZTestReadFile(f.path), "first_run_complete: 1\nlocal_email: a b\n\n");
    EXPECT_FALSE(std::filesystem::exists(f.path + ".tmp"));
}

TEST(ZInstance, SavingAnEmptyStoreWritesOneEmptyLine) {
    ZStoreFixture f;
    f.open().save();
    EXPECT_EQ(ZTestReadFile(f.path), "\n");
}

TEST(ZInstance, DestructorSavesTheSettingsFile) {
    ZStoreFixture f;
    f.open().set(L"Global_SIP_Host", L"sip.example.org:5060", true);
    f.store.reset();
    EXPECT_EQ(ZTestReadFile(f.path), "global_sip_host: sip.example.org:5060\n\n");
}

TEST(ZInstance, LoadStopsAtTheFirstCorruptLineAndWarnsOfTheCounts) {
    ZStoreFixture f;
    ZTestWriteFile(f.path, "a: 1\nb 2\nc: 3\n");
    ZLogCapture log;
    ZInstance& s = f.open();
    EXPECT_EQ(s.get(L"a"), L"1");
    EXPECT_FALSE(s.isSet(L"b 2"));
    EXPECT_FALSE(s.isSet(L"b"));
    EXPECT_FALSE(s.isSet(L"c"));
    EXPECT_EQ(log.count(L"WARNING Corrupt headers; # names (2) !=  # values (1).\n"), 1);
}

TEST(ZInstance, LoadReadsEveryLineEndAndFoldsNames) {
    struct Case {
        const char* label;
        std::string file;
        std::wstring name;
        std::wstring value;
    };
    const Case cases[] = {
        {"last line without line end", "y: 8\nz: 9", L"z", L"9"},
        {"CR LF lines", "y: 8\r\nz: 9\r\n\r\n", L"z", L"9"},
        {"lone CR lines", "y: 8\rz: 9\r", L"z", L"9"},
        {"blanks around", " \tZ:\t 9 \n", L"z", L"9 "},
        {"blank before colon stays in the name", "z :9\n", L"z ", L"9"},
        {"later line wins", "z: 1\nZ: 9\n", L"z", L"9"},
        {"escapes", "my\\ key\\:x: a\\nb\\\\c\n", L"My Key:X", L"a\nb\\c"},
        {"nothing after an empty line", "y: 8\n\nz: 9\n", L"y", L"8"},
    };
    for (const Case& c : cases) {
        ZStoreFixture f;
        ZTestWriteFile(f.path, c.file);
        ZInstance& s = f.open();
        EXPECT_EQ(s.get(c.name), c.value) << c.label;
        EXPECT_EQ(s.getTimestamp(c.name) > 0, true) << c.label;
    }
    ZStoreFixture f;
    ZTestWriteFile(f.path, "y: 8\n\nz: 9\n");
    EXPECT_FALSE(f.open().isSet(L"z"));
}

TEST(ZInstance, AwkwardNamesAndValuesSurviveSaveAndLoad) {
    const std::wstring names[] = {L"a b", L"a:b", L"a\\b", L"tab\tname", L"\u0391lpha"};
    const std::string values[] = {"line\nfeed and back\\slash", "\r\n\t\\", " lead", "\xCE\xB1\xE2\x82\xAC", ""};
    ZStoreFixture f;
    ZInstance& s = f.open();
    for (std::size_t i = 0; i < std::size(names); ++i) s.set(names[i], values[i], true);
    ZInstance& again = f.reopen();
    // A leading blank of a value is skipped by the reader, like a message's.
    EXPECT_EQ(again.getRaw(names[0]), values[0]);
    EXPECT_EQ(again.getRaw(names[1]), values[1]);
    EXPECT_EQ(again.getRaw(names[2]), "lead");
    EXPECT_EQ(again.getRaw(names[3]), values[3]);
    EXPECT_FALSE(again.isSet(names[4]));
}

TEST(ZInstance, FailedSaveKeepsTheOldFileWhole) {
    ZStoreFixture f;
    ZInstance& s = f.open();
    s.set(L"Local_User_GUID", L"1234", true);
    s.save();
    const std::string before = ZTestReadFile(f.path);
    s.set(L"Local_User_GUID", L"5678", true);

    // The new text cannot even be opened.
    std::filesystem::create_directory(f.path + ".tmp");
    {
        ZLogCapture log;
        s.save();
        EXPECT_EQ(log.count(L"WARNING: Assertion failed. (fp)"), 1);
    }
    EXPECT_EQ(ZTestReadFile(f.path), before);
    std::filesystem::remove(f.path + ".tmp");

    // The disk fills up while the new text is written.
    ASSERT_TRUE(std::filesystem::exists("/dev/full")) << "the disk-full test needs /dev/full";
    std::filesystem::create_symlink("/dev/full", f.path + ".tmp");
    {
        ZLogCapture log;
        s.save();
        EXPECT_EQ(log.count(L"not saved, keeping the old one."), 1);
    }
    EXPECT_EQ(ZTestReadFile(f.path), before);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(f.path + ".tmp")));

    s.save();
    EXPECT_EQ(ZTestReadFile(f.path), "local_user_guid: 5678\n\n");
}

TEST(ZInstance, UnchangedValueChangesNeitherStampNorPersistence) {
    ZStoreFixture f;
    ZInstance& s = f.open();
    EXPECT_EQ(s.getTimestamp(L"X"), 0u);
    s.set(L"X", "", false);
    EXPECT_EQ(s.getTimestamp(L"x"), 0u);
    s.set(L"X", L"x", true);
    const std::uint64_t first = s.getTimestamp(L"x");
    EXPECT_GT(first, 0u);
    s.set(L"x", L"x", false);
    EXPECT_EQ(s.getTimestamp(L"X"), first);
    s.save();
    EXPECT_EQ(ZTestReadFile(f.path), "x: x\n\n");
    s.set(L"x", L"y", false);
    EXPECT_GE(s.getTimestamp(L"X"), first);
    s.save();
    EXPECT_EQ(ZTestReadFile(f.path), "\n");
}

TEST(ZInstance, ReadsValuesAsTextNumbersAndFlags) {
    ZStoreFixture f;
    ZInstance& s = f.open();
    s.set(L"Video_Size", std::int64_t{48}, false);
    EXPECT_EQ(s.get(L"video_size"), L"48");
    EXPECT_EQ(s.calc(L"VIDEO_SIZE"), 48);
    struct Flag {
        const wchar_t* value;
        bool expected;
    };
    for (const Flag& c : {Flag{L"TRUE", true}, Flag{L"7x", true}, Flag{L"0", false}, Flag{L"", false},
                          Flag{L"-3", false}, Flag{L"abc", false}}) {
        s.set(L"Flag", c.value, false);
        EXPECT_EQ(s.test(L"Flag"), c.expected) << c.value;
    }
    EXPECT_FALSE(s.test(L"Absent"));
    EXPECT_EQ(s.calc(L"Absent"), 0);
    EXPECT_EQ(s.get(L"Absent"), L"");
    s.set(L"\u0391", L"capital", false);
    s.set(L"\u03B1", L"small", false);
    EXPECT_EQ(s.get(L"\u0391"), L"capital");
    EXPECT_EQ(s.get(L"\u03B1"), L"small");
}

TEST(ZInstance, StoresRawBytesAndHandsOutEntriesUnderTheLock) {
    ZStoreFixture f;
    ZInstance& s = f.open();
    const char image[] = {'\0', '\x01', '\xFF', '\0'};
    s.setRaw(L"Picture", image, sizeof image, false);
    EXPECT_EQ(s.getRaw(L"picture"), std::string(image, sizeof image));

    ZInstanceEntry& entry = s.open(L"Frame");
    entry.value.assign(3, 'p');
    s.close(L"Frame", true);
    EXPECT_EQ(s.getRaw(L"frame"), "ppp");
    EXPECT_GT(s.getTimestamp(L"frame"), 0u);

    // The lock is free again: another thread can use the store.
    std::thread([&] { s.set(L"Other", L"1", false); }).join();
    EXPECT_TRUE(s.isSet(L"other"));

    ZLogCapture log;
    s.open(L"Frame");
    s.close(L"Never_Opened", false);
    EXPECT_EQ(log.count(L"WARNING: Assertion failed. (ZMAPCONTAINS( _nameValueMap, lname ))"), 1);
}

TEST(ZInstance, ListVariablesInsertRemoveAndContain) {
    ZStoreFixture f;
    ZInstance& s = f.open();
    s.set(L"Buddies", L"a", true);
    s.insert(L"Buddies", L"b");
    EXPECT_EQ(s.get(L"buddies"), L"a, b");
    const std::uint64_t stamp = s.getTimestamp(L"buddies");
    s.insert(L"Buddies", L"b");
    EXPECT_EQ(s.getTimestamp(L"buddies"), stamp);
    EXPECT_TRUE(s.contains(L"BUDDIES", L"a"));
    EXPECT_FALSE(s.contains(L"Buddies", L"A"));
    s.remove(L"Buddies", L"a");
    EXPECT_EQ(s.get(L"Buddies"), L"b");
    s.save();
    EXPECT_EQ(ZTestReadFile(f.path), "\n") << "insert and remove leave the list unpersisted";

    s.set(L"Hosts", L"a;b", false);
    s.insert(L"Hosts", L"c");
    EXPECT_EQ(s.get(L"Hosts"), L"a, b, c");
    std::vector<std::wstring> items;
    EXPECT_TRUE(s.get(L"Hosts", items));
    EXPECT_EQ(items, (std::vector<std::wstring>{L"a", L"b", L"c"}));
    s.set(L"Hosts", std::list<std::wstring>{L"x", L"y"}, false);
    EXPECT_EQ(s.get(L"Hosts"), L"x, y");

    std::list<std::wstring> untouched{L"keep"};
    EXPECT_FALSE(s.get(L"Absent", untouched));
    EXPECT_EQ(untouched, std::list<std::wstring>{L"keep"});

    ZLogCapture log;
    s.insert(L"", L"x");
    EXPECT_TRUE(s.contains(L"", L"x"));
    EXPECT_EQ(log.count(L"WARNING: Assertion failed. (!name.empty( ))"), 2);
}

TEST(ZInstance, ClearRemovesOneNameOrEveryNameWithAPrefix) {
    ZStoreFixture f;
    ZInstance& s = f.open();
    for (const wchar_t* name : {L"foo_a", L"FOO_B", L"foo", L"fooX"}) s.set(name, L"1", false);
    s.clear(L"Foo_*");
    EXPECT_FALSE(s.isSet(L"foo_a"));
    EXPECT_FALSE(s.isSet(L"foo_b"));
    EXPECT_TRUE(s.isSet(L"foo"));
    EXPECT_TRUE(s.isSet(L"foox"));
    s.clear(L"FOO");
    EXPECT_FALSE(s.isSet(L"foo"));
    EXPECT_TRUE(s.isSet(L"foox"));

    ZLogCapture log;
    EXPECT_ZABORT(s.clear(L"*"));
    EXPECT_TRUE(log.contains(L"ERROR: Assertion failed, aborting. (!base.empty( ))"));
    // The abort left the scope: the lock is free for another thread.
    std::thread([&] { s.set(L"After", L"1", false); }).join();
}

TEST(ZInstance, EmptySettingsFileNameIsAProgrammingError) {
    ZLogCapture log;
    EXPECT_ZABORT(ZInstance(L""));
    EXPECT_TRUE(log.contains(L"ERROR: Precondition failed, aborting. (filename.size( ))"));
}

TEST(ZInstance, LogDumpListsEveryVariableWithAValue) {
    ZStoreFixture f;
    ZInstance& s = f.open();
    s.set(L"B_Name", L"two", false);
    s.set(L"A_Name", L"one", true);
    s.set(L"Empty", L"", true);
    s.set(L"Local_Password", L"hunter2", true);
    s.set(L"Local_Session_Key", L"0123456789abcdef0123456789abcdef", false);
    ZLogCapture log;
    s.logDump();
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_NE(lines[0].find(L"[ZInstance::logDump] SETTINGS: a_name: one\n"), std::wstring::npos) << lines[0];
    EXPECT_NE(lines[1].find(L"SETTINGS: b_name: two\n"), std::wstring::npos);
    // The secrets are there, but not their values.
    EXPECT_NE(lines[2].find(L"SETTINGS: local_password: ********\n"), std::wstring::npos) << lines[2];
    EXPECT_NE(lines[3].find(L"SETTINGS: local_session_key: ********\n"), std::wstring::npos) << lines[3];
}

TEST(ZInstance, ConcurrentInsertsAllArrive) {
    ZStoreFixture f;
    ZInstance& s = f.open();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&s, t] {
            for (int i = 0; i < 50; ++i) s.insert(L"Devices", ZToString(t * 1000 + i));
        });
    for (auto& thread : threads) thread.join();
    std::list<std::wstring> items;
    s.get(L"Devices", items);
    EXPECT_EQ(items.size(), 200u);
}

TEST(ZInstance, NewSettingsFileIsPrivateAndASavedOneKeepsItsPermissions) {
    namespace fs = std::filesystem;
    ZStoreFixture f;
    ZInstance& s = f.open();
    s.set(L"Local_Password", L"secret", true);
    s.save();
    EXPECT_EQ(fs::status(f.path).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

    fs::permissions(f.path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    s.set(L"Local_Password", L"other", true);
    s.save();
    EXPECT_EQ(fs::status(f.path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(ZTestReadFile(f.path), "local_password: other\n\n");
}
