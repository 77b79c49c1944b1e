// What the tests of the default skin share: the skin folder copied into a
// fresh working folder (the client runs in the folder that holds its skin),
// a store, the real template root over skin/template.xml, the UI loop run
// until a condition holds, and the pixels a window shows on the X server.
#pragma once

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../desktop/ZDesktopTest.h"
#include "../platform/ZPlatformTestSupport.h"
#include "../../libzan/src/ZNonPortable_WindowRecord.h"
#include "ZWindowLoop.h"
#include "ZImage.h"
#include "ZImageTools.h"
#include "ZInstance.h"
#include "ZNodeLibrary.h"
#include "ZPortable_Text.h"
#include "ZTemplate.h"
#include "ZTemplateNode.h"
#include "ZTestSupport.h"
#include "ZUtil_File.h"
#include "ZWindowNode.h"

#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace zantest {

// The skin as the repository holds it.
inline std::string skinSourceFolder() {
    return (std::filesystem::path(ZAN_TEST_DATA).parent_path().parent_path() / "skin").string();
}

// One pixel as the X server shows it.
struct Shown {
    int r = -1, g = -1, b = -1;
    bool operator==(const Shown&) const = default;
};
inline std::ostream& operator<<(std::ostream& out, const Shown& p) {
    return out << "(" << p.r << "," << p.g << "," << p.b << ")";
}

// The pixels of one window as the server holds them, rows top first.
class WindowPicture {
public:
    explicit WindowPicture(ZWindowNode* node) {
        if (!node || !node->getWindow()) return;
        const Window w = node->getWindow()->window;
        XWindowAttributes a;
        if (!XGetWindowAttributes(_ZX11Display(), w, &a) || a.map_state != IsViewable) return;
        XImage* image = XGetImage(_ZX11Display(), w, 0, 0, a.width, a.height, AllPlanes, ZPixmap);
        if (!image) return;
        _width = a.width;
        _height = a.height;
        _rgb.resize(static_cast<std::size_t>(_width) * _height * 3);
        for (int y = 0; y < _height; ++y)
            for (int x = 0; x < _width; ++x) {
                const unsigned long p = XGetPixel(image, x, y);
                unsigned char* q = &_rgb[(static_cast<std::size_t>(y) * _width + x) * 3];
                q[0] = static_cast<unsigned char>((p >> 16) & 0xFF);
                q[1] = static_cast<unsigned char>((p >> 8) & 0xFF);
                q[2] = static_cast<unsigned char>(p & 0xFF);
            }
        XDestroyImage(image);
    }
    int width() const { return _width; }
    int height() const { return _height; }
    Shown at(int x, int y) const {
        if (x < 0 || y < 0 || x >= _width || y >= _height) return {};
        const unsigned char* q = &_rgb[(static_cast<std::size_t>(y) * _width + x) * 3];
        return {q[0], q[1], q[2]};
    }
    // Rows of the rectangle that hold a pixel darker than the threshold (sum
    // of the channels): the bands that text draws.
    std::vector<int> darkRows(const ZRect& r, int threshold) const {
        std::vector<int> rows;
        for (int y = r.top; y < r.bottom; ++y)
            for (int x = r.left; x < r.right; ++x) {
                const Shown p = at(x, y);
                if (p.r >= 0 && p.r + p.g + p.b < threshold) {
                    rows.push_back(y);
                    break;
                }
            }
        return rows;
    }
    // The bounding box of the pixels of exactly this colour; empty when none.
    ZRect colourBox(const Shown& colour) const {
        ZRect box = {INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN};
        for (int y = 0; y < _height; ++y)
            for (int x = 0; x < _width; ++x)
                if (at(x, y) == colour) {
                    box.left = std::min(box.left, x);
                    box.top = std::min(box.top, y);
                    box.right = std::max(box.right, x + 1);
                    box.bottom = std::max(box.bottom, y + 1);
                }
        return box.right > box.left ? box : ZRect{};
    }
    // With ZAN_SCREENSHOT_DIR set, the picture is kept there as a PNG for a
    // person to look at.
    void keep(const std::string& name) const {
        const char* folder = std::getenv("ZAN_SCREENSHOT_DIR");
        if (!folder || _rgb.empty()) return;
        std::string png;
        ZImageConvert(ZImageFormat{ZIT_RGB24, _width, _height}, _rgb.data(), ZRect{0, 0, _width, _height}, ZIT_PNG,
                      png);
        ZTestWriteFile(std::string(folder) + "/" + name + ".png", png);
    }

private:
    int _width = 0, _height = 0;
    std::vector<unsigned char> _rgb;
};

