#include "ZScreenNode.h"

#include <algorithm>
#include <climits>

#include "ZHTTPHeaders.h"
#include "ZImage.h"
#include "ZImageStack.h"
#include "ZImageTools.h"
#include "ZInstance.h"
#include "ZNodeHelpers.h"
#include "ZNonPortable_Base.h"
#include "ZNonPortable_Screen.h"
#include "ZPortable_Text.h"
#include "ZScrollBarNode.h"
#include "ZUtil.h"

namespace {

const wchar_t* const kCommandQueue = L"ZScreenService_commandQueue";
const wchar_t* const kWatchedSuffixes[] = {L"_Screen_Image", L"_Screen_Cursor_Y", L"_Screen_Have_Control"};

// Scroll positions stay far inside the range where view arithmetic overflows.
constexpr std::int64_t kScrollLimit = 1 << 28;

int bounded(std::int64_t value) { return static_cast<int>(std::clamp(value, -kScrollLimit, kScrollLimit)); }

int toInt(std::int64_t value) { return static_cast<int>(std::clamp<std::int64_t>(value, INT_MIN, INT_MAX)); }

// value x numerator / denominator, rounded down or up; all non-negative.
int scaleDown(int value, int numerator, int denominator) {
    return static_cast<int>(static_cast<std::int64_t>(value) * numerator / denominator);
}
int scaleUp(int value, int numerator, int denominator) {
    const std::int64_t product = static_cast<std::int64_t>(value) * numerator;
    return static_cast<int>((product + denominator - 1) / denominator);
}

}  // namespace

ZScreenNode::ZScreenNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent)
    : ZTemplateNode(instance, commandEngine, parent),
      _clock([] { return ZTimeNow(); }),
      _buttonTest([] { return ZSystemIsKeyPressed(1); }) {
    _moveInterval.setPeriod(kMovePeriod);
}

int ZScreenNode::_scale() const {
    return static_cast<int>(std::clamp<std::int64_t>(2 * static_cast<std::int64_t>(_zoomFactor), 0, 2000)) + 50;
}

void ZScreenNode::calcMinSize(int& minWidth, int& minHeight) {
    const int s = _scale();
    minWidth = std::max(minWidth, scaleDown(_screenWidth, s, 1000));
    minHeight = std::max(minHeight, scaleDown(_screenHeight, s, 1000));
    ZTemplateNode::calcMinSize(minWidth, minHeight);
}

void ZScreenNode::fit() {
    if (_screenWidth <= 0 || _screenHeight <= 0 || _viewWidth <= 0 || _viewHeight <= 0) return;
    const float viewRatio = static_cast<float>(_viewWidth) / static_cast<float>(_viewHeight);
    const float screenRatio = static_cast<float>(_screenWidth) / static_cast<float>(_screenHeight);
    const float factor = viewRatio >= screenRatio ? static_cast<float>(_viewHeight) / static_cast<float>(_screenHeight)
                                                  : static_cast<float>(_viewWidth) / static_cast<float>(_screenWidth);
    const float zoom = (factor - 0.05f) * 0.5f;
    if (!_scrollPath.empty()) {
        if (auto* bar = dynamic_cast<ZScrollBarNode*>(_commandEngine->getNode(_scrollPath, this))) bar->setFrac(zoom);
    }
    _zoomFactor = static_cast<int>(std::clamp(zoom * 1000.0f, -1e6f, 1e6f));
    _scrollX = _resizeFormat.width / 2;
    _scrollY = _resizeFormat.height / 2;
}

// ---- update ------------------------------------------------------------------------

void ZScreenNode::_watchAll(bool add) {
    for (const wchar_t* suffix : kWatchedSuffixes) {
        if (add) _instance->watch(_guid + suffix, _listener, ZNODE_REDRAW);
        else _instance->unwatch(_guid + suffix, _listener, ZNODE_REDRAW);
    }
}

