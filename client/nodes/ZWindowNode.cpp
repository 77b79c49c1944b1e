#include "ZWindowNode.h"

#include <algorithm>
#include <unordered_set>

#include "ZImageStack.h"
#include "ZInstance.h"
#include "ZNonPortable_Base.h"
#include "ZNonPortable_Window.h"
#include "ZUtil.h"

namespace {

// The platform's windows are between 1 and this many pixels on a side.
constexpr int kLargestSide = 1024;

}  // namespace

ZWindowNode::ZWindowNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent)
    : ZTemplateNode(instance, commandEngine, parent) {
    _fpsInterval.setPeriod(2000000);
}

ZWindowNode::~ZWindowNode() {
    if (_notify) ZNotifyClose(_notify);
    if (_timer) ZTimerClose(_timer);
    if (_window) ZWinClose(_window);
    // The children go with the base, and with them every handler we point at.
    _mouseCaptureHandler = _mouseover = _keyFocus = nullptr;
}

// ---- update and render ------------------------------------------------------

bool ZWindowNode::_preChildUpdate(ZAttributeStack& stack) {
    const std::wstring path = stack.eval(L"$path");
    if (!_window) {
        const std::size_t cut = std::min(path.size(), getID().size() + 1);
        _path = path.substr(0, path.size() - cut);
        const std::wstring title = stack.eval(L"$title");
        _rect.left = stack.calc(L"$x");
        _rect.top = stack.calc(L"$y");
        int width = stack.calc(L"$width");
        int height = stack.calc(L"$height");
        if (width < 1 || width > kLargestSide || height < 1 || height > kLargestSide) {
            ZLOG(L"WARNING Window '" << getID() << L"' of " << width << L"x" << height
                                     << L" pixels opens within 1 to 1024 on each side.");
            width = std::clamp(width, 1, kLargestSide);
            height = std::clamp(height, 1, kLargestSide);
        }
        _rect.right = _rect.left + width;
        _rect.bottom = _rect.top + height;
        _window = ZWinOpen(title, _rect, stack.test(L"$topmost"), this);
        _notify = ZNotifyOpen(this);
        _armTimer();
        if (!stack.test(L"$hidden")) {
            ZWinShow(_window);
            _alpha = 255;
        } else {
            _alpha = 0;
        }
        _changed = true;
    }
    stack.set(L"x", std::int64_t{0});
    stack.set(L"y", std::int64_t{0});
    stack.set(L"width", std::int64_t{_rect.right - _rect.left});
    stack.set(L"height", std::int64_t{_rect.bottom - _rect.top});
    stack.set(L"windowpath", path);
    stack.push(_notify);
    return true;
}

bool ZWindowNode::_postChildUpdate(ZAttributeStack& stack) {
    stack.pop();
    bool changed = _changed;
    _changed = false;
    const bool enableAlpha = stack.test(L"$enableAlpha");
    const std::wstring onOpen = stack.eval(L"$onOpen");
    const std::wstring onClose = stack.eval(L"$onClose");
    const int minWidth = stack.calc(L"$minwidth");
    const int minHeight = stack.calc(L"$minheight");
    const bool focusFade = stack.test(L"$focusFade");
    changed |= enableAlpha != _enableAlpha || onOpen != _onOpen || onClose != _onClose || minWidth != _minWidth ||
               minHeight != _minHeight || focusFade != _focusFade;
    _enableAlpha = enableAlpha;
    _onOpen = onOpen;
    _onClose = onClose;
    _minWidth = minWidth;
    _minHeight = minHeight;
    _focusFade = focusFade;
    return changed;
}

bool ZWindowNode::_preChildRender(ZImageStack& stack) {
    ZASSERT(_window);
    const std::int64_t now = ZTimeNow();
    if (_fadeInStart) {
        if (_fadeInStart > now) {
            _alpha = 0;
        } else if (now < _fadeInEnd) {
            _alpha = static_cast<int>((now - _fadeInStart) * 255 / (_fadeInEnd - _fadeInStart));
        } else {
            _fadeInStart = _fadeInEnd = 0;
            _alpha = 255;
        }
    } else if (_fadeOutStart) {
        if (_fadeOutStart > now) {
            _alpha = 255;
        } else if (now < _fadeOutEnd) {
            _alpha = static_cast<int>((_fadeOutEnd - now) * 255 / (_fadeOutEnd - _fadeOutStart));
        } else {
            _fadeOutStart = _fadeOutEnd = 0;
            _alpha = 0;
            ZWinHide(_window);
        }
    }
    const int width = _rect.right - _rect.left;
    const int height = _rect.bottom - _rect.top;
    if (_alpha == 0 || width <= 0 || height <= 0 || ZWinIsMinimized(_window)) return false;
    if (width != _format.width || height != _format.height) {
        _format = ZImageFormat{ZIT_RGBA32, width, height};
        _pixels.resize(static_cast<std::size_t>(_format.getBufferSize()));
    }
    std::fill(_pixels.begin(), _pixels.end(), '\0');
    _handlers.resize(static_cast<std::size_t>(width) * height);
    stack.pushLayer(_format, reinterpret_cast<unsigned char*>(_pixels.data()), _handlers.data());
    // Every pixel is the window's own until a node claims it.
    stack.setInputHandler(this);
    return true;
}

