#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <algorithm>
#include <functional>

#include "ZNonPortable.h"
#include "ZPortable_Text.h"
#include "ZTestSupport.h"
#include "ZUtil.h"

namespace {

std::wstring wide(const std::string& path) { return ZFromUTF8(path); }

bool isDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// A recognisable pattern: byte i holds i * 7 modulo 251.
std::string pattern(std::size_t size) {
    std::string bytes(size, '\0');
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 % 251);
    return bytes;
}

// Whether the process has any view of the file mapped.
bool isMapped(const std::string& path) {
    return ZTestReadFile("/proc/self/maps").find(path) != std::string::npos;
}

}  // namespace

TEST(ZDirCreate, CreatesOnceThenCountsAnExistingFolderAsSuccess) {
    ZTempDir dir;
    EXPECT_TRUE(ZDirCreate(wide(dir.file("a"))));
    EXPECT_TRUE(isDirectory(dir.file("a")));
    EXPECT_TRUE(ZDirCreate(wide(dir.file("a"))));
    EXPECT_FALSE(ZDirCreate(wide(dir.file("missing/b"))));
    EXPECT_FALSE(exists(dir.file("missing")));
}

TEST(ZFileDelete, DeletesFilesOnly) {
    ZTempDir dir;
    ZTestWriteFile(dir.file("f"), "x");
    EXPECT_TRUE(ZFileDelete(wide(dir.file("f"))));
    EXPECT_FALSE(exists(dir.file("f")));
    EXPECT_FALSE(ZFileDelete(wide(dir.file("f"))));
    ASSERT_TRUE(ZDirCreate(wide(dir.file("d"))));
    EXPECT_FALSE(ZFileDelete(wide(dir.file("d"))));
    EXPECT_TRUE(isDirectory(dir.file("d")));
}

TEST(ZFileMove, MovesButNeverReplacesTheTarget) {
    ZTempDir dir;
    ZTestWriteFile(dir.file("from"), "one");
    EXPECT_TRUE(ZFileMove(wide(dir.file("from")), wide(dir.file("to"))));
    EXPECT_FALSE(exists(dir.file("from")));
    EXPECT_EQ(ZTestReadFile(dir.file("to")), "one");

    ZTestWriteFile(dir.file("from"), "two");
    EXPECT_FALSE(ZFileMove(wide(dir.file("from")), wide(dir.file("to"))));
    EXPECT_EQ(ZTestReadFile(dir.file("from")), "two");
    EXPECT_EQ(ZTestReadFile(dir.file("to")), "one");

    EXPECT_FALSE(ZFileMove(wide(dir.file("none")), wide(dir.file("other"))));
    EXPECT_FALSE(exists(dir.file("other")));
}

TEST(ZFileCreateNew, MakesAnEmptyFileOnlyWhereNothingIsNamed) {
    ZTempDir dir;
    ZTestWriteFile(dir.file("taken"), "mine");
    ASSERT_EQ(0, symlink(dir.file("taken").c_str(), dir.file("link").c_str()));
    ASSERT_EQ(0, symlink(dir.file("nowhere").c_str(), dir.file("dangling").c_str()));
    ASSERT_TRUE(ZDirCreate(wide(dir.file("folder"))));
    const struct {
        const char* name;
        bool made;
    } rows[] = {{"fresh", true}, {"taken", false}, {"link", false}, {"dangling", false},
                {"folder", false}, {"missing/fresh", false}};
    for (const auto& row : rows) EXPECT_EQ(row.made, ZFileCreateNew(wide(dir.file(row.name)))) << row.name;
    EXPECT_EQ("", ZTestReadFile(dir.file("fresh")));
    EXPECT_EQ("mine", ZTestReadFile(dir.file("taken")));
    EXPECT_FALSE(exists(dir.file("nowhere")));
}