bool ZScreenNode::_postChildUpdate(ZAttributeStack& stack) {
    bool changed = false;
    const int zoom = stack.calc(L"$zoomFactor");
    changed |= zoom != _zoomFactor;
    _zoomFactor = zoom;
    const std::wstring scrollPath = stack.eval(L"$scrollPath");
    changed |= scrollPath != _scrollPath;
    _scrollPath = scrollPath;
    const std::wstring guid = stack.eval(L"$GUID");
    if (!ZCaseEquals(guid, _guid)) {
        if (!_guid.empty()) _watchAll(false);
        _guid = guid;
        _listener = stack.getNotifyListener();
        if (!_guid.empty()) _watchAll(true);
        changed = true;
    }
    return changed;
}

// ---- render ------------------------------------------------------------------------

void ZScreenNode::_refuse(const ZImageFormat& screen, int targetWidth, int targetHeight, bool warn) {
    const ZImageFormat copy{screen.type, targetWidth, targetHeight};
    if (warn && !(screen == _refusedScreen && copy == _refusedCopy)) {
        ZLOG(L"WARNING Shared screen of '" << _guid << L"' " << screen.toString() << L" zoomed to "
                                           << copy.toString() << L" is too large to show, showing grey.");
        _refusedScreen = screen;
        _refusedCopy = copy;
    }
    _resizeFormat = ZImageFormat{};
    _resizePixels.clear();
    _resizePixels.shrink_to_fit();
}

void ZScreenNode::_refresh(int& targetWidth, int& targetHeight) {
    if (_guid.empty()) return;
    const std::wstring key = _guid + L"_Screen_Image";
    const std::uint64_t t = _instance->getTimestamp(key);
    if (t <= _imageTime && targetWidth == _resizeFormat.width && targetHeight == _resizeFormat.height) return;
    ZImageFormat format;
    ZRect rect;
    const unsigned char* pixels = ZImageTools_instanceReadOpen(_instance, key, format, rect, 0, 0);
    if (!pixels) return;
    const std::wstring dirtyName = key + L"_DirtyRect";
    const int width = rect.right - rect.left;
    const int height = rect.bottom - rect.top;
    const ZImageFormat screen{format.type, width, height};
    auto finish = [&] {
        _imageTime = t;
        _instance->clear(dirtyName);
        ZImageTools_instanceReadClose(_instance, key);
    };

    // Only types the zoom and the drawing handle, and sizes a screen has.
    if (width <= 0 || height <= 0 || width > kMaxScreenSide || height > kMaxScreenSide || (format.type != ZIT_RGB24 && format.type != ZIT_RGBA32)) {
        _screenWidth = _screenHeight = 0;
        _refuse(screen, 0, 0, true);
        finish();
        return;
    }
    const int s = _scale();
    bool resized = false;
    if (width != _screenWidth || height != _screenHeight) {
        _screenWidth = width;
        _screenHeight = height;
        fit();
        // The fitted zoom takes effect at the next render.
        targetWidth = scaleDown(_screenWidth, s, 1000);
        targetHeight = scaleDown(_screenHeight, s, 1000);
        resized = true;
    }
    const ZImageFormat copy{format.type, targetWidth, targetHeight};
    const std::int64_t bytes = ZImageByteSize(copy);
    if (bytes <= 0 || bytes > kMaxCopyBytes) {
        // No warning for a copy of no pixels, or for the zoom of a screen
        // that just changed size: the fitted zoom comes next.
        _refuse(screen, targetWidth, targetHeight, bytes > 0 && !resized);
        finish();
        return;
    }

    ZRect dirty;
    if (!dirty.deserialize(_instance->getRaw(dirtyName))) dirty = ZRect{};
    const ZRect screenRect{0, 0, width, height};
    ZWARNASSERT_T(ZRectContains(screenRect, dirty), "ZRectContains( screenRect, dirtyRect )");
    ZRectClip(dirty, screenRect);
    if (ZRectEmpty(dirty)) dirty = ZRect{};
    ZRect scaled{scaleDown(dirty.left, targetWidth, width), scaleDown(dirty.top, targetHeight, height),
                 scaleUp(dirty.right, targetWidth, width), scaleUp(dirty.bottom, targetHeight, height)};

    if (!(_resizeFormat == copy)) {
        // The point at the centre of the view stays there.
        _scrollX = _resizeFormat.width ? bounded(static_cast<std::int64_t>(_scrollX) * targetWidth / _resizeFormat.width)
                                       : targetWidth / 2;
        _scrollY = _resizeFormat.height
                       ? bounded(static_cast<std::int64_t>(_scrollY) * targetHeight / _resizeFormat.height)
                       : targetHeight / 2;
        _resizeFormat = copy;
        _resizePixels.assign(static_cast<std::size_t>(bytes), '\0');
        dirty = screenRect;
        scaled = ZRect{0, 0, targetWidth, targetHeight};
    }
    if (!ZRectEmpty(dirty) && !ZRectEmpty(scaled)) {
        ZImageCopy(format, pixels, dirty, _resizeFormat, reinterpret_cast<unsigned char*>(_resizePixels.data()), scaled,
                   ZIC_SCALE_X | ZIC_SCALE_Y);
    }
    finish();
}

