// The drawing surface stack on an in-memory RGBA layer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ZImage.h"
#include "ZImageStack.h"
#include "ZTemplateNode.h"
#include "ZTestSupport.h"

namespace {

// A width x height RGBA layer with its handler map.
struct Layer {
    Layer(int w, int h) : format{ZIT_RGBA32, w, h}, pixels(w * h * 4, 0), handlers(w * h, nullptr) {}
    unsigned char* pixel(int x, int y) { return &pixels[(y * format.width + x) * 4]; }
    ZImageFormat format;
    std::vector<unsigned char> pixels;
    std::vector<IZInputHandler*> handlers;
};

struct Handler : IZInputHandler {};

void push(ZImageStack& stack, Layer& layer) { stack.pushLayer(layer.format, layer.pixels.data(), layer.handlers.data()); }

ZRect areaOf(const ZImageStack& stack) {
    int x = 0, y = 0, w = 0, h = 0;
    stack.getPosition(x, y);
    stack.getDimensions(w, h);
    return {x, y, x + w, y + h};
}

}  // namespace

TEST(ZImageStack, TargetsAreClampedIntoTheAreaAbove) {
    Layer layer(100, 100);
    ZImageStack stack;
    push(stack, layer);
    stack.pushTarget({0, 0, 40, 100});
    stack.pushTarget({10, 10, 50, 50});
    EXPECT_EQ(areaOf(stack), (ZRect{10, 10, 40, 50}));
    stack.pop();
    stack.pop();
    stack.pushTarget({-5, 0, 20, 20});
    EXPECT_EQ(areaOf(stack), (ZRect{0, 0, 20, 20}));
    stack.pushTarget({5, 5, 10, 10});  // relative to the new origin
    EXPECT_EQ(areaOf(stack), (ZRect{5, 5, 10, 10}));
}

TEST(ZImageStack, AnInvertedTargetDrawsNothingAndAStrayPopKeepsTheBottom) {
    Layer layer(10, 10);
    ZImageStack stack;
    push(stack, layer);
    ZLogCapture log;
    stack.pushTarget({6, 6, 2, 2});
    EXPECT_TRUE(log.contains(L"WARNING: Assertion failed. (ZVALIDRECT( toRect ))"));
    EXPECT_EQ(areaOf(stack), (ZRect{6, 6, 6, 6}));
    stack.fillRect({0, 0, 10, 10}, ZColor(1, 1, 1, 1));
    EXPECT_EQ(layer.pixels, std::vector<unsigned char>(10 * 10 * 4, 0));
    stack.pop();
    stack.pop();
    stack.pop();  // one more than was pushed
    EXPECT_EQ(areaOf(stack), (ZRect{0, 0, 0, 0}));
}

TEST(ZImageStack, GradientStepsInFixedPointOverTheArea) {
    Layer layer(2, 2);
    ZImageStack stack;
    push(stack, layer);
    stack.drawGradient(ZColor(0, 0, 0, 0), ZColor(255, 255, 255, 255), 0);
    for (int y = 0; y < 2; ++y) {
        EXPECT_EQ(std::vector<unsigned char>(layer.pixel(0, y), layer.pixel(0, y) + 8),
                  (std::vector<unsigned char>{0, 0, 0, 0, 127, 127, 127, 127}));
    }
    EXPECT_EQ(stack.getDrawnBounds(), (ZRect{0, 0, 2, 2}));

    // Rows of alpha only: colour bytes keep what was there.
    Layer alpha(3, 4);
    for (auto& b : alpha.pixels) b = 9;
    ZImageStack rows;
    push(rows, alpha);
    rows.pushTarget({1, 0, 3, 4});
    rows.drawGradient(ZColor(1, 2, 3, 0), ZColor(1, 2, 3, 200), 3);
    const unsigned char expectedAlpha[4] = {0, 50, 100, 150};
    for (int y = 0; y < 4; ++y) {
        EXPECT_EQ(alpha.pixel(0, y)[3], 9);
        for (int x = 1; x < 3; ++x) {
            EXPECT_EQ(alpha.pixel(x, y)[0], 9);
            EXPECT_EQ(alpha.pixel(x, y)[3], expectedAlpha[y]) << x << "," << y;
        }
    }
}

