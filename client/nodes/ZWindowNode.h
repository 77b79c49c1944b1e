// One top-level layered window of the skin and the subtree drawn into it: it
// renders the subtree into its own RGBA buffer with one input handler per
// pixel, shows it with an overall opacity, fades in and out, limits its frame
// rate, and routes mouse and keyboard input to the node under the pointer or
// holding the keyboard focus. Store watches of the nodes below it report to
// the window's own notification target, so a change redraws (code 1) or
// re-updates (code 2) only this window's subtree.
//
// Handler pointers (the per-pixel grid, hover, focus and capture) point into
// the subtree: whoever destroys nodes of a window's subtree calls
// forgetSubtree (or forgetHandlers) before deleting them, so no event
// reaches a freed node.
//
// Threading: UI thread only; notifications and timer ticks arrive there.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ZImage.h"
#include "ZNonPortable_Message.h"
#include "ZPortable_Helpers.h"
#include "ZTemplateNode.h"
#include "ZTemplateNodeKinds.h"

class ZWindowNode : public ZTemplateNode,
                    public IZInputHandler,
                    public IZNotifyListener,
                    public IZTimerListener,
                    public IZWindowControl {
public:
    // Minimum gap between two renders (about 15 frames a second).
    static constexpr std::int64_t kRenderPeriod = 66666;

    ZWindowNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent);
    ~ZWindowNode() override;

    void calcMinSize(int& minWidth, int& minHeight) override;

    // Commands of the template.
    void open() override;
    void close() override;
    void flash() override;
    void fadeIn(std::int64_t duration) override;
    void fadeOut(std::int64_t duration) override;
    void fit() override;
    void maximize() override;
    void minimize() override;

    // Drops every handler pointer the window holds (grid, hover, focus,
    // capture) without calling any of them, and redraws.
    void forgetHandlers();
    // forgetHandlers on the window that holds node, if any.
    static void forgetHandlersAbove(ZTemplateNode* node);
    // Drops the handler pointers into subtree only, without calling them,
    // and asks for a redraw; the focus and hover elsewhere stay.
    void forgetHandlersInto(ZTemplateNode* subtree);
    // forgetHandlersInto on the window that holds subtree (not counting a
    // window at its own root), if any. Call before deleting the subtree.
    static void forgetSubtree(ZTemplateNode* subtree);

    // The window's input, routed to the nodes.
    int getNCHITTEST(ZWin* window, int x, int y) override;
    int getMinSize(ZWin* window, int* minWidth, int* minHeight) override;
    int onReposition(ZWin* window, ZRect* rect) override;
    int onKeyDown(ZWin* window, int key) override;
    int onKeyUp(ZWin* window, int key) override;
    int onKeyPressed(ZWin* window, int character) override;
    int onMouseMove(ZWin* window, int x, int y) override;
    int onMouseLeft(ZWin* window) override;
    int onLButtonDown(ZWin* window, int x, int y) override;
    int onLButtonUp(ZWin* window, int x, int y) override;
    int onLButtonDblClk(ZWin* window, int x, int y) override;
    int onRButtonDown(ZWin* window, int x, int y) override;
    int onClose(ZWin* window) override;
    int onShow(ZWin* window) override;
    int onPaste(ZWin* window, const std::wstring& text) override;

    void onNotification(int code, std::int64_t sentTime) override;
    void onTimer(ZTimer* timer) override;

    ZWin* getWindow() const { return _window; }
    const ZRect& getRect() const { return _rect; }
    int getAlpha() const { return _alpha; }
    // The opacity of the last repaint (after the focus fade).
    int getPaintedAlpha() const { return _paintedAlpha; }
    IZInputHandler* getKeyFocus() const { return _keyFocus; }
    IZInputHandler* getMouseover() const { return _mouseover; }

protected:
    bool _preChildUpdate(ZAttributeStack& stack) override;
    bool _postChildUpdate(ZAttributeStack& stack) override;
    bool _preChildRender(ZImageStack& stack) override;
    void _postChildRender(ZImageStack& stack) override;

private:
    void _respond(int flags, IZInputHandler* handler = nullptr);
    // Starts the render timer unless it runs; it stops itself once no fade
    // and no refused redraw is left.
    void _armTimer();
    IZInputHandler* _getHandler(int x, int y) const;
    IZInputHandler* _target(int x, int y) const;
    int _updateMouseover(int x, int y);
    int _updateKeyFocus(int x, int y);
    int _routeMouse(int (IZWinListener::*operation)(ZWin*, int, int), ZWin* window, int x, int y);

    ZWin* _window = nullptr;
    ZTimer* _timer = nullptr;
    ZNotifyHandle* _notify = nullptr;
    std::vector<IZInputHandler*> _handlers;
    ZRect _rect;
    ZImageFormat _format;
    std::string _pixels;
    bool _enableAlpha = false;
    int _alpha = 0;
    int _paintedAlpha = 0;
    IZInputHandler* _keyFocus = nullptr;
    std::wstring _onOpen;
    std::wstring _onClose;
    IZInputHandler* _mouseover = nullptr;
    IZInputHandler* _mouseCaptureHandler = nullptr;
    bool _changed = false;
    std::wstring _path;
    int _minWidth = 0;
    int _minHeight = 0;
    std::int64_t _fadeInStart = 0;
    std::int64_t _fadeInEnd = 0;
    std::int64_t _fadeOutStart = 0;
    std::int64_t _fadeOutEnd = 0;
    ZInterval _fpsInterval;
    int _frames = 0;
    std::int64_t _lastRender = 0;
    bool _focusFade = false;
    bool _redrawPending = false;
    std::int64_t _lastNotified[3] = {0, 0, 0};
};
