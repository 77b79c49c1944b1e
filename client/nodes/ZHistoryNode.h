// The chat history of a chat window: the messages of a store queue, read
// without taking them, each shown as "<sender>: <text>" with the sender's
// name drawn over it in a title font (one for the local user, one for the
// buddy); it scrolls by a fraction the skin gives, selects a message by
// click, runs a command on a double click and flashes its window on every
// new message.
//
// A message is shown with at most kMaxMessageUnits characters and
// kMaxMessageLines lines, so a peer's huge message cannot cost a huge text
// image and layout; bytes that are not UTF-8 show as U+FFFD. It keeps the
// newest kMaxMessages messages; the queue it reads keeps no more either.
// Messages are read by their number in the queue, each once, however many
// have left the queue's front since.
//
// Threading: UI thread only; other threads append to the queue through the store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "ZFont.h"
#include "ZTemplateNode.h"

class ZHTTPHeaders;

class ZHistoryNode : public ZTemplateNode, public IZInputHandler {
public:
    // One piece of drawn text, laid out in the node's coordinates before scrolling.
    struct Block {
        ZRect rect;
        std::wstring text;
        int index = 0;  // the message's position in the queue
        ZFont* font = nullptr;  // one of the node's three fonts
        std::wstring shown;  // what is drawn, when it differs from the text
    };

    static constexpr std::size_t kMaxMessageUnits = 4096;
    static constexpr int kMaxMessageLines = 64;
    static constexpr std::size_t kMaxMessages = 500;

    ZHistoryNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent);
    void calcMinSize(int& minWidth, int& minHeight) override;

    int onLButtonDown(ZWin* window, int x, int y) override;
    int onLButtonUp(ZWin* window, int x, int y) override;
    int onLButtonDblClk(ZWin* window, int x, int y) override;
    int onMouseMove(ZWin* window, int x, int y) override;

    // Per message a line block, then a name block.
    const std::vector<Block>& getBlocks() const { return _blocks; }
    int getSelected() const { return _selected; }
    int getLayoutHeight() const { return _layoutHeight; }
    // The scroll offset of the last render, in pixels.
    int getOffset() const { return _offset; }

protected:
    bool _postChildUpdate(ZAttributeStack& stack) override;
    bool _preChildRender(ZImageStack& stack) override;

private:
    const Block* _getRegion(int x, int y) const;
    void _makeRoomForName(Block& line, Block& name);
    // Lays out the blocks not laid out yet, below those that are.
    void _layout(int width);
    // Forgets the oldest messages beyond kMaxMessages.
    void _dropOldest();

    std::vector<Block> _blocks;
    ZFont _localTitleFont;
    ZFont _remoteTitleFont;
    ZFont _baseFont;
    int _x = 0;
    int _y = 0;
    ZNotifyHandle* _listener = nullptr;
    std::wstring _src;
    std::wstring _onDblClk;
    int _selected = -1;
    // The queue's number of the next message to read.
    std::uint64_t _nextSerial = 0;
    int _vscrollFrac = 0;
    int _layoutWidth = 0;
    int _layoutHeight = 0;
    // Blocks laid out for _layoutWidth; new messages only add to the end.
    std::size_t _laidOut = 0;
    int _offset = 0;
};
