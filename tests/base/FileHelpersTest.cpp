#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>

#include "ZNonPortable.h"
#include "ZPortable_Text.h"
#include "ZTestSupport.h"
#include "ZUtil.h"
#include "ZUtil_File.h"

namespace {

bool isDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 13 % 256);
    return bytes;
}

// The helpers work on paths relative to the working folder: each test runs
// in a fresh one.
class FileHelpersTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(getcwd(_previous, sizeof _previous));
        ASSERT_EQ(chdir(_dir.path().c_str()), 0);
    }
    void TearDown() override { EXPECT_EQ(chdir(_previous), 0); }
    const ZTempDir& dir() const { return _dir; }

private:
    ZTempDir _dir;
    char _previous[4096];
};

}  // namespace

TEST_F(FileHelpersTest, ExistsOnlyForReadableFiles) {
    ZTestWriteFile("file", "x");
    ZTestWriteFile("empty", "");
    std::filesystem::create_directory("folder");
    EXPECT_TRUE(ZFileExists(L"file"));
    EXPECT_TRUE(ZFileExists(L"empty"));
    EXPECT_FALSE(ZFileExists(L"folder"));
    EXPECT_FALSE(ZFileExists(L"missing"));
}

TEST_F(FileHelpersTest, LoadReadsWholeFilesOfEverySizeAroundTheChunk) {
    for (const std::size_t size : {0, 1, 4095, 4096, 4097, 8192, 10000}) {
        const std::string bytes = pattern(size);
        ZTestWriteFile("data.bin", bytes);
        std::string out = "stale";
        EXPECT_TRUE(ZFileLoad(L"data.bin", out)) << size;
        EXPECT_EQ(out, bytes) << size;
    }
}

TEST_F(FileHelpersTest, LoadOfAMissingFileOrAFolderFailsWithEmptyOutput) {
    std::filesystem::create_directory("folder");
    for (const wchar_t* path : {L"missing", L"folder"}) {
        std::string out = "stale";
        EXPECT_FALSE(ZFileLoad(path, out)) << ZToUTF8(path);
        EXPECT_TRUE(out.empty()) << ZToUTF8(path);
    }
}

TEST_F(FileHelpersTest, SaveCreatesTheFoldersAlongASlashPath) {
    const std::string bytes = pattern(5000);
    EXPECT_TRUE(ZFileSave(L"one/two/file.bin", bytes.data(), static_cast<int>(bytes.size())));
    EXPECT_TRUE(isDirectory("one"));
    EXPECT_TRUE(isDirectory("one/two"));
    EXPECT_EQ(ZTestReadFile("one/two/file.bin"), bytes);
}

TEST_F(FileHelpersTest, SaveWithBackslashesOnlyCreatesNoFolders) {
    EXPECT_TRUE(ZFileSave(L"one\\two\\file.txt", "abc", 3));
    EXPECT_FALSE(std::filesystem::exists("one"));
    // Not a separator on this platform: the name holds the backslashes.
    EXPECT_EQ(ZTestReadFile("one\\two\\file.txt"), "abc");
}

TEST_F(FileHelpersTest, SaveOfNothingTruncatesAndSucceeds) {
    ZTestWriteFile("f", "old contents");
    EXPECT_TRUE(ZFileSave(L"f", "", 0));
    EXPECT_TRUE(std::filesystem::exists("f"));
    EXPECT_EQ(ZTestReadFile("f"), "");
}

TEST_F(FileHelpersTest, SaveReportsAFileThatCannotBeOpened) {
    ZTestWriteFile("blocker", "a file where a folder should be");
    EXPECT_FALSE(ZFileSave(L"blocker/f.txt", "x", 1));
    EXPECT_EQ(ZTestReadFile("blocker"), "a file where a folder should be");
}

TEST_F(FileHelpersTest, SaveReportsBytesLostWhenTheyReachTheDisk) {
    // A device that is always full takes the buffered write and fails the close.
    std::filesystem::create_symlink("/dev/full", "full");
    EXPECT_FALSE(ZFileSave(L"full", "abc", 3));
}

TEST_F(FileHelpersTest, AppendAddsToTheFileAndCreatesFolders) {
    ZLogCapture log;
    ZFileAppend(L"chatlogs/buddy_chat.txt", "first\n", 6);
    ZFileAppend(L"chatlogs/buddy_chat.txt", "second\n", 7);
    ZFileAppend(L"chatlogs/buddy_chat.txt", "", 0);
    EXPECT_EQ(ZTestReadFile("chatlogs/buddy_chat.txt"), "first\nsecond\n");
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(FileHelpersTest, AppendFailuresAreWarningsOnly) {
    ZTestWriteFile("blocker", "");
    std::filesystem::create_symlink("/dev/full", "full");
    ZLogCapture log;
    ZFileAppend(L"blocker/f.txt", "x", 1);
    EXPECT_EQ(log.count(L"./src/ZUtil_File.cpp("), 1);
    EXPECT_EQ(log.count(L"] WARNING: Assertion failed. (fp)\n"), 1);
    log.clear();
    ZFileAppend(L"full", "x", 1);
    EXPECT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.count(L"] WARNING: Assertion failed. (!fclose( fp ))\n"), 1);
}

