#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "ZImage.h"
#include "ZImageTestSupport.h"
#include "ZImageTools.h"
#include "ZInstance.h"
#include "ZPortable_Text.h"
#include "ZTestSupport.h"

namespace {

// A store of its own in a temporary folder.
struct StoreFixture : ::testing::Test {
    ZTempDir dir;
    ZInstance* instance = ZSAFENEW(ZInstance, ZFromUTF8(dir.file("settings.ini")));
    ~StoreFixture() override { delete instance; }

    // True when another thread can take the store lock within a bounded wait.
    bool storeIsUnlocked() {
        auto other = std::async(std::launch::async, [this] { instance->set(L"Probe", std::string("1"), false); });
        if (other.wait_for(std::chrono::seconds(20)) == std::future_status::ready) return true;
        instance->unlock();  // let the stuck writer finish before failing
        other.wait();
        return false;
    }
};

using ZImageToolsStore = StoreFixture;

}  // namespace

TEST_F(ZImageToolsStore, WriteThenReadSelectsRectanglesAndSpriteCells) {
    const std::string logo = patterned(ZIT_RGBA32, 64, 16);
    ZImageTools_instanceWrite(instance, L"logo", ZImageFormat{ZIT_RGBA32, 64, 16}, U(logo));
    EXPECT_EQ(instance->getRaw(L"logo_Format"), ZImageFormat({ZIT_RGBA32, 64, 16}).serialize());
    const struct {
        const wchar_t* reference;
        int cellX, cellY;
        ZRect rect;
    } cases[] = {
        {L"logo(0,0,16,16)", 0, 0, {0, 0, 16, 16}},
        {L"logo(0,0,16,16)", 2, 0, {32, 0, 48, 16}},
        {L"logo(0,0,16,16)", 5, 0, {64, 0, 64, 16}},
        {L"logo(0,0,16,8)", 1, 1, {16, 8, 32, 16}},
        {L"logo", 0, 0, {0, 0, 64, 16}},
    };
    for (const auto& c : cases) {
        ZImageFormat f;
        ZRect r;
        const unsigned char* px = ZImageTools_instanceReadOpen(instance, c.reference, f, r, c.cellX, c.cellY);
        ASSERT_NE(px, nullptr);
        EXPECT_EQ(f, (ZImageFormat{ZIT_RGBA32, 64, 16}));
        EXPECT_EQ(r, c.rect) << ZToUTF8(c.reference) << " cell " << c.cellX;
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(px), logo.size()), logo);
        ZImageTools_instanceReadClose(instance, c.reference);
    }
    EXPECT_TRUE(storeIsUnlocked());
}

TEST_F(ZImageToolsStore, MissingImageGivesNullAndLeavesTheStoreUnlocked) {
    ZImageFormat f = {1, 2, 3};
    ZRect r = {1, 2, 3, 4};
    EXPECT_EQ(ZImageTools_instanceReadOpen(instance, L"nowhere(0,0,4,4)", f, r, 0, 0), nullptr);
    EXPECT_EQ(f, ZImageFormat{});
    EXPECT_TRUE(storeIsUnlocked());
    EXPECT_FALSE(ZImageTools_instanceReadCheck(instance, L"nowhere", f, r));
    EXPECT_TRUE(storeIsUnlocked());
}

TEST_F(ZImageToolsStore, FormatPromisingMoreBytesThanStoredIsRefused) {
    instance->set(L"bad_Format", ZImageFormat({ZIT_RGB24, 100, 100}).serialize(), false);
    instance->set(L"bad", std::string(12, 'x'), false);
    ZLogCapture log;
    ZImageFormat f;
    ZRect r;
    EXPECT_EQ(ZImageTools_instanceReadOpen(instance, L"bad", f, r, 0, 0), nullptr);
    EXPECT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(storeIsUnlocked());
}