TEST(ZFilePreconditions, EmptyPathsAndNullHandlesAreFatalWithTheirTexts) {
    struct Case {
        std::function<void()> call;
        const wchar_t* text;
    } const cases[] = {
        {[] { ZFileDelete(L""); }, L"(!path.empty( ))\n"},
        {[] { ZFileMove(L"a", L""); }, L"(!fromPath.empty( ) && !toPath.empty( ))\n"},
        {[] { ZFileMove(L"", L"b"); }, L"(!fromPath.empty( ) && !toPath.empty( ))\n"},
        {[] { ZFileMapCreate(L"", 1); }, L"(!path.empty( ))\n"},
        {[] { ZFileMapCreate(L"x", 0); }, L"(size > 0)\n"},
        {[] { ZFileMapOpen(L"", false); }, L"(!path.empty( ))\n"},
        {[] { ZFileMapGetSize(nullptr); }, L"(fileMap)\n"},
        {[] { ZFileMapLock(nullptr, 0, 1); }, L"(fileMap)\n"},
        {[] { ZFileMapUnlock(nullptr, nullptr); }, L"(fileMap && lock)\n"},
        {[] { ZFileMapClose(nullptr); }, L"(fileMap)\n"},
    };
    for (const Case& c : cases) {
        ZLogCapture log;
        EXPECT_ZABORT(c.call());
        ASSERT_EQ(log.lines().size(), 1u) << ZToUTF8(c.text);
        const std::wstring line = log.lines()[0];
        EXPECT_EQ(line.rfind(L"./src/ZNonPortable_File.cpp(", 0), 0u) << ZToUTF8(line);
        EXPECT_NE(line.find(std::wstring(L"ERROR: Precondition failed, aborting. ") + c.text), std::wstring::npos)
            << ZToUTF8(line);
    }
}

TEST(ZFileMap, CreatedFileHasItsSizeAndKeepsWhatIsWrittenThroughAView) {
    ZTempDir dir;
    const std::string path = dir.file("received.bin");
    const std::size_t size = 3 * 4096 + 17;
    ZFileMap map = ZFileMapCreate(wide(path), static_cast<std::int64_t>(size));
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(ZFileMapGetSize(map), static_cast<std::int64_t>(size));
    const std::string bytes = pattern(size);
    // Written in two pieces, the second at an offset inside a page.
    const std::size_t split = 4096 + 1000;
    void* first = ZFileMapLock(map, 0, static_cast<std::int64_t>(split));
    void* second = ZFileMapLock(map, static_cast<std::int64_t>(split), static_cast<std::int64_t>(size - split));
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    std::memcpy(first, bytes.data(), split);
    std::memcpy(second, bytes.data() + split, size - split);
    ZFileMapUnlock(map, first);
    ZFileMapUnlock(map, second);
    ZFileMapClose(map);
    EXPECT_EQ(ZTestReadFile(path), bytes);
}

TEST(ZFileMap, OneByteFileIsCreated) {
    ZTempDir dir;
    ZFileMap map = ZFileMapCreate(wide(dir.file("one")), 1);
    ASSERT_NE(map, nullptr);
    ZFileMapClose(map);
    EXPECT_EQ(ZTestReadFile(dir.file("one")), std::string(1, '\0'));
}

TEST(ZFileMap, SizeTheDiskCannotHoldWarnsAndLeavesNoFile) {
    ZTempDir dir;
    const std::string path = dir.file("huge");
    ZLogCapture log;
    EXPECT_EQ(ZFileMapCreate(wide(path), std::int64_t{1} << 50), nullptr);
    EXPECT_EQ(log.count(L"WARNING Unable to allocate 1125899906842624bytes, only got 0bytes, closing.\n"), 1);
    EXPECT_EQ(log.count(L"WARNING Unable to create file mapping for '" + wide(path) + L"', closing.\n"), 1);
    EXPECT_FALSE(exists(path));
}

TEST(ZFileMap, FailedCreateLeavesAFileItDidNotMake) {
    ZTempDir dir;
    const std::string path = dir.file("busy");
    ZTestWriteFile(path, "someone else's");
    // A reader holds the file, so it cannot be taken for writing.
    ZFileMap reader = ZFileMapOpen(wide(path), false);
    ASSERT_NE(reader, nullptr);
    ZLogCapture log;
    EXPECT_EQ(ZFileMapCreate(wide(path), 10), nullptr);
    EXPECT_EQ(log.count(L"WARNING Unable to create file mapping for '" + wide(path) + L"', closing.\n"), 1);
    EXPECT_EQ(ZTestReadFile(path), "someone else's");
    ZFileMapClose(reader);

    // A folder in the file's place is left alone as well.
    ASSERT_TRUE(ZDirCreate(wide(dir.file("folder"))));
    EXPECT_EQ(ZFileMapCreate(wide(dir.file("folder")), 10), nullptr);
    EXPECT_TRUE(isDirectory(dir.file("folder")));
}

TEST(ZFileMap, CreateOverAnUnheldFileStartsItAfresh) {
    ZTempDir dir;
    const std::string path = dir.file("old");
    ZTestWriteFile(path, pattern(9000));
    ZFileMap map = ZFileMapCreate(wide(path), 5);
    ASSERT_NE(map, nullptr);
    ZFileMapClose(map);
    EXPECT_EQ(ZTestReadFile(path), std::string(5, '\0'));
}

