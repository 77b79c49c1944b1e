// A grid over store variables: one row per prefix of a list variable, one
// column per suffix, each cell the variable named by the two together. It
// watches every cell it shows, highlights the row under the pointer, marks
// the row last clicked and issues commands on a right-click or a double
// click of a row.
#pragma once

#include <list>
#include <string>

#include "ZFont.h"
#include "ZTemplateNode.h"
#include "ZTemplateNodeKinds.h"

class ZTableNode : public ZTemplateNode, public IZInputHandler, public IZTableControl {
public:
    ZTableNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent);
    void calcMinSize(int& minWidth, int& minHeight) override;

    int onLButtonDown(ZWin* window, int x, int y) override;
    int onLButtonDblClk(ZWin* window, int x, int y) override;
    int onRButtonDown(ZWin* window, int x, int y) override;
    int onMouseMove(ZWin* window, int x, int y) override;
    int onMouseoverChanged(bool entered) override;

    // The prefix of the row last clicked.
    std::wstring getSelection() override { return selectedPrefix; }
    const std::wstring& getMouseover() const { return mouseoverPrefix; }
    // The header's line height and a margin; never below one pixel, whatever
    // size the skin gives the header font.
    int getRowHeight();
    // Pixels between a cell's left edge and its text.
    static constexpr int kCellPadding = 3;

protected:
    bool _postChildUpdate(ZAttributeStack& stack) override;
    bool _preChildRender(ZImageStack& stack) override;

private:
    // The prefix of the row at window row y: empty for the header, above it
    // and below the last row.
    std::wstring _getPrefix(int y);
    std::wstring _prefixListValue();
    bool _hasCommand() const { return !onrightclick.empty() || !ondblclk.empty(); }
    // Selects the row at y; true when the selection changed.
    bool _select(int y);
    void _issue(const std::wstring& command);
    void _drawCell(ZImageStack& stack, const ZRect& cell, const std::wstring& text, ZFont& font);

    std::wstring title;
    std::wstring prefixlistsrc;
    std::wstring prefixlist;
    std::wstring suffixlist;
    // What the header shows over each suffix's column (the suffix itself
    // where this names none), and whether the prefix has a column: a
    // transfer's identifier means nothing to a person.
    std::wstring headerlist;
    bool prefixColumn = true;
    std::wstring onrightclick;
    std::wstring ondblclk;
    ZFont headerfont;
    ZFont mouseoverfont;
    ZFont cellfont;
    std::list<std::wstring> watchedCells;
    std::wstring selectedPrefix;
    std::wstring mouseoverPrefix;
    int originX = 0;
    int originY = 0;
};
