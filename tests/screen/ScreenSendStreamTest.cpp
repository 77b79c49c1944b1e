// The send stream against a scripted desktop: what it sends, what it sends
// again, and when it gives up on its viewer.
#include <gtest/gtest.h>

#include "ZScreenTestSupport.h"

using namespace screentest;

namespace {

// A desktop of the test's making, read through IZScreen.
struct FakeScreen : IZScreen {
    std::list<ZFrag> layout;
    std::map<std::uint32_t, std::pair<ZImageFormat, std::string>> windows;
    int mouseX = 5, mouseY = 6;

    const std::list<ZFrag>& getLayout() override { return layout; }
    int getWidth() override { return 1280; }
    int getHeight() override { return 1024; }
    const unsigned char* getWindow(std::uint32_t id, ZImageFormat& format) override {
        auto found = windows.find(id);
        if (found == windows.end()) return nullptr;
        format = found->second.first;
        return reinterpret_cast<const unsigned char*>(found->second.second.data());
    }
    void getMousePosition(int& x, int& y) override {
        x = mouseX;
        y = mouseY;
    }
    ZScreenClock getClock() override { return &screentest::clock; }

    // A window of noise (colour tiles then do not compress) at (left, top).
    void addWindow(std::uint32_t id, int left, int top, int width, int height, unsigned seed = 1) {
        layout.push_back(ZFrag{id, ZRect{left, top, left + width, top + height}});
        std::string pixels(static_cast<std::size_t>(width) * height * 4, '\0');
        std::mt19937 rng(seed);
        for (std::size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<char>(i % 4 == 3 ? 255 : rng());
        windows[id] = {ZImageFormat{ZIT_BGRA32, width, height}, pixels};
    }
};

struct Message {
    int type;
    int seqNum;
    ZRect rect;
    std::size_t size;
};

// The sharer's stream, its switchboard, and a socket standing for the viewer.
struct Fixture {
    ZTempDir dir;
    ZInstance instance{ZFromUTF8(dir.file("settings.ini"))};
    ZMegaPort port{L"sharer"};
    ZNetUDPPort* udp = ZNetUDPPortOpen(L"127.0.0.1:0");
    ZNetUDPPort* viewer = ZNetUDPPortOpen(L"127.0.0.1:0");
    FakeScreen screen;
    std::unique_ptr<ZScreenSendStream> stream;