TEST(ZImageStack, LayersAreRGBAWithAnArea) {
    ZImageStack stack;
    Layer layer(4, 4);
    EXPECT_ZABORT(stack.pushLayer({ZIT_RGB24, 4, 4}, layer.pixels.data(), layer.handlers.data()));
    EXPECT_ZABORT(stack.pushLayer({ZIT_RGBA32, 0, 4}, layer.pixels.data(), layer.handlers.data()));
}

TEST(ZImageStack, BitmapHangingOverTheAreaLosesItsOuterColumns) {
    Layer source(6, 1);
    for (int x = 0; x < 6; ++x) {
        unsigned char* p = source.pixel(x, 0);
        p[0] = static_cast<unsigned char>(10 * (x + 1));
        p[3] = 255;
    }
    Layer layer(10, 1);
    ZImageStack stack;
    push(stack, layer);
    stack.pushTarget({2, 0, 9, 1});  // 7 wide
    // 6 wide at x 4: the last 3 columns hang over the right edge.
    stack.drawBitmap(source.format, source.pixels.data(), {0, 0, 6, 1}, {4, 0, 10, 1}, ZIC_NOBLEND);
    std::vector<int> reds;
    for (int x = 0; x < 10; ++x) reds.push_back(layer.pixel(x, 0)[0]);
    EXPECT_EQ(reds, (std::vector<int>{0, 0, 0, 0, 0, 0, 10, 20, 30, 0}));
    EXPECT_EQ(stack.getDrawnBounds(), (ZRect{6, 0, 9, 1}));
}

TEST(ZImageStack, HandlerMapKeepsTheLastHandlerSetPerPixel) {
    Layer layer(4, 4);
    Handler parent;
    Handler child;
    ZImageStack stack;
    push(stack, layer);
    stack.setInputHandler(&parent);
    stack.pushTarget({1, 1, 3, 3});
    stack.setInputHandler(&child);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) {
            const bool inside = x >= 1 && x < 3 && y >= 1 && y < 3;
            EXPECT_EQ(layer.handlers[y * 4 + x], inside ? &child : &parent) << x << "," << y;
        }
}

TEST(ZImageStack, RectanglesAreOffsetAndClipped) {
    Layer layer(6, 6);
    ZImageStack stack;
    push(stack, layer);
    stack.pushTarget({2, 2, 5, 5});
    stack.fillRect({-1, -1, 1, 1}, ZColor(1, 2, 3, 4));
    stack.drawHorizLine(1, 1, 100, ZColor(7, 7, 7, 7));
    EXPECT_EQ(layer.pixel(2, 2)[0], 1);
    EXPECT_EQ(layer.pixel(1, 1)[0], 0);
    EXPECT_EQ(layer.pixel(3, 2)[0], 0);
    for (int x = 0; x < 6; ++x) EXPECT_EQ(layer.pixel(x, 3)[0], (x >= 3 && x <= 5) ? 7 : 0) << x;
}

TEST(ZImageStack, NothingIsDrawnBeforeALayer) {
    Layer source(2, 2);
    for (auto& b : source.pixels) b = 200;
    Handler handler;
    ZImageStack stack;
    stack.pushTarget({0, 0, 10, 10});
    stack.drawBitmap(source.format, source.pixels.data(), {0, 0, 2, 2}, 0);
    stack.drawBitmap(source.format, source.pixels.data(), {0, 0, 2, 2}, {0, 0, 2, 2}, 0);
    stack.drawGradient(ZColor(), ZColor(255, 255, 255, 255), 0);
    stack.drawRect({0, 0, 2, 2}, ZColor(1, 1, 1, 1));
    stack.fillRect({0, 0, 2, 2}, ZColor(1, 1, 1, 1));
    stack.invertRect({0, 0, 2, 2});
    stack.drawHorizLine(0, 0, 2, ZColor(1, 1, 1, 1));
    stack.setInputHandler(&handler);
    EXPECT_EQ(areaOf(stack), (ZRect{0, 0, 0, 0}));
    EXPECT_EQ(stack.getDrawnBounds(), (ZRect{INT_MAX, INT_MAX, INT_MIN, INT_MIN}));
}
