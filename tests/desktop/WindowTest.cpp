#include "ZDesktopTest.h"

#include <X11/Xatom.h>
#include <X11/Xutil.h>

#include "../../libzan/src/ZNonPortable_WindowRecord.h"
#include "ZNonPortable.h"
#include "ZTestSupport.h"

namespace {

struct ZRecordingListener : IZWinListener {
    std::vector<ZRect> repositions;
    int shows = 0;
    int closes = 0;
    int onReposition(ZWin*, ZRect* r) override {
        repositions.push_back(*r);
        return 0;
    }
    int onShow(ZWin*) override { return ++shows, 0; }
    int onClose(ZWin*) override { return ++closes, 0; }
};

// Reads the window's pixels back from the server as bytes B, G, R, A.
std::vector<unsigned char> readBack(ZWin* w, int width, int height) {
    XImage* image = XGetImage(_ZX11Display(), w->window, 0, 0, static_cast<unsigned>(width),
                              static_cast<unsigned>(height), AllPlanes, ZPixmap);
    std::vector<unsigned char> out;
    if (!image) return out;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const unsigned long p = XGetPixel(image, x, y);
            out.push_back(static_cast<unsigned char>(p));
            out.push_back(static_cast<unsigned char>(p >> 8));
            out.push_back(static_cast<unsigned char>(p >> 16));
            out.push_back(static_cast<unsigned char>(p >> 24));
        }
    XDestroyImage(image);
    return out;
}

std::vector<unsigned char> asBGRA(const std::vector<unsigned char>& rgba) {
    std::vector<unsigned char> out(rgba);
    for (size_t i = 0; i + 3 < out.size(); i += 4) std::swap(out[i], out[i + 2]);
    return out;
}

}  // namespace

TEST(ZWin, RepaintShowsTheSamePixelsInServerOrderAndAResizeGrowsTheWindow) {
    ZREQUIRE_DISPLAY();
    ZRecordingListener listener;
    ZWin* w = ZWinOpen(L"pixels", ZRect{20, 30, 320, 230}, false, &listener);
    const auto first = ZTestPattern(300, 200);
    // The first repaint comes before the window is shown, as the skin does it.
    ASSERT_TRUE(ZWinRepaint(w, 300, 200, first.data(), 255));
    ZWinShow(w);
    ASSERT_TRUE(ZPumpUntil([&] { return ZIsViewable(w->window); }));
    ASSERT_TRUE(ZPumpUntil([&] { return readBack(w, 300, 200) == asBGRA(first); }))
        << "the pixels read back differ from the repainted RGBA buffer";

    auto second = ZTestPattern(400, 200);
    second[0] = 0xEE;
    ASSERT_TRUE(ZWinRepaint(w, 400, 200, second.data(), 255));
    Window root;
    int x, y;
    unsigned width = 0, height = 0, border, depth = 0;
    // A window manager applies the new size when it gets to it: the loop
    // runs until the server has the window at its new size.
    EXPECT_TRUE(ZPumpUntil([&] {
        XGetGeometry(_ZX11Display(), w->window, &root, &x, &y, &width, &height, &border, &depth);
        return width == 400u && height == 200u;
    }));
    EXPECT_EQ(depth, 32u);
    EXPECT_TRUE(ZPumpUntil([&] { return readBack(w, 400, 200) == asBGRA(second); }))
        << "the pixels read back differ from the repainted RGBA buffer";
    ZRect r;
    ZWinGetScreenPosition(w, r);
    EXPECT_EQ(r, (ZRect{20, 30, 420, 230}));
    ZWinClose(w);
}

TEST(ZWin, GlobalAlphaBecomesTheWindowOpacityAndFullAlphaRemovesIt) {
    ZREQUIRE_DISPLAY();
    ZRecordingListener listener;
    ZWin* w = ZWinOpen(L"alpha", ZRect{0, 0, 8, 8}, true, &listener);
    const auto pixels = ZTestPattern(8, 8);
    const Atom opacity = _ZX11Atom("_NET_WM_WINDOW_OPACITY");
    struct Row {
        int alpha;
        int count;
        std::uint64_t value;
    } rows[] = {{128, 1, 0x80808080u}, {0, 1, 0}, {255, 0, 0}};
    for (const Row& row : rows) {
        ASSERT_TRUE(ZWinRepaint(w, 8, 8, pixels.data(), row.alpha));
        std::uint64_t value = 0;
        int count = 0;
        _ZX11GetCardinals(_ZX11Display(), w->window, opacity, XA_CARDINAL, &value, 1, count);
        EXPECT_EQ(count, row.count) << "alpha " << row.alpha;
        if (row.count) {
            EXPECT_EQ(value, row.value) << "alpha " << row.alpha;
        }
    }
    ZLogCapture log;
    EXPECT_ZABORT(ZWinRepaint(w, 8, 8, pixels.data(), 256));
    EXPECT_TRUE(log.contains(L"ERROR: Assertion failed, aborting. (ZWITHIN( 0, alpha, 255 ))"));
    ZWinClose(w);
}

