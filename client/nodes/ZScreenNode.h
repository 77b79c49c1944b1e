// The viewer of a buddy's shared screen: the store image "<buddy>_Screen_Image"
// shown zoomed and panned inside the node, with the remote pointer drawn over
// it; keys and mouse input become commands on "ZScreenService_commandQueue"
// for the sharing side to replay.
//
// The zoomed copy is rebuilt whole only when the zoom, the screen size or the
// image type changes; otherwise only the image's dirty rectangle is scaled
// into it. A screen larger than kMaxScreenSide on a side, or a zoomed copy
// above kMaxCopyBytes, is not copied: the view shows grey, with one warning.
//
// Threading: UI thread only; the screen service writes the store variables on
// its own thread, and the store's image read keeps the image whole while it
// is copied.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "ZPortable_Helpers.h"
#include "ZPortable_Rect.h"
#include "ZTemplateNode.h"
#include "ZTemplateNodeKinds.h"

class ZScreenNode : public ZTemplateNode, public IZInputHandler, public IZScreenControl {
public:
    static constexpr int kMaxScreenSide = 8192;
    static constexpr std::int64_t kMaxCopyBytes = 64ll << 20;
    static constexpr std::int64_t kMovePeriod = 250000;  // microseconds between "MOUSEMOVE"s

    // Microseconds, as ZTimeNow gives them.
    using Clock = std::function<std::int64_t()>;
    // Whether the left mouse button is held now.
    using ButtonTest = std::function<bool()>;

    ZScreenNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent);
    void calcMinSize(int& minWidth, int& minHeight) override;

    // Zooms so that the whole screen fits the view, and moves the zoom scroll bar.
    void fit() override;

    int onKeyDown(ZWin* window, int virtualKey) override;
    int onKeyUp(ZWin* window, int virtualKey) override;
    int onMouseMove(ZWin* window, int x, int y) override;
    int onLButtonDown(ZWin* window, int x, int y) override;
    int onLButtonUp(ZWin* window, int x, int y) override;
    int onLButtonDblClk(ZWin* window, int x, int y) override;
    int onRButtonDown(ZWin* window, int x, int y) override;
    int onKeyboardFocusChanged(bool gained) override;
    int onMouseoverChanged(bool entered) override;

    // Test seams: the clock of the "MOUSEMOVE" throttle and the button state of a pan.
    void setClock(Clock clock) { _clock = std::move(clock); }
    void setButtonTest(ButtonTest test) { _buttonTest = std::move(test); }

    int getZoomFactor() const { return _zoomFactor; }
    const ZImageFormat& getCopyFormat() const { return _resizeFormat; }
    int getScrollX() const { return _scrollX; }
    int getScrollY() const { return _scrollY; }

protected:
    bool _postChildUpdate(ZAttributeStack& stack) override;
    bool _preChildRender(ZImageStack& stack) override;

private:
    // The zoom as thousandths of the screen's size: 50 to 2050.
    int _scale() const;
    // Brings the zoomed copy up to date with the store image.
    void _refresh(int& targetWidth, int& targetHeight);
    // A refused image or copy: drops the copy, warning once per size.
    void _refuse(const ZImageFormat& screen, int targetWidth, int targetHeight, bool warn);
    void _drawPointer(ZImageStack& stack, int scale);
    void _watchAll(bool add);
    bool _hasControl();
    void _convertToScreen(int x, int y, int& screenX, int& screenY) const;
    void _send(const wchar_t* method, int x, int y);
    void _sendKey(const wchar_t* method, int virtualKey);
    void _dragTo(int x, int y);

    std::wstring _guid;
    int _screenWidth = 0;
    int _screenHeight = 0;
    int _viewX = 0;
    int _viewY = 0;
    int _viewWidth = 0;
    int _viewHeight = 0;
    std::wstring _scrollPath;
    bool _mouseover = false;
    ZInterval _moveInterval;
    ZImageFormat _resizeFormat;
    std::string _resizePixels;
    std::uint64_t _imageTime = 0;
    int _zoomFactor = 500;
    int _scrollX = 0;
    int _scrollY = 0;
    int _dragX = 0;
    int _dragY = 0;
    ZNotifyHandle* _listener = nullptr;
    // The screen and copy sizes last refused, so each is warned about once.
    ZImageFormat _refusedScreen;
    ZImageFormat _refusedCopy;
    Clock _clock;
    ButtonTest _buttonTest;
};