void ZScreenNode::_drawPointer(ZImageStack& stack, int scale) {
    ZImageFormat format;
    ZRect rect;
    const unsigned char* pixels = ZImageTools_instanceReadOpen(_instance, L"cursor.png", format, rect, 0, 0);
    if (!pixels) return;
    // The sharer's position is any number: it is held to the screen.
    const std::int64_t x = std::clamp<std::int64_t>(_instance->calc(_guid + L"_Screen_Cursor_X"), 0, _screenWidth);
    const std::int64_t y = std::clamp<std::int64_t>(_instance->calc(_guid + L"_Screen_Cursor_Y"), 0, _screenHeight);
    const std::int64_t cx = x * _resizeFormat.width / _screenWidth;
    const std::int64_t cy = y * _resizeFormat.height / _screenHeight;
    const int x0 = toInt(_viewWidth / 2 - _scrollX + cx);
    const int y0 = toInt(_viewHeight / 2 - _scrollY + cy);
    const int width = scaleDown(rect.right - rect.left, scale, 1000);
    const int height = scaleDown(rect.bottom - rect.top, scale, 1000);
    stack.drawBitmap(format, pixels, rect, ZNodeNormalised(ZRect{x0, y0, x0 + width, y0 + height}),
                     ZIC_SCALE_X | ZIC_SCALE_Y);
    ZImageTools_instanceReadClose(_instance, L"cursor.png");
}

bool ZScreenNode::_preChildRender(ZImageStack& stack) {
    ZASSERT(_instance);
    stack.getPosition(_viewX, _viewY);
    stack.getDimensions(_viewWidth, _viewHeight);
    const int s = _scale();
    int targetWidth = scaleDown(_screenWidth, s, 1000);
    int targetHeight = scaleDown(_screenHeight, s, 1000);
    _refresh(targetWidth, targetHeight);

    const ZColor grey(L"#666666");
    // A copy that lacks the target size (the image could not be read since
    // the zoom changed) is not drawn: the view shows grey.
    const bool current = !_resizePixels.empty() && _resizeFormat.width == targetWidth &&
                         _resizeFormat.height == targetHeight;
    if (current) {
        const int w = _resizeFormat.width, h = _resizeFormat.height;
        const int left = _viewWidth / 2 - _scrollX, top = _viewHeight / 2 - _scrollY;
        const int right = left + w, bottom = top + h;
        // Only the rows in view are handed on, so only they are converted.
        const int first = std::clamp(-top, 0, h);
        const int last = std::clamp(_viewHeight - top, first, h);
        if (first < last) {
            const std::size_t rowBytes = static_cast<std::size_t>(w) * ZImageBytesPerPixel(_resizeFormat.type);
            const ZImageFormat rows{_resizeFormat.type, w, last - first};
            stack.drawBitmap(rows, reinterpret_cast<const unsigned char*>(_resizePixels.data()) + rowBytes * first,
                             ZRect{0, 0, w, last - first}, ZRect{left, top + first, right, top + last}, 0);
        }
        if (left > 0) stack.fillRect(ZRect{0, 0, left, _viewHeight}, grey);
        if (top > 0) stack.fillRect(ZNodeNormalised(ZRect{left, 0, right, top}), grey);
        if (right < _viewWidth) stack.fillRect(ZRect{right, 0, _viewWidth, _viewHeight}, grey);
        if (bottom < _viewHeight) stack.fillRect(ZNodeNormalised(ZRect{left, bottom, right, _viewHeight}), grey);
    } else {
        stack.fillRect(ZRect{0, 0, _viewWidth, _viewHeight}, grey);
    }

    // While the viewer steers with the mouse over the view, the local
    // pointer stands in for the remote one.
    if (_screenWidth != 0 && _screenHeight != 0 && (!_hasControl() || !_mouseover)) _drawPointer(stack, s);
    stack.setInputHandler(this);
    return true;
}