TEST_F(ZImageToolsStore, AnUnreadableStoredFormatIsAMissingImageWithOneWarning) {
    // What a settings file edited by hand, or cut short, may hold.
    const std::string formats[] = {"garbage", std::string(1, '\x01'),
                                   ZImageFormat({ZIT_RGB24, 2, 2}).serialize().substr(0, 11)};
    for (const std::string& stored : formats) {
        instance->set(L"picture_Format", stored, false);
        instance->set(L"picture", std::string(12, 'x'), false);
        ZImageFormat f;
        ZRect r;
        {
            ZLogCapture log;
            EXPECT_EQ(ZImageTools_instanceReadOpen(instance, L"picture", f, r, 0, 0), nullptr);
            EXPECT_EQ(log.count(L"WARNING Image 'picture' has an unreadable format, ignoring."), 1);
            EXPECT_EQ(log.lines().size(), 1u);
        }
        {
            ZLogCapture log;
            EXPECT_FALSE(ZImageTools_instanceReadCheck(instance, L"picture", f, r));
            EXPECT_EQ(log.lines().size(), 1u);
        }
        EXPECT_EQ(f, ZImageFormat{});
        ZImageTools_instanceCopy(instance, L"copy", L"picture");
        EXPECT_FALSE(instance->isSet(L"copy"));
        EXPECT_TRUE(storeIsUnlocked());
    }
}

TEST_F(ZImageToolsStore, PictureFileIsLoadedOnFirstRead) {
    const std::string src = patterned(ZIT_RGB24, 5, 3);
    std::string png;
    ZImageConvert(ZImageFormat{ZIT_RGB24, 5, 3}, U(src), ZRect{0, 0, 5, 3}, ZIT_PNG, png);
    ZTestWriteFile(dir.file("pic.png"), png);
    const std::wstring name = ZFromUTF8(dir.file("pic.png"));

    ZImageFormat f;
    ZRect r;
    ASSERT_TRUE(ZImageTools_instanceReadCheck(instance, name, f, r));
    EXPECT_EQ(f, (ZImageFormat{ZIT_RGB24, 5, 3}));
    EXPECT_TRUE(instance->isSet(name));
    EXPECT_EQ(instance->getRaw(name), src);
    EXPECT_TRUE(storeIsUnlocked());
}

TEST_F(ZImageToolsStore, WriteOpenAndCloseRepublishInPlace) {
    ZImageFormat f = {1, 1, 1};
    ZRect dirty = {1, 1, 1, 1};
    std::string& pixels = ZImageTools_instanceWriteOpen(instance, L"Buddy_Screen_Image", f, dirty);
    EXPECT_TRUE(pixels.empty());
    EXPECT_EQ(f, ZImageFormat{});
    EXPECT_EQ(dirty, ZRect{});
    f = ZImageFormat{ZIT_RGB24, 4, 2};
    pixels.assign(24, 'p');
    ZImageTools_instanceWriteClose(instance, L"Buddy_Screen_Image", f, ZRect{0, 0, 4, 2});
    EXPECT_TRUE(storeIsUnlocked());
    EXPECT_EQ(instance->getRaw(L"Buddy_Screen_Image"), std::string(24, 'p'));
    EXPECT_EQ(instance->getRaw(L"Buddy_Screen_Image_DirtyRect"), "(0,0,4,2)");

    ZImageTools_instanceWriteOpen(instance, L"Buddy_Screen_Image", f, dirty);
    EXPECT_EQ(f, (ZImageFormat{ZIT_RGB24, 4, 2}));
    EXPECT_EQ(dirty, (ZRect{0, 0, 4, 2}));
    ZImageTools_instanceWriteClose(instance, L"Buddy_Screen_Image", f, dirty);
}

TEST_F(ZImageToolsStore, CopyTakesTheWholeSourceOrWarnsNamingSourceThenDestination) {
    const std::string img = patterned(ZIT_RGB24, 3, 3);
    ZImageTools_instanceWrite(instance, L"a", ZImageFormat{ZIT_RGB24, 3, 3}, U(img));
    ZImageTools_instanceCopy(instance, L"b", L"a(0,0,1,1)");
    EXPECT_EQ(instance->getRaw(L"b"), img);
    EXPECT_EQ(instance->getRaw(L"b_Format"), instance->getRaw(L"a_Format"));

    ZLogCapture log;
    ZImageTools_instanceCopy(instance, L"c", L"ghost");
    EXPECT_EQ(log.count(L"WARNING Trying to copy image 'ghost' to 'c', but doesn't exist; ignoring."), 1);
    EXPECT_TRUE(storeIsUnlocked());
}
