#include "ZButtonNode.h"

#include <algorithm>

#include "ZImageStack.h"
#include "ZImageTools.h"
#include "ZNodeHelpers.h"
#include "ZPortable_Text.h"

ZButtonNode::ZButtonNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent)
    : ZTemplateNode(instance, commandEngine, parent) {}

void ZButtonNode::_issue(const std::wstring& command) { _commandEngine->executeCommand(command, this, 0); }

bool ZButtonNode::_postChildUpdate(ZAttributeStack& stack) {
    bool changed = false;
    auto read = [&](const wchar_t* expression, std::wstring& field) {
        const std::wstring value = stack.eval(expression);
        changed |= value != field;
        field = value;
    };
    read(L"$command", _command);
    read(L"$downcommand", _downCommand);
    read(L"$upcommand", _upCommand);
    read(L"$dblclkcommand", _dblClkCommand);
    const bool disabled = stack.test(L"$disabled");
    changed |= disabled != _disabled;
    _disabled = disabled;
    read(L"$type", _type);
    read(L"$text", _text);
    changed |= _font.update(stack.eval(L"$font"));
    changed |= _mouseoverFont.update(stack.eval(L"$mouseoverfont"));
    const std::wstring src = stack.eval(L"$src");
    if (!ZCaseEquals(src, _src)) {
        _src = src;
        ZNodeImageFrameSize(_instance, _src, _width, _height);
        changed = true;
    }
    return changed;
}

void ZButtonNode::calcMinSize(int& minWidth, int& minHeight) {
    minWidth = std::max(minWidth, _width);
    minHeight = std::max(minHeight, _height);
    ZTemplateNode::calcMinSize(minWidth, minHeight);
}

bool ZButtonNode::_preChildRender(ZImageStack& stack) {
    _pushedTarget = _width && _height;
    if (_pushedTarget) stack.pushTarget(ZRect{0, 0, _width, _height});
    stack.setInputHandler(this);
    if (!_src.empty()) {
        const int column = _disabled ? 2 : (_mouseover ? 1 : 0);
        ZImageFormat format;
        ZRect rect;
        if (const unsigned char* pixels = ZImageTools_instanceReadOpen(_instance, _src, format, rect, column,
                                                                       _pushed ? 1 : 0)) {
            if (!ZRectEmpty(rect)) stack.drawBitmap(format, pixels, rect, 0);
            ZImageTools_instanceReadClose(_instance, _src);
        }
    }
    if (!_text.empty()) {
        int width = 0, height = 0;
        stack.getDimensions(width, height);
        ZFont& font = _mouseover ? _mouseoverFont : _font;
        ZRect rect{0, 0, width, height};
        const int lineHeight = font.getHeight();
        if (height > lineHeight) {
            rect.top = (height - lineHeight) / 2;
            rect.bottom = rect.top + lineHeight;
        }
        stack.drawText(_text, font, rect);
    }
    return true;
}

void ZButtonNode::_postChildRender(ZImageStack& stack) {
    if (_pushedTarget) stack.pop();
}

int ZButtonNode::onLButtonDown(ZWin*, int, int) {
    if (!_disabled && !ZCaseEquals(_type, L"push")) _issue(_downCommand);
    return 0;
}

int ZButtonNode::onLButtonUp(ZWin*, int, int) {
    if (_disabled) return 0;
    if (ZCaseEquals(_type, L"push")) {
        _pushed = !_pushed;
        _issue(_pushed ? _downCommand : _upCommand);
        return 1;
    }
    _issue(_command);
    _issue(_upCommand);
    return 0;
}

int ZButtonNode::onLButtonDblClk(ZWin*, int, int) {
    if (!_disabled) _issue(_dblClkCommand);
    return 0;
}

int ZButtonNode::onMouseoverChanged(bool entered) {
    _mouseover = entered;
    return 1;
}