// A pixel of one of the skin's pictures, read from its file in the working
// folder.
inline Shown picturePixel(const std::string& file, int x, int y) {
    std::string bytes, pixels;
    ZImageFormat format;
    if (!ZFileLoad(ZFromUTF8(file), bytes) ||
        !ZImageLoad(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()), format,
                    pixels))
        return {};
    const int bpp = ZImageBytesPerPixel(format.type);
    const auto* p = reinterpret_cast<const unsigned char*>(pixels.data()) +
                    (static_cast<std::size_t>(y) * format.width + x) * bpp;
    return {p[0], p[1], p[2]};
}

// An image of one colour, or of four quadrants, in the store.
inline void storeImage(ZInstance& instance, const std::wstring& name, int width, int height,
                       const std::function<Shown(int x, int y)>& colour) {
    std::vector<unsigned char> bytes(static_cast<std::size_t>(width) * height * 4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const Shown c = colour(x, y);
            unsigned char* q = &bytes[(static_cast<std::size_t>(y) * width + x) * 4];
            q[0] = static_cast<unsigned char>(c.r), q[1] = static_cast<unsigned char>(c.g);
            q[2] = static_cast<unsigned char>(c.b), q[3] = 255;
        }
    ZImageTools_instanceWrite(&instance, name, ZImageFormat{ZIT_RGBA32, width, height}, bytes.data());
}

// Counts the text bands (runs of rows with dark pixels) in a list of rows.
inline int bandCount(const std::vector<int>& rows) {
    int bands = 0;
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (i == 0 || rows[i] != rows[i - 1] + 1) ++bands;
    return bands;
}

// The keyboard through XTest; the pointer is zantest::motion and button.
inline void key(KeySym symbol, bool down) {
    XTestFakeKeyEvent(_ZX11Display(), XKeysymToKeycode(_ZX11Display(), symbol), down ? True : False, 0);
    XFlush(_ZX11Display());
}

// The rectangle of a window's pixels that route to handlers the test
// accepts, found through the window's own hit test; empty when none does.
inline ZRect handlerArea(ZWindowNode* window, const std::function<bool(IZInputHandler*)>& accepts) {
    ZRect area = {INT32_MAX, INT32_MAX, INT32_MIN, INT32_MIN};
    const ZRect r = window->getRect();
    for (int y = 0; y < r.bottom - r.top; ++y)
        for (int x = 0; x < r.right - r.left; ++x) {
            window->getNCHITTEST(nullptr, x, y);
            if (!accepts(window->getMouseover())) continue;
            area.left = std::min(area.left, x);
            area.top = std::min(area.top, y);
            area.right = std::max(area.right, x + 1);
            area.bottom = std::max(area.bottom, y + 1);
        }
    window->onMouseLeft(nullptr);
    return area.right > area.left ? area : ZRect{};
}

// The handler area of the first node of a class (in tree order) below a
// node whose test passes.
template <typename Node>
ZRect nodeArea(ZWindowNode* window, const std::function<bool(Node*)>& test = [](Node*) { return true; }) {
    Node* found = nullptr;
    for (ZTemplateNode* n = window; n && !found; n = n->getNext(window)) {
        Node* typed = dynamic_cast<Node*>(n);
        if (typed && test(typed)) found = typed;
    }
    if (!found) return {};
    return handlerArea(window, [&](IZInputHandler* h) { return h && dynamic_cast<Node*>(h) == found; });
}