TEST(ZFileMap, ALinkPutInTheFilesPlaceIsNeverFollowed) {
    ZTempDir dir;
    const std::string victim = dir.file("settings.ini");
    ZTestWriteFile(victim, "Local_Password=kept");
    const std::string part = dir.file("gift.part");
    ASSERT_EQ(symlink(victim.c_str(), part.c_str()), 0);
    ZLogCapture log;
    // Neither the plain create nor the create of a new file writes through it.
    EXPECT_EQ(ZFileMapCreate(wide(part), 4096), nullptr);
    bool taken = false;
    EXPECT_EQ(ZFileMapCreateNew(wide(part), 4096, &taken), nullptr);
    EXPECT_TRUE(taken);
    EXPECT_EQ(ZTestReadFile(victim), "Local_Password=kept");
    struct stat st;
    ASSERT_EQ(lstat(part.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link is someone else's to remove";
}

TEST(ZFileMap, CreateNewWritesTheFileItMadeWhateverTakesItsNameLater) {
    ZTempDir dir;
    const std::string path = dir.file("gift.part");
    ZFileMap map = ZFileMapCreateNew(wide(path), 3);
    ASSERT_NE(map, nullptr);
    // The name now points elsewhere; the mapping still holds the file it made.
    const std::string victim = dir.file("victim");
    ZTestWriteFile(victim, "abc");
    ASSERT_EQ(rename(path.c_str(), dir.file("moved").c_str()), 0);
    ASSERT_EQ(symlink(victim.c_str(), path.c_str()), 0);
    char* view = static_cast<char*>(ZFileMapLock(map, 0, 3));
    ASSERT_NE(view, nullptr);
    std::memcpy(view, "xyz", 3);
    ZFileMapUnlock(map, view);
    ZFileMapClose(map);
    EXPECT_EQ(ZTestReadFile(victim), "abc");
    EXPECT_EQ(ZTestReadFile(dir.file("moved")), "xyz");
}

TEST(ZFileMap, LockAtAnUnalignedOffsetPointsAtThatByte) {
    ZTempDir dir;
    const std::string path = dir.file("source");
    const std::string bytes = pattern(70000);
    ZTestWriteFile(path, bytes);
    ZFileMap map = ZFileMapOpen(wide(path), false);
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(ZFileMapGetSize(map), 70000);
    for (const std::int64_t offset : {0, 1, 4095, 4096, 4097, 65537, 69999}) {
        const std::int64_t size = std::min<std::int64_t>(1024, 70000 - offset);
        const char* p = static_cast<const char*>(ZFileMapLock(map, offset, size));
        ASSERT_NE(p, nullptr) << offset;
        EXPECT_EQ(std::string(p, static_cast<std::size_t>(size)),
                  bytes.substr(static_cast<std::size_t>(offset), static_cast<std::size_t>(size)))
            << offset;
        ZFileMapUnlock(map, const_cast<char*>(p));
    }
    EXPECT_FALSE(isMapped(path));
    ZFileMapClose(map);
}

TEST(ZFileMap, RangesOutsideTheFileOrOf2GBAreRefused) {
    ZTempDir dir;
    const std::string path = dir.file("small");
    ZTestWriteFile(path, pattern(5000));
    ZFileMap map = ZFileMapOpen(wide(path), false);
    ASSERT_NE(map, nullptr);
    {
        ZLogCapture log;
        EXPECT_EQ(ZFileMapLock(map, 0, std::int64_t{1} << 31), nullptr);
        EXPECT_EQ(ZFileMapLock(map, 0, std::int64_t{1} << 32), nullptr);
        EXPECT_EQ(ZFileMapLock(map, 0, -1), nullptr);
        EXPECT_EQ(ZFileMapLock(map, 0, 0), nullptr);
        EXPECT_TRUE(log.lines().empty());
    }
    struct Case {
        std::int64_t offset, size;
    } const outside[] = {{0, 5001}, {4096, 4096}, {5000, 1}, {-1, 10}, {INT64_MAX - 5, 10}, {8192, 1}};
    for (const Case& c : outside) {
        ZLogCapture log;
        EXPECT_EQ(ZFileMapLock(map, c.offset, c.size), nullptr) << c.offset << "+" << c.size;
        EXPECT_EQ(log.count(L"lies outside the file of 5000 bytes, ignoring.\n"), 1) << c.offset;
    }
    EXPECT_NE(ZFileMapLock(map, 4999, 1), nullptr);
    ZFileMapClose(map);
}

TEST(ZFileMap, UnlockingAPointerNeverHandedOutWarns) {
    ZTempDir dir;
    ZTestWriteFile(dir.file("f"), pattern(100));
    ZFileMap map = ZFileMapOpen(wide(dir.file("f")), false);
    ASSERT_NE(map, nullptr);
    char* p = static_cast<char*>(ZFileMapLock(map, 10, 20));
    ASSERT_NE(p, nullptr);
    ZLogCapture log;
    ZFileMapUnlock(map, p + 1);
    EXPECT_EQ(log.count(L"WARNING: Assertion failed. (UnmapViewOfFile( trueView))\n"), 1);
    log.clear();
    ZFileMapUnlock(map, p);
    EXPECT_TRUE(log.lines().empty());
    ZFileMapUnlock(map, p);
    EXPECT_EQ(log.count(L"WARNING: Assertion failed. (UnmapViewOfFile( trueView))\n"), 1);
    ZFileMapClose(map);
}

TEST(ZFileMap, CloseUnmapsViewsStillLocked) {
    ZTempDir dir;
    const std::string path = dir.file("kept");
    ZTestWriteFile(path, pattern(10000));
    ZFileMap map = ZFileMapOpen(wide(path), true);
    ASSERT_NE(map, nullptr);
    char* p = static_cast<char*>(ZFileMapLock(map, 5000, 100));
    ASSERT_NE(p, nullptr);
    p[0] = 'Z';
    EXPECT_TRUE(isMapped(path));
    ZFileMapClose(map);
    EXPECT_FALSE(isMapped(path));
    EXPECT_EQ(ZTestReadFile(path)[5000], 'Z');
}

TEST(ZFileMap, OpenRefusesMissingFilesFoldersAndASecondWriter) {
    ZTempDir dir;
    ZLogCapture log;
    EXPECT_EQ(ZFileMapOpen(wide(dir.file("missing")), false), nullptr);
    EXPECT_EQ(log.count(L"WARNING Unable to open file mapping for '" + wide(dir.file("missing")) +
                        L"', write=FALSE, closing.\n"),
              1);
    EXPECT_EQ(ZFileMapOpen(wide(dir.path()), true), nullptr);
    EXPECT_EQ(log.count(L"WARNING Unable to open file mapping for '" + wide(dir.path()) + L"', write=TRUE, closing.\n"),
              1);

    ZTestWriteFile(dir.file("shared"), "abc");
    ZFileMap reader1 = ZFileMapOpen(wide(dir.file("shared")), false);
    ZFileMap reader2 = ZFileMapOpen(wide(dir.file("shared")), false);
    EXPECT_NE(reader1, nullptr);
    EXPECT_NE(reader2, nullptr);
    EXPECT_EQ(ZFileMapOpen(wide(dir.file("shared")), true), nullptr);
    ZFileMapClose(reader1);
    ZFileMapClose(reader2);
    ZFileMap writer = ZFileMapOpen(wide(dir.file("shared")), true);
    ASSERT_NE(writer, nullptr);
    EXPECT_EQ(ZFileMapOpen(wide(dir.file("shared")), false), nullptr);
    ZFileMapClose(writer);
    EXPECT_EQ(ZTestReadFile(dir.file("shared")), "abc");
}

TEST(ZFileLocks, AWriterLockKeepsOutAnExclusiveReaderUntilClosed) {
    ZTempDir dir;
    const std::wstring path = wide(dir.file("log"));
    bool locked = true;
    EXPECT_EQ(_ZFileOpenExclusiveRead(path, locked), nullptr);
    EXPECT_FALSE(locked);

    std::FILE* writer = _ZFileOpenLocked(path);
    ASSERT_NE(writer, nullptr);
    std::fputs("line\n", writer);
    std::fflush(writer);
    std::FILE* reader = _ZFileOpenExclusiveRead(path, locked);
    ASSERT_NE(reader, nullptr);
    EXPECT_FALSE(locked);
    std::fclose(reader);
    // A second writer neither gets the lock nor empties the file.
    EXPECT_EQ(_ZFileOpenLocked(path), nullptr);
    EXPECT_EQ(ZTestReadFile(dir.file("log")), "line\n");
    std::fclose(writer);

    reader = _ZFileOpenExclusiveRead(path, locked);
    ASSERT_NE(reader, nullptr);
    EXPECT_TRUE(locked);
    bool second = true;
    std::FILE* other = _ZFileOpenExclusiveRead(path, second);
    ASSERT_NE(other, nullptr);
    EXPECT_FALSE(second);
    std::fclose(other);
    std::fclose(reader);
}
