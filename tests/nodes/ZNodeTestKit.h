// What the node tests share: a store, a command engine that records the
// commands it is given, trees built in code through the engine's element
// table, update and render passes over an in-memory layer, and a probe node
// that records the area it was given.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "IZCommandEngine.h"
#include "ZAttributeStack.h"
#include "ZImage.h"
#include "ZImageStack.h"
#include "ZImageTools.h"
#include "ZInstance.h"
#include "ZNodeLibrary.h"
#include "ZNonPortable_Message.h"
#include "ZPortable_Text.h"
#include "ZTemplateFactory.h"
#include "ZTemplateNode.h"
#include "ZTestSupport.h"

namespace zantest {

class RecordingEngine : public IZCommandEngine, public IZNotifyListener {
public:
    RecordingEngine() : _handle(ZNotifyOpen(this)) {}
    ~RecordingEngine() override { ZNotifyClose(_handle); }
    void executeCommand(const std::wstring& command, ZTemplateNode*, int) override { commands.push_back(command); }
    ZNotifyHandle* getNotifyListener() override { return _handle; }
    ZTemplateNode* getNode(const std::wstring& path, ZTemplateNode*) override {
        const auto found = nodes.find(path);
        return found != nodes.end() ? found->second : nullptr;
    }
    void onNotification(int code, std::int64_t) override { notifications.push_back(code); }
    std::vector<std::wstring> commands;
    std::vector<int> notifications;
    std::map<std::wstring, ZTemplateNode*> nodes;  // what getNode finds, by path

private:
    ZNotifyHandle* _handle;
};

// A leaf of a given minimum size that records where it was drawn.
class ProbeNode : public ZTemplateNode, public IZInputHandler {
public:
    ProbeNode(ZInstance* instance, IZCommandEngine* engine, ZTemplateNode* parent, int width, int height)
        : ZTemplateNode(instance, engine, parent), minWidth(width), minHeight(height) {}
    void calcMinSize(int& w, int& h) override {
        w = std::max(w, minWidth);
        h = std::max(h, minHeight);
    }
    bool acceptsKeyboardFocus() override { return focusable; }
    int onKeyboardFocusChanged(bool gained) override {
        focused = gained;
        return 1;
    }
    int onLButtonDown(ZWin*, int, int) override { return ++clicks, 1; }
    int onMouseMove(ZWin*, int, int) override { return ++moves, 0; }
    int minWidth, minHeight;
    bool focusable = false;
    bool focused = false;
    bool claims = false;  // registers itself for its area
    int clicks = 0, moves = 0, updates = 0, renders = 0;
    ZRect drawn;  // in layer coordinates
    std::wstring reads;  // an expression evaluated in each update, into seen
    std::wstring seen;

protected:
    bool _postChildUpdate(ZAttributeStack& stack) override {
        if (!reads.empty()) seen = stack.eval(reads);
        return ++updates, false;
    }
    bool _preChildRender(ZImageStack& stack) override {
        ++renders;
        int x = 0, y = 0, w = 0, h = 0;
        stack.getPosition(x, y);
        stack.getDimensions(w, h);
        drawn = ZRect{x, y, x + w, y + h};
        if (claims) stack.setInputHandler(this);
        return true;
    }
};

// An RGBA layer in memory with its handler map.
struct Layer {
    Layer(int w, int h)
        : format{ZIT_RGBA32, w, h}, pixels(static_cast<size_t>(w) * h * 4, 0), handlers(static_cast<size_t>(w) * h) {}
    const unsigned char* pixel(int x, int y) const { return &pixels[(static_cast<size_t>(y) * format.width + x) * 4]; }
    ZImageFormat format;
    std::vector<unsigned char> pixels;
    std::vector<IZInputHandler*> handlers;
};

class NodeTest : public testing::Test {
protected:
    NodeTest() { ZNodeLibrary_install(); }
    ~NodeTest() override { delete root; }

    // A node of the element's class, with raw attributes, under parent (the
    // first one made becomes the root).
    template <typename Node = ZTemplateNode>
    Node* add(ZTemplateNode* parent, const std::wstring& element,
              std::initializer_list<std::pair<const wchar_t*, const wchar_t*>> attributes = {}) {
        ZAttributeList list;
        for (const auto& [name, value] : attributes) list.emplace_back(name, value);
        ZTemplateNode* node = ZTemplateFactory::create(&instance, &engine, parent, element, list);
        attach(parent, node);
        Node* typed = dynamic_cast<Node*>(node);
        EXPECT_NE(typed, nullptr) << "element " << ZToUTF8(element) << " made another class";
        return typed;
    }
    ProbeNode* probe(ZTemplateNode* parent, int width, int height) {
        auto* node = new ProbeNode(&instance, &engine, parent, width, height);
        node->setName(L"probe");
        attach(parent, node);
        return node;
    }
    void attach(ZTemplateNode* parent, ZTemplateNode* node) {
        if (parent) parent->addChild(node);
        else root = node;
    }
    bool update() {
        ZAttributeStack stack(&instance, engine.getNotifyListener());
        return root->update(stack);
    }
    void render(Layer& layer) {
        ZImageStack stack;
        stack.pushLayer(layer.format, layer.pixels.data(), layer.handlers.data());
        root->render(stack);
    }
    // An RGBA image of one colour in the store.
    void storeImage(const std::wstring& name, int width, int height, ZColor color) {
        std::vector<unsigned char> bytes(static_cast<size_t>(width) * height * 4);
        for (size_t i = 0; i < bytes.size(); i += 4) {
            bytes[i] = color.r, bytes[i + 1] = color.g, bytes[i + 2] = color.b, bytes[i + 3] = color.a;
        }
        ZImageTools_instanceWrite(&instance, name, ZImageFormat{ZIT_RGBA32, width, height}, bytes.data());
    }

    ZTempDir dir;
    ZInstance instance{ZFromUTF8(dir.file("settings.ini"))};
    RecordingEngine engine;
    ZTemplateNode* root = nullptr;
};

}  // namespace zantest