void ZWindowNode::_postChildRender(ZImageStack& stack) {
    ZASSERT(_window);
    if (_alpha != 0) {
        stack.pop();
        int alpha = _alpha;
        if (_focusFade && !ZWinHasKeyFocus(_window)) alpha /= 2;
        _paintedAlpha = alpha;
        ZWinRepaint(_window, _format.width, _format.height, reinterpret_cast<const unsigned char*>(_pixels.data()),
                    alpha);
    }
    ++_frames;
    const std::int64_t now = ZTimeNow();
    if (now - _fpsInterval.start > 2000000) {
        _fpsInterval.start = now;
        ZLOGC('W', L"Window(" << _rect.left << L", " << _rect.top << L"), " << _frames / 2 << L"fps");
        _frames = 0;
    }
}

void ZWindowNode::calcMinSize(int& minWidth, int& minHeight) {
    minWidth = std::max(minWidth, _minWidth);
    minHeight = std::max(minHeight, _minHeight);
}

// ---- responses, notifications and the timer ------------------------------------

void ZWindowNode::_respond(int flags, IZInputHandler* handler) {
    if (flags & 2) {
        ZAttributeStack stack(_instance, _commandEngine->getNotifyListener());
        stack.set(L"path", _path);
        stack.push(_notify);
        if (update(stack)) flags |= 1;
    }
    if (flags & 1) {
        const std::int64_t now = ZTimeNow();
        if (now - _lastRender > kRenderPeriod) {
            _lastRender = now;
            ZImageStack stack;
            render(stack);
        } else {
            _redrawPending = true;
            _armTimer();
        }
    }
    if (flags & 4) {
        _mouseCaptureHandler = handler;
        ZWARNASSERT(_mouseCaptureHandler);
        ZWinMouseCapture(_window);
    }
    if (flags & 8) {
        ZWinMouseRelease(_window);
        _mouseCaptureHandler = nullptr;
    }
}

void ZWindowNode::onNotification(int code, std::int64_t sentTime) {
    if (code < 0 || code > 2) {
        ZLOG(L"WARNING Unrecognized notification #" << code << L", ignoring");
        return;
    }
    if (sentTime < _lastNotified[code]) return;
    _lastNotified[code] = ZTimeNow();
    _respond(code);
}

void ZWindowNode::_armTimer() {
    if (_window && !_timer) _timer = ZTimerOpen(kRenderPeriod, this);
}

void ZWindowNode::onTimer(ZTimer* timer) {
    ZWARNASSERT(timer == _timer);
    // A window with nothing to draw sleeps until something asks for a redraw
    // or a fade: an idle client wakes only for work.
    if (!_fadeInStart && !_fadeOutStart && !_redrawPending) {
        ZTimerClose(_timer);
        _timer = nullptr;
        return;
    }
    _lastRender = 0;
    _respond(1);
    _redrawPending = false;
}

// ---- commands ---------------------------------------------------------------------

void ZWindowNode::open() {
    invariantTest();
    _commandEngine->executeCommand(_onOpen, this, 0);
}

void ZWindowNode::close() {
    invariantTest();
    _commandEngine->executeCommand(_onClose, this, 0);
}

void ZWindowNode::flash() {
    invariantTest();
    if (!_window) {
        ZLOG(L"WARNING flash( ) before window open, ignoring.");
        return;
    }
    if (ZWinIsVisible(_window)) ZWinFlash(_window);
    else open();
}

void ZWindowNode::fadeIn(std::int64_t duration) {
    invariantTest();
    if (_window) ZWinSetForeground(_window);
    // A window fading out, or hidden, rises from where its opacity stands;
    // an opaque one only comes to the front.
    if (_alpha != 0 && !_fadeOutStart) return;
    const std::int64_t now = ZTimeNow();
    duration = std::max<std::int64_t>(duration, 1);
    _fadeOutStart = _fadeOutEnd = 0;
    _fadeInStart = now - static_cast<std::int64_t>(_alpha) * duration / 255;
    _fadeInEnd = _fadeInStart + duration;
    if (_window) ZWinShow(_window);
    _armTimer();
}