TEST(ZWin, OpeningOutsideOneTo1024PixelsStopsWithTheSizeAssertion) {
    ZREQUIRE_DISPLAY();
    ZRecordingListener listener;
    ZWin* largest = ZWinOpen(L"largest", ZRect{0, 0, 1024, 1024}, false, &listener);
    ASSERT_NE(largest, nullptr);
    ZWinClose(largest);
    const ZRect refused[] = {{0, 0, 1025, 10}, {0, 0, 10, 1025}, {5, 5, 5, 10}, {0, 10, 10, 0}};
    for (const ZRect& r : refused) {
        ZLogCapture log;
        EXPECT_ZABORT(ZWinOpen(L"too large", r, false, &listener));
        EXPECT_TRUE(log.contains(
            L"ERROR: Assertion failed, aborting. (ZWITHIN( 1, width, 1024 ) && ZWITHIN( 1, height, 1024 ))"));
    }
    ZLogCapture log;
    EXPECT_ZABORT(ZWinOpen(L"no listener", ZRect{0, 0, 10, 10}, false, nullptr));
    EXPECT_TRUE(log.contains(L"ERROR: Precondition failed, aborting. (listener)"));
}

TEST(ZWin, StateOperationsWorkWithoutAWindowManager) {
    ZREQUIRE_DISPLAY();
    ZRecordingListener listener;
    ZWin* w = ZWinOpen(L"state", ZRect{50, 60, 150, 160}, false, &listener);
    const auto pixels = ZTestPattern(100, 100);
    ZWinRepaint(w, 100, 100, pixels.data(), 255);
    EXPECT_FALSE(ZWinIsVisible(w));
    ZWinShow(w);
    EXPECT_TRUE(ZWinIsVisible(w));
    ASSERT_TRUE(ZPumpUntil([&] { return ZIsViewable(w->window) && listener.shows > 0; }));

    ZWinMinimize(w);
    EXPECT_TRUE(ZWinIsMinimized(w));
    ASSERT_TRUE(ZPumpUntil([&] { return !ZIsViewable(w->window); }));
    ZWinRestore(w);
    EXPECT_FALSE(ZWinIsMinimized(w));
    ASSERT_TRUE(ZPumpUntil([&] { return ZIsViewable(w->window); }));

    ZRect work;
    ASSERT_TRUE(ZSystemGetWorkArea(work));
    ZWinMaximize(w);
    EXPECT_TRUE(ZWinIsMaximized(w));
    ZRect r;
    ASSERT_TRUE(ZPumpUntil([&] { return ZWinGetScreenPosition(w, r), r == work; }));
    ZWinRestore(w);
    EXPECT_FALSE(ZWinIsMaximized(w));
    ASSERT_TRUE(ZPumpUntil([&] { return ZWinGetScreenPosition(w, r), r == (ZRect{50, 60, 150, 160}); }));

    listener.repositions.clear();
    ZWinMove(w, 70, 80);
    ASSERT_TRUE(ZPumpUntil([&] {
        return !listener.repositions.empty() && listener.repositions.back() == ZRect{70, 80, 170, 180};
    }));

    ZWinHide(w);
    EXPECT_FALSE(ZWinIsVisible(w));
    ASSERT_TRUE(ZPumpUntil([&] { return !ZIsViewable(w->window); }));
    ZWinClose(w);
}

TEST(ZWin, EveryWindowNamesTheProgramAndCarriesItsIcon) {
    ZREQUIRE_DISPLAY();
    ZRecordingListener listener;
    ZWin* w = ZWinOpen(L"identity", ZRect{50, 60, 150, 160}, false, &listener);
    Display* d = _ZX11Display();
    XClassHint hint{};
    ASSERT_TRUE(XGetClassHint(d, w->window, &hint));
    EXPECT_STREQ(hint.res_name, "zandrel");
    EXPECT_STREQ(hint.res_class, "Zandrel");
    XFree(hint.res_name);
    XFree(hint.res_class);

    std::uint64_t icon[2 + 16 * 16] = {};
    int count = 0;
    ASSERT_TRUE(_ZX11GetCardinals(d, w->window, _ZX11Atom("_NET_WM_ICON"), XA_CARDINAL, icon, 2 + 16 * 16, count));
    ASSERT_EQ(count, 2 + 16 * 16) << "the first of the icon's sizes is 16 x 16";
    EXPECT_EQ(icon[0], 16u);
    EXPECT_EQ(icon[1], 16u);
    EXPECT_EQ(icon[2] >> 24, 0u) << "a transparent corner";
    EXPECT_EQ(icon[2 + 8 * 16 + 8], 0xFF20A040u) << "an opaque middle";
    ZWinClose(w);
}
