#include <gtest/gtest.h>

#include "ZFileNames.h"
#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZTestSupport.h"

TEST(ZFileReceivedPath, ProposedNamesLandInsideTheDownloadFolder) {
    ZTempDir dir;
    const std::wstring folder = ZFromUTF8(dir.path());
    const struct {
        const wchar_t* proposed;
        const wchar_t* name;
    } rows[] = {
        {L"report.pdf", L"report.pdf"},
        {L"../../x", L"x"},
        {L"/etc/passwd", L"passwd"},
        {L"a\\..\\b", L"b"},
        {L"..", L"received file"},
        {L"", L"received file"},
        {L"bad\x01\x1b" L"name.txt", L"badname.txt"},
    };
    for (const auto& row : rows) {
        const std::wstring path = ZFileReceivedPath(folder, row.proposed);
        EXPECT_EQ(folder + L"/" + row.name, path) << ZToUTF8(row.proposed);
        EXPECT_TRUE(ZFileIsInside(folder, path));
    }
}

TEST(ZFileReceivedPath, AnExistingEntryIsNeverReplaced) {
    ZTempDir dir;
    const std::wstring folder = ZFromUTF8(dir.path());
    ZTestWriteFile(dir.file("notes.txt"), "mine");
    ZTestWriteFile(dir.file("notes (2).txt"), "mine too");
    ZTestWriteFile(dir.file(".profile"), "hidden");
    ASSERT_TRUE(ZDirCreate(folder + L"/photos"));
    EXPECT_EQ(folder + L"/notes (3).txt", ZFileReceivedPath(folder, L"notes.txt"));
    EXPECT_EQ(folder + L"/.profile (2)", ZFileReceivedPath(folder, L"../.profile"));
    EXPECT_EQ(folder + L"/photos (2)", ZFileReceivedPath(folder, L"photos"));
    EXPECT_EQ("mine", ZTestReadFile(dir.file("notes.txt")));
}

TEST(ZFileIsInside, OnlyOneComponentBelowTheFolder) {
    EXPECT_TRUE(ZFileIsInside(L"/d", L"/d/a"));
    EXPECT_FALSE(ZFileIsInside(L"/d", L"/d/.."));
    EXPECT_FALSE(ZFileIsInside(L"/d", L"/d/a/b"));
    EXPECT_FALSE(ZFileIsInside(L"/d", L"/dx/a"));
    EXPECT_FALSE(ZFileIsInside(L"/d", L"/d/"));
    EXPECT_FALSE(ZFileIsInside(L"/d", L"/d/a\\b"));
}