TEST_F(FileHelpersTest, SaveAndAppendRefuseAbsolutePathsNullBuffersAndNegativeLengths) {
    const wchar_t* pathText = L"(!path.empty( ) && path[0] != L'/' && path[0] != L'\\\\')\n";
    struct Case {
        std::function<void()> call;
        const wchar_t* text;
    } const cases[] = {
        {[] { ZFileSave(L"", "x", 1); }, pathText},
        {[] { ZFileSave(L"/etc/f", "x", 1); }, pathText},
        {[] { ZFileSave(L"\\f", "x", 1); }, pathText},
        {[] { ZFileSave(L"f", nullptr, 1); }, L"(buffer)\n"},
        {[] { ZFileSave(L"f", "x", -1); }, L"(length >= 0)\n"},
        {[] { ZFileAppend(L"/etc/f", "x", 1); }, pathText},
        {[] { ZFileAppend(L"f", nullptr, 1); }, L"(buffer)\n"},
        {[] { ZFileAppend(L"f", "x", -1); }, L"(length >= 0)\n"},
        {[] { ZFileExists(L""); }, L"(!path.empty( ))\n"},
        {[] {
             std::string out;
             ZFileLoad(L"", out);
         },
         L"(!path.empty( ))\n"},
        {[] { ZDirCreateRecursive(L""); }, L"(!path.empty( ))\n"},
        {[] { _ZFileValidateDir(L""); }, L"(!filePath.empty( ))\n"},
    };
    for (const Case& c : cases) {
        ZLogCapture log;
        EXPECT_ZABORT(c.call());
        ASSERT_EQ(log.lines().size(), 1u) << ZToUTF8(c.text);
        EXPECT_NE(log.lines()[0].find(std::wstring(L"ERROR: Precondition failed, aborting. ") + c.text),
                  std::wstring::npos)
            << ZToUTF8(log.lines()[0]);
    }
    EXPECT_FALSE(std::filesystem::exists("f"));
}

TEST_F(FileHelpersTest, CreateRecursiveSplitsAtBothSeparatorsAndSkipsEmptyParts) {
    EXPECT_TRUE(ZDirCreateRecursive(L"a/b\\c// d /"));
    EXPECT_TRUE(isDirectory("a/b/c/d"));
    EXPECT_TRUE(ZDirCreateRecursive(L"a/b"));
    // A part that cannot be made does not stop the walk or change the answer.
    ZTestWriteFile("file", "");
    EXPECT_TRUE(ZDirCreateRecursive(L"file/x"));
    EXPECT_FALSE(std::filesystem::exists("file/x"));
}

TEST_F(FileHelpersTest, CreateRecursiveKeepsAnAbsolutePathAbsolute) {
    ZTempDir other;
    EXPECT_TRUE(ZDirCreateRecursive(ZFromUTF8(other.file("p/q"))));
    EXPECT_TRUE(isDirectory(other.file("p/q")));
    std::error_code ignored;
    EXPECT_FALSE(std::filesystem::exists(other.path().substr(1), ignored));
}

TEST_F(FileHelpersTest, ListGivesVisibleEntriesWithTheirTimes) {
    std::filesystem::create_directory("sub");
    ZTestWriteFile("a.txt", "a");
    ZTestWriteFile(".hidden", "h");
    // 2007-03-14 09:30:05.1234567 UTC as the last write.
    const timespec times[2] = {{1173864605, 123456700}, {1173864605, 123456700}};
    ASSERT_EQ(utimensat(AT_FDCWD, "a.txt", times, 0), 0);
    const std::int64_t written = (1173864605LL + ZTIME_UNIX_EPOCH_SECONDS) * 10000000LL + 1234567;

    std::map<std::wstring, ZFileInfo> entries;
    entries[L"stale"] = ZFileInfo{};
    ASSERT_TRUE(ZDirList(L"", entries));
    ASSERT_EQ(entries.size(), 2u);
    ASSERT_TRUE(entries.count(L"a.txt"));
    ASSERT_TRUE(entries.count(L"sub"));
    EXPECT_TRUE(entries[L"a.txt"].isFile);
    EXPECT_FALSE(entries[L"sub"].isFile);
    EXPECT_EQ(entries[L"a.txt"].lastWriteTime, written);
    // Made just now, in 100 ns units since 1601.
    const std::int64_t now = ZTimeNow() * 10;
    EXPECT_LE(entries[L"sub"].creationTime, now);
    EXPECT_GT(entries[L"sub"].creationTime, now - 600LL * 10000000LL);

    ASSERT_TRUE(ZDirList(L"sub/", entries));
    EXPECT_TRUE(entries.empty());
}

TEST_F(FileHelpersTest, ListOfOnlyHiddenEntriesIsEmptyAndOfAMissingFolderFails) {
    std::filesystem::create_directory("quiet");
    ZTestWriteFile("quiet/.a", "");
    std::filesystem::create_directory("quiet/.b");
    std::map<std::wstring, ZFileInfo> entries;
    EXPECT_TRUE(ZDirList(L"quiet/", entries));
    EXPECT_TRUE(entries.empty());
    entries[L"stale"] = ZFileInfo{};
    EXPECT_FALSE(ZDirList(L"missing/", entries));
    EXPECT_TRUE(entries.empty());
}