// ---- input -------------------------------------------------------------------------

bool ZScreenNode::_hasControl() { return !_guid.empty() && _instance->test(_guid + L"_Screen_Have_Control"); }

void ZScreenNode::_convertToScreen(int x, int y, int& screenX, int& screenY) const {
    screenX = screenY = 0;
    if (_resizeFormat.width == 0 || _resizeFormat.height == 0) return;
    const std::int64_t vx = static_cast<std::int64_t>(x) - _viewX - (_viewWidth / 2 - _scrollX);
    const std::int64_t vy = static_cast<std::int64_t>(y) - _viewY - (_viewHeight / 2 - _scrollY);
    screenX = toInt(vx * _screenWidth / _resizeFormat.width);
    screenY = toInt(vy * _screenHeight / _resizeFormat.height);
}

void ZScreenNode::_send(const wchar_t* method, int x, int y) {
    if (_guid.empty()) return;
    int screenX = 0, screenY = 0;
    _convertToScreen(x, y, screenX, screenY);
    ZHTTPHeaders command(method);
    command.set(L"Buddy-GUID", _guid);
    command.set(L"X", screenX);
    command.set(L"Y", screenY);
    _instance->enqueue(kCommandQueue, command.serialize());
}

void ZScreenNode::_sendKey(const wchar_t* method, int virtualKey) {
    if (_guid.empty()) return;
    ZHTTPHeaders command(method);
    command.set(L"Buddy-GUID", _guid);
    command.set(L"Virtual-Key", virtualKey);
    _instance->enqueue(kCommandQueue, command.serialize());
}

void ZScreenNode::_dragTo(int x, int y) {
    _scrollX = bounded(static_cast<std::int64_t>(_scrollX) + _dragX - x);
    _scrollY = bounded(static_cast<std::int64_t>(_scrollY) + _dragY - y);
    _dragX = x;
    _dragY = y;
}

int ZScreenNode::onKeyDown(ZWin*, int virtualKey) {
    _sendKey(L"KEYDOWN", virtualKey);
    return 0;
}

int ZScreenNode::onKeyUp(ZWin*, int virtualKey) {
    _sendKey(L"KEYUP", virtualKey);
    return 0;
}

int ZScreenNode::onLButtonDown(ZWin*, int x, int y) {
    if (_hasControl()) {
        _send(L"LBUTTONDOWN", x, y);
        return 0;
    }
    _dragX = x;
    _dragY = y;
    return 4;
}

int ZScreenNode::onLButtonUp(ZWin*, int x, int y) {
    if (_hasControl()) {
        _send(L"LBUTTONUP", x, y);
        return 0;
    }
    _dragTo(x, y);
    return 9;
}

int ZScreenNode::onLButtonDblClk(ZWin*, int x, int y) {
    if (_hasControl()) {
        _send(L"LBUTTONDBLCLK", x, y);
        return 0;
    }
    _scrollX = bounded(static_cast<std::int64_t>(x) - _viewX - (_viewWidth / 2 - _scrollX));
    _scrollY = bounded(static_cast<std::int64_t>(y) - _viewY - (_viewHeight / 2 - _scrollY));
    return 9;
}

int ZScreenNode::onRButtonDown(ZWin*, int x, int y) {
    _send(L"RBUTTONDOWN", x, y);
    return 0;
}

int ZScreenNode::onMouseMove(ZWin*, int x, int y) {
    if (!_hasControl() && _buttonTest()) {
        _dragTo(x, y);
        return 1;
    }
    if (_viewWidth != 0 && _viewHeight != 0 && _instance && _moveInterval.isDue(_clock())) _send(L"MOUSEMOVE", x, y);
    return 0;
}

int ZScreenNode::onKeyboardFocusChanged(bool) { return 1; }

int ZScreenNode::onMouseoverChanged(bool entered) {
    _mouseover = entered;
    return 1;
}
