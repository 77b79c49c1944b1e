// The sharer's capture and change detection, watched by a scripted viewer:
// a plain UDP socket that reads the sharer's messages with the message
// parsers and acknowledges each one.
#include <gtest/gtest.h>

#include "ZScreenTestSupport.h"
#include "ZTCP.h"

using namespace screentest;

namespace {

struct ScriptedViewer {
    ZNetUDPPort* udp = ZNetUDPPortOpen(L"127.0.0.1:0");
    ZTCPClient receiver{0, 0xFFFFFFFF};
    std::vector<int> types;
    std::vector<ZFrag> regions;
    int layouts = 0;

    ~ScriptedViewer() { ZNetUDPPortClose(udp); }
    std::wstring host() { return ZNetUDPPortGetLocalHost(udp); }
    void clear() {
        types.clear();
        regions.clear();
        layouts = 0;
    }
    // Reads what arrived and acknowledges every screen message.
    void read(const std::wstring& sharer) {
        std::string data;
        std::wstring from;
        while (ZNetUDPPortRecv(udp, data, from)) {
            ZRTPSSHeader header;
            int remaining = 0;
            if (!ZDecomposeRTPSS(data.data(), static_cast<int>(data.size()), header, remaining)) continue;
            types.push_back(header.type);
            receiver.onRecv(header.rtp.seqNum);
            const std::string ack = ZRTPSSAck(header.rtp.ssrc, receiver.getAckSeqNum(), receiver.getVector());
            ZNetUDPPortSend(udp, sharer, ack.data(), static_cast<int>(ack.size()));
            if (header.type == ZRTPSS_LAYOUTCHANGED) ++layouts;
            ZRTPSSREGIONCHANGED region;
            if (ZDecomposeRTPSSREGIONCHANGED(data.data(), static_cast<int>(data.size()), region, remaining)) {
                regions.push_back(ZFrag{region.windowID, ZRect{region.x, region.y, region.x + region.width,
                                                               region.y + region.height}});
                EXPECT_LE(region.width, 48);
                EXPECT_LE(region.height, 48);
            }
        }
    }
};

// Runs sharer passes (the clock stepping 100 ms) until nothing more arrives.
void settle(Peer& sharer, ScriptedViewer& viewer, int steps = 40) {
    for (int i = 0; i < steps; ++i) {
        gNow += 100000;
        sharer.service->runPass();
        ZThreadSleep(2000);
        viewer.read(sharer.host);
        pump(sharer.udp, sharer.port);
    }
}

// The union of the regions of one window, as a pixel mask over its rectangle.
std::vector<bool> coverage(const std::vector<ZFrag>& regions, std::uint32_t id, int width, int height) {
    std::vector<bool> mask(static_cast<std::size_t>(width) * height, false);
    for (const ZFrag& f : regions) {
        if (f.id != id) continue;
        for (int y = std::max(0, f.rect.top); y < std::min(height, f.rect.bottom); ++y)
            for (int x = std::max(0, f.rect.left); x < std::min(width, f.rect.right); ++x)
                mask[static_cast<std::size_t>(y) * width + x] = true;
    }
    return mask;
}

int covered(const std::vector<bool>& mask) {
    return static_cast<int>(std::count(mask.begin(), mask.end(), true));
}

class ScreenCapture : public ::testing::Test {
protected:
    void SetUp() override {
        gNow = 1000000000000;
    }
};

}  // namespace

TEST_F(ScreenCapture, NothingIsCapturedWithoutAViewer) {
    ZREQUIRE_DISPLAY();
    Peer sharer;
    sharer.service->runPass();
    EXPECT_FALSE(sharer.service->isCaptureOpen());
    EXPECT_EQ(L"0", sharer.instance->get(L"ZScreenService_sendStreamActive"));
}

TEST_F(ScreenCapture, FirstPassSendsLayoutCursorAndEveryVisiblePartThenChangesOnly) {
    ZREQUIRE_DISPLAY();
    ColourWindow window(200, 150, 130, 100, 0x336699, 0xCC3311);
    Peer sharer;
    ScriptedViewer viewer;
    sharer.open(L"OPENSEND", L"viewer", 41, viewer.host());
    settle(sharer, viewer);
    EXPECT_TRUE(sharer.service->isCaptureOpen());
    EXPECT_EQ(L"1", sharer.instance->get(L"ZScreenService_sendStreamActive"));
    ASSERT_GE(viewer.types.size(), 3u);
    EXPECT_EQ(ZRTPSS_LAYOUTCHANGED, viewer.types[0]);
    EXPECT_EQ(ZRTPSS_MOUSECHANGED, viewer.types[1]);
    const std::uint32_t id = static_cast<std::uint32_t>(window.w);
    EXPECT_EQ(130 * 100, covered(coverage(viewer.regions, id, 130, 100))) << "the whole window is sent once";

    // A move: one layout and no pixels.
    viewer.clear();
    window.move(260, 180);
    settle(sharer, viewer, 12);
    EXPECT_EQ(1, viewer.layouts);
    EXPECT_TRUE(viewer.regions.empty());

    // Growing from 130 x 100 to 150 x 120: exactly the two gained strips
    // (the gained area shows the colour the picture is grown with, so the
    // comparison finds nothing more).
    viewer.clear();
    window.setBackground(0x4444FF);
    window.resize(150, 120);
    settle(sharer, viewer, 12);
    EXPECT_EQ(1, viewer.layouts);
    const std::vector<bool> mask = coverage(viewer.regions, id, 150, 120);
    EXPECT_EQ(150 * 120 - 130 * 100, covered(mask));
    for (int y = 0; y < 100; ++y)
        for (int x = 0; x < 130; ++x) ASSERT_FALSE(mask[static_cast<std::size_t>(y) * 150 + x]) << x << "," << y;

    // A 10 x 10 change inside the window: only tiles that cover it.
    viewer.clear();
    window.fill(60, 70, 10, 10, 0xFFFF00);
    settle(sharer, viewer, 12);
    ASSERT_FALSE(viewer.regions.empty());
    for (const ZFrag& f : viewer.regions) {
        EXPECT_EQ(id, f.id);
        EXPECT_TRUE(ZRectContains(ZRect{60, 70, 70, 80}, f.rect)) << f.rect.serialize();
    }
    EXPECT_EQ(100, covered(coverage(viewer.regions, id, 150, 120)));
    EXPECT_EQ(0, viewer.layouts);

    // The last viewer leaving closes the capture.
    sharer.post(ZHTTPHeaders(L"closesend"));
    ZHTTPHeaders close(L"CLOSESEND");
    close.set(L"Buddy-GUID", L"VIEWER");
    sharer.post(close);
    sharer.service->runPass();
    sharer.service->runPass();
    EXPECT_FALSE(sharer.service->isCaptureOpen());
    EXPECT_EQ(L"0", sharer.instance->get(L"ZScreenService_sendStreamActive"));
}