    Fixture() {
        gNow = 3000000000000;
        port.setUDPPort(udp);
    }
    ~Fixture() {
        stream.reset();
        port.reset();
        ZNetUDPPortClose(udp);
        ZNetUDPPortClose(viewer);
    }
    void open(std::uint32_t windowID = 0) {
        ZHTTPHeaders command(L"OPENSEND");
        command.set(L"SSRC", std::int64_t{99});
        command.set(L"Window-ID", static_cast<std::int64_t>(windowID));
        command.set(L"Buddy-GUID", L"viewer");
        command.set(L"Send-From", ZNetUDPPortGetLocalHost(udp));
        command.set(L"Send-To", ZNetUDPPortGetLocalHost(viewer));
        stream = std::make_unique<ZScreenSendStream>(&instance, &port, &screen, command, nullptr);
    }
    std::vector<Message> received() {
        ZThreadSleep(2000);
        std::vector<Message> out;
        std::string data;
        std::wstring from;
        while (ZNetUDPPortRecv(viewer, data, from)) {
            ZRTPSSHeader header;
            int remaining = 0;
            if (!ZDecomposeRTPSS(data.data(), static_cast<int>(data.size()), header, remaining)) continue;
            Message m{header.type, header.rtp.seqNum, ZRect{}, data.size()};
            ZRTPSSREGIONCHANGED region;
            if (ZDecomposeRTPSSREGIONCHANGED(data.data(), static_cast<int>(data.size()), region, remaining))
                m.rect = ZRect{region.x, region.y, region.x + region.width, region.y + region.height};
            out.push_back(m);
        }
        return out;
    }
    void ack(int seqNum, std::uint32_t vector) {
        ZMegaPortBucket bucket;
        bucket.from = ZNetUDPPortGetLocalHost(viewer);
        bucket.buffer = ZRTPSSAck(99, static_cast<std::uint16_t>(seqNum), vector);
        stream->dispatch(&bucket);
    }
};

}  // namespace

TEST(ZScreenSendStream, FirstLayoutThenCursorThenTilesOfTheSharedWindowOnly) {
    Fixture f;
    f.screen.addWindow(10, 0, 0, 100, 60);
    f.screen.addWindow(20, 200, 0, 50, 50);
    ZLogCapture log;
    f.open(20);
    EXPECT_EQ(1, log.count(L"WARNING Unable to load the pointer picture 'cursor.png', sharing without it."));
    EXPECT_TRUE(f.instance.contains(L"Screening_To_List", L"viewer"));
    f.stream->onFragChanged(ZFrag{10, ZRect{0, 0, 100, 60}});
    f.stream->onFragChanged(ZFrag{20, ZRect{0, 0, 50, 50}});
    EXPECT_EQ(4u, f.stream->getPendingCount());  // 48 x 48 tiles of window 20 alone
    f.stream->update();
    std::vector<Message> sent = f.received();
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(ZRTPSS_LAYOUTCHANGED, sent[0].type);
    EXPECT_EQ(0, sent[0].seqNum);
    EXPECT_EQ(ZRTPSS_MOUSECHANGED, sent[1].type);
    EXPECT_EQ(1, sent[1].seqNum);
    // Pointer moves from the viewer glide: 0 -> 6 -> 9 -> 10.
    f.stream->onClientMouseMove(210, 10);
    for (int expected : {106, 159, 185}) {
        f.stream->update();
        EXPECT_EQ(ZToString(expected), f.instance.get(L"viewer_Screen_Cursor_X"));
    }
    f.stream->onClientMouseMove(5, 5);  // outside the shared window: ignored
    f.stream.reset();
    EXPECT_FALSE(f.instance.contains(L"Screening_To_List", L"viewer"));
    sent = f.received();
    ASSERT_FALSE(sent.empty());
    EXPECT_EQ(ZRTPSS_CANCELRECV, sent.back().type);
}

TEST(ZScreenSendStream, LostContentIsSentAgainWithNewNumbersAndClippedToTheWindow) {
    Fixture f;
    f.screen.addWindow(7, 0, 0, 144, 96);
    f.open();
    f.stream->update();
    std::vector<Message> sent = f.received();
    ASSERT_EQ(2u, sent.size());
    f.ack(1, 0x3);
    f.stream->onFragChanged(ZFrag{7, ZRect{96, 48, 144, 96}});
    f.stream->update();
    sent = f.received();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(ZRTPSS_REGIONCHANGED, sent[0].type);
    EXPECT_EQ(2, sent[0].seqNum);

    // The window shrinks while the tile is on its way; the tile is lost.
    f.screen.addWindow(7, 0, 0, 120, 80);
    f.screen.layout.pop_front();
    f.ack(2, 0x0);
    f.stream->update();
    sent = f.received();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(3, sent[0].seqNum);
    EXPECT_EQ((ZRect{96, 48, 120, 80}), sent[0].rect);

    // An acknowledgement for a number never sent settles nothing.
    f.ack(40, 0xFFFFFFFF);
    f.stream->update();
    EXPECT_TRUE(f.received().empty());
}

TEST(ZScreenSendStream, ColourTilesTooLargeForADatagramGoAsQuarters) {
    Fixture f;
    f.instance.set(L"Enable_Screen_Share_Color", std::int64_t{1}, false);
    f.screen.addWindow(3, 0, 0, 48, 48);
    f.open();
    f.stream->update();
    f.received();
    f.ack(1, 0x3);
    f.stream->onFragChanged(ZFrag{3, ZRect{0, 0, 48, 48}});
    std::vector<Message> regions;
    for (int i = 0; i < 20; ++i) {
        f.stream->update();
        for (const Message& m : f.received()) {
            regions.push_back(m);
            f.ack(m.seqNum, 0xFFFFFFFF);
        }
    }
    ASSERT_GE(regions.size(), 4u);
    int area = 0;
    for (const Message& m : regions) {
        EXPECT_LE(m.size, static_cast<std::size_t>(ZSCREEN_MAX_DATAGRAM));
        area += (m.rect.right - m.rect.left) * (m.rect.bottom - m.rect.top);
    }
    EXPECT_EQ(48 * 48, area);
}

TEST(ZScreenSendStream, ControlNoticesAreResentAndAVanishedViewerEndsTheStream) {
    Fixture f;
    f.screen.addWindow(3, 0, 0, 20, 20);
    f.open();
    f.stream->update();
    f.received();
    f.ack(1, 0x3);
    EXPECT_FALSE(f.stream->hasRemoteControl());
    EXPECT_EQ(f.instance.get(L"viewer_Screen_Let_Control"), L"0") << "the sharing user sees control is not given";
    f.stream->onSetRemoteControl(true);
    std::vector<Message> sent = f.received();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(ZRTPSS_REMOTECONTROLON, sent[0].type);
    EXPECT_EQ(f.instance.get(L"viewer_Screen_Let_Control"), L"1");

    // Lost: the current state goes again under a new number.
    f.ack(2, 0x0);
    f.stream->update();
    sent = f.received();
    ASSERT_EQ(1u, sent.size());
    EXPECT_EQ(ZRTPSS_REMOTECONTROLON, sent[0].type);
    EXPECT_EQ(3, sent[0].seqNum);

    // Nothing acknowledged for ten seconds: the time-outs resend, then the
    // stream reports itself finished.
    std::int64_t result = 0;
    for (int i = 0; i < 120 && result != -1; ++i) {
        gNow += 100000;
        result = f.stream->update();
        f.received();
    }
    EXPECT_EQ(-1, result);
}