void ZWindowNode::fadeOut(std::int64_t duration) {
    invariantTest();
    if (_alpha == 0) return;
    const std::int64_t now = ZTimeNow();
    _fadeInStart = _fadeInEnd = 0;
    _fadeOutStart = now;
    _fadeOutEnd = now + std::max<std::int64_t>(duration, 1);
    _armTimer();
    _respond(1);
}

void ZWindowNode::fit() {
    invariantTest();
    // A window never updated (a Foreach prototype) has nothing to size or draw.
    if (!_window) {
        ZLOG(L"WARNING Trying to 'fit' window '" << _path << L"' that was never opened, ignoring.");
        return;
    }
    int width = 0, height = 0;
    ZTemplateNode::calcMinSize(width, height);
    _rect.right = _rect.left + std::clamp(width, 1, kLargestSide);
    _rect.bottom = _rect.top + std::clamp(height, 1, kLargestSide);
    _respond(1);
}

void ZWindowNode::maximize() {
    invariantTest();
    if (!_window) return;
    if (ZWinIsMaximized(_window)) ZWinRestore(_window);
    else ZWinMaximize(_window);
    ZWinGetScreenPosition(_window, _rect);
    _respond(1);
}

void ZWindowNode::minimize() {
    invariantTest();
    if (!_window) return;
    if (ZWinIsMinimized(_window)) ZWinRestore(_window);
    else ZWinMinimize(_window);
    ZWinGetScreenPosition(_window, _rect);
    _respond(1);
}

void ZWindowNode::forgetHandlers() {
    invariantTest();
    std::fill(_handlers.begin(), _handlers.end(), nullptr);
    if (_mouseCaptureHandler && _window) ZWinMouseRelease(_window);
    _mouseCaptureHandler = nullptr;
    _mouseover = nullptr;
    _keyFocus = nullptr;
    _lastRender = 0;
    if (_window) _respond(1);
}

void ZWindowNode::forgetHandlersAbove(ZTemplateNode* node) {
    for (ZTemplateNode* up = node; up; up = up->getParent()) {
        if (ZWindowNode* window = dynamic_cast<ZWindowNode*>(up)) {
            window->forgetHandlers();
            return;
        }
    }
}

void ZWindowNode::forgetHandlersInto(ZTemplateNode* subtree) {
    invariantTest();
    std::unordered_set<IZInputHandler*> doomed;
    for (ZTemplateNode* node = subtree; node; node = node->getNext(subtree)) {
        if (IZInputHandler* handler = dynamic_cast<IZInputHandler*>(node)) doomed.insert(handler);
    }
    if (doomed.empty()) return;
    for (IZInputHandler*& handler : _handlers)
        if (handler && doomed.count(handler)) handler = nullptr;
    if (doomed.count(_mouseCaptureHandler)) {
        if (_window) ZWinMouseRelease(_window);
        _mouseCaptureHandler = nullptr;
    }
    if (doomed.count(_mouseover)) _mouseover = nullptr;
    if (doomed.count(_keyFocus)) _keyFocus = nullptr;
    // Usually an update pass is running and its redraw follows; the timer
    // redraws when none does.
    _redrawPending = true;
    _armTimer();
}

void ZWindowNode::forgetSubtree(ZTemplateNode* subtree) {
    if (!subtree) return;
    for (ZTemplateNode* up = subtree->getParent(); up; up = up->getParent()) {
        if (ZWindowNode* window = dynamic_cast<ZWindowNode*>(up)) {
            window->forgetHandlersInto(subtree);
            return;
        }
    }
}

// ---- input ---------------------------------------------------------------------------

IZInputHandler* ZWindowNode::_getHandler(int x, int y) const {
    if (x < 0 || x > _format.width - 1 || y < 0 || y > _format.height - 1) return nullptr;
    const std::size_t index = static_cast<std::size_t>(y) * _format.width + x;
    return index < _handlers.size() ? _handlers[index] : nullptr;
}

IZInputHandler* ZWindowNode::_target(int x, int y) const {
    return _mouseCaptureHandler ? _mouseCaptureHandler : _getHandler(x, y);
}

int ZWindowNode::_updateMouseover(int x, int y) {
    IZInputHandler* handler = _getHandler(x, y);
    if (handler == _mouseover) return 0;
    const int left = _mouseover ? _mouseover->onMouseoverChanged(false) : 0;
    _mouseover = handler;
    const int entered = handler ? handler->onMouseoverChanged(true) : 0;
    return std::max(left, entered);
}

int ZWindowNode::_updateKeyFocus(int x, int y) {
    IZInputHandler* handler = _getHandler(x, y);
    if (handler == this) handler = nullptr;
    if (handler == _keyFocus) return 0;
    const int lost = _keyFocus ? _keyFocus->onKeyboardFocusChanged(false) : 0;
    _keyFocus = handler;
    const int gained = handler ? handler->onKeyboardFocusChanged(true) : 0;
    return std::max(lost, gained);
}