class DefaultSkinTest : public testing::Test {
protected:
    void SetUp() override {
        ZREQUIRE_DISPLAY();
        // Keys go to the window under the pointer, whatever an earlier
        // program on this server left focused.
        XSetInputFocus(_ZX11Display(), PointerRoot, RevertToPointerRoot, CurrentTime);
        ZNodeLibrary_install();
        ASSERT_TRUE(getcwd(_previous, sizeof(_previous)));
        for (const auto& entry : std::filesystem::directory_iterator(skinSourceFolder()))
            std::filesystem::copy_file(entry.path(), dir.file(entry.path().filename().string()));
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
        instance = std::make_unique<ZInstance>(ZFromUTF8(dir.file("settings.ini")));
    }
    void TearDown() override {
        skin.reset();
        instance.reset();
        EXPECT_EQ(chdir(_previous), 0);
    }

    // Reads the skin as the client does.
    void load() { skin = std::make_unique<ZTemplate>(instance.get(), L"template.xml"); }

    ZWindowNode* window(const std::wstring& path) {
        return dynamic_cast<ZWindowNode*>(skin->getNode(L"/skin/" + path, nullptr));
    }

    // Runs the UI loop until the condition holds or the time is up.
    static bool pump(std::int64_t ms, const std::function<bool()>& done) {
        return runUntil(done, static_cast<int>(ms));
    }
    static void settle(std::int64_t ms = 300) {
        pump(ms, [] { return false; });
    }

    // Clicks at a point of a window and lets the loop act on it.
    // The place is asked of the server: under a window manager the frame may
    // have moved the window since it last told the node.
    void click(ZWindowNode* w, int x, int y) {
        ZRect at;
        ZWinGetScreenPosition(w->getWindow(), at);
        zantest::motion(at.left + x, at.top + y);
        settle(50);
        zantest::button(true);
        zantest::button(false);
        settle(100);
    }
    // Clicks a field until its window gives it the keyboard focus: a window
    // manager may take the first click of a window that is not active.
    bool focus(ZWindowNode* w, int x, int y) {
        for (int attempt = 0; attempt < 4; ++attempt) {
            click(w, x, y);
            if (pump(700, [&] { return w->getKeyFocus() != nullptr; })) return true;
        }
        return false;
    }
    void type(std::initializer_list<KeySym> keys) {
        for (KeySym k : keys) {
            key(k, true);
            key(k, false);
        }
    }

    // Opens a window by command and waits until it is fully faded in.
    bool open(const std::wstring& path) {
        skin->executeCommand(L"(/skin/" + path + L"?open)", nullptr);
        ZWindowNode* w = window(path);
        if (!w) return false;
        const bool shown = pump(3000, [&] { return ZIsViewable(w->getWindow()->window) && w->getAlpha() == 255; });
        // A busy window manager frames and places a new window some time
        // after it shows: wait until the server has it where it was asked
        // for, or at least until it has stopped moving.
        ZRect last{}, at{};
        std::int64_t still = ZTimeNow();
        pump(3000, [&] {
            ZWinGetScreenPosition(w->getWindow(), at);
            if (at.left == w->getWindow()->rect.left && at.top == w->getWindow()->rect.top) return true;
            if (at.left != last.left || at.top != last.top) still = ZTimeNow();
            last = at;
            return ZTimeNow() - still > 1000000;
        });
        settle(150);
        return shown;
    }

    ZPlatformScope platform;
    ZTempDir dir;
    std::unique_ptr<ZInstance> instance;
    std::unique_ptr<ZTemplate> skin;

private:
    char _previous[4096] = {};
};

}  // namespace zantest