int ZWindowNode::getNCHITTEST(ZWin*, int x, int y) {
    IZInputHandler* target = _target(x, y);
    _respond(_updateMouseover(x, y), target);
    // The hover change may have redrawn; the target is looked up again.
    target = _target(x, y);
    if (!target || target == this) return ZHT_CAPTION;
    return target->getNCHITTEST(_window, x, y);
}

int ZWindowNode::_routeMouse(int (IZWinListener::*operation)(ZWin*, int, int), ZWin* window, int x, int y) {
    IZInputHandler* target = _target(x, y);
    const int result = (target && target != this) ? (target->*operation)(window, x, y) : 0;
    return result;
}

int ZWindowNode::onMouseMove(ZWin* window, int x, int y) {
    // Our platform asks the hit test on presses only, so the hover follows
    // every move here as well.
    _respond(_updateMouseover(x, y), _target(x, y));
    IZInputHandler* target = _target(x, y);
    _respond(_routeMouse(&IZWinListener::onMouseMove, window, x, y), target);
    return 0;
}

int ZWindowNode::onLButtonUp(ZWin* window, int x, int y) {
    IZInputHandler* target = _target(x, y);
    _respond(_routeMouse(&IZWinListener::onLButtonUp, window, x, y), target);
    return 0;
}

int ZWindowNode::onLButtonDblClk(ZWin* window, int x, int y) {
    IZInputHandler* target = _target(x, y);
    _respond(_routeMouse(&IZWinListener::onLButtonDblClk, window, x, y), target);
    return 0;
}

int ZWindowNode::onRButtonDown(ZWin* window, int x, int y) {
    IZInputHandler* target = _target(x, y);
    _respond(_routeMouse(&IZWinListener::onRButtonDown, window, x, y), target);
    return 0;
}

int ZWindowNode::onLButtonDown(ZWin* window, int x, int y) {
    IZInputHandler* target = _target(x, y);
    const int result = _routeMouse(&IZWinListener::onLButtonDown, window, x, y);
    const int focus = _updateKeyFocus(x, y);
    _respond(std::max(result, focus), target);
    return 0;
}

int ZWindowNode::onMouseLeft(ZWin*) {
    if (_mouseover) {
        IZInputHandler* left = _mouseover;
        _mouseover = nullptr;
        _respond(left->onMouseoverChanged(false));
    }
    return 0;
}

int ZWindowNode::onKeyUp(ZWin* window, int key) {
    _respond(_keyFocus ? _keyFocus->onKeyUp(window, key) : 0, _keyFocus);
    return 0;
}

int ZWindowNode::onKeyPressed(ZWin* window, int character) {
    _respond(_keyFocus ? _keyFocus->onKeyPressed(window, character) : 0, _keyFocus);
    return 0;
}

int ZWindowNode::onPaste(ZWin* window, const std::wstring& text) {
    _respond(_keyFocus ? _keyFocus->onPaste(window, text) : 0, _keyFocus);
    return 0;
}

int ZWindowNode::onKeyDown(ZWin* window, int key) {
    if (_keyFocus) {
        const int result = _keyFocus->onKeyDown(window, key);
        if (result) {
            _respond(result, _keyFocus);
            return 0;
        }
    }
    if (key != 9 || _children.empty()) return 0;
    // Tab: the next node in tree order that takes the focus, wrapping round.
    ZTemplateNode* start = dynamic_cast<ZTemplateNode*>(_keyFocus);
    ZTemplateNode* node = start;
    while (true) {
        node = node ? node->getNext(this) : nullptr;
        if (!node) node = _children.front();
        if (node == start) return 0;
        IZInputHandler* handler = dynamic_cast<IZInputHandler*>(node);
        if (handler && handler != this && handler->acceptsKeyboardFocus()) {
            const int lost = _keyFocus ? _keyFocus->onKeyboardFocusChanged(false) : 0;
            _keyFocus = handler;
            const int gained = handler->onKeyboardFocusChanged(true);
            _respond(std::max(lost, gained));
            return 0;
        }
        // Without a focus the walk is the first child alone.
        if (!start) return 0;
    }
}

int ZWindowNode::onReposition(ZWin*, ZRect* rect) {
    if (!rect) return 0;
    const bool resized =
        rect->right - rect->left != _rect.right - _rect.left || rect->bottom - rect->top != _rect.bottom - _rect.top;
    _rect = *rect;
    if (resized) _respond(1);
    return 0;
}

int ZWindowNode::getMinSize(ZWin*, int* minWidth, int* minHeight) {
    if (minWidth && minHeight) calcMinSize(*minWidth, *minHeight);
    return 0;
}

int ZWindowNode::onClose(ZWin*) {
    close();
    return 0;
}

int ZWindowNode::onShow(ZWin*) {
    _respond(1);
    return 0;
}
