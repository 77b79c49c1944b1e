#include "ZHistoryNode.h"

#include <algorithm>
#include <climits>
#include <cwchar>

#include "ZHTTPHeaders.h"
#include "ZImageStack.h"
#include "ZInstance.h"
#include "ZNodeHelpers.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"

namespace {

// Layout stops growing here, far below where rectangle arithmetic overflows.
constexpr std::int64_t kMaxLayoutHeight = INT_MAX / 4;

const wchar_t* const kCutMark = L"...";

void appendCodePoint(std::wstring& out, std::uint32_t c) {
    if (c < 0x10000) {
        out += static_cast<wchar_t>(c);
    } else {
        c -= 0x10000;
        out += static_cast<wchar_t>(0xD800 + (c >> 10));
        out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
    }
}

// Strict UTF-8: each maximal ill-formed sequence (overlong forms, surrogates
// and code points above U+10FFFF included) becomes one U+FFFD.
std::wstring decodeUTF8(const std::string& bytes) {
    std::wstring out;
    out.reserve(bytes.size());
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (c < 0x80) {
            out += static_cast<wchar_t>(c);
            ++i;
            continue;
        }
        int need = 0;
        std::uint32_t point = 0;
        unsigned char low = 0x80, high = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            need = 1, point = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2, point = c & 0x0F;
            if (c == 0xE0) low = 0xA0;
            if (c == 0xED) high = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3, point = c & 0x07;
            if (c == 0xF0) low = 0x90;
            if (c == 0xF4) high = 0x8F;
        } else {
            out += L'\xFFFD';
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        int taken = 0;
        for (; taken < need && j < n; ++taken, ++j) {
            const unsigned char d = static_cast<unsigned char>(bytes[j]);
            if (d < low || d > high) break;
            point = (point << 6) | (d & 0x3F);
            low = 0x80, high = 0xBF;
        }
        if (taken < need) out += L'\xFFFD';
        else appendCodePoint(out, point);
        i = j;
    }
    return out;
}

// Cuts the text to what the view shows of one message, marking the cut;
// true when something was cut.
bool limitShown(std::wstring& text) {
    const std::size_t keep = ZHistoryNode::kMaxMessageUnits - std::wcslen(kCutMark);
    std::size_t end = text.size() > ZHistoryNode::kMaxMessageUnits ? keep : text.size();
    int lines = 1;
    for (std::size_t i = 0; i < end; ++i) {
        if (text[i] != L'\r' && text[i] != L'\n') continue;
        if (lines == ZHistoryNode::kMaxMessageLines) {
            end = i;
            break;
        }
        ++lines;
        if (text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') ++i;  // CR LF is one break
    }
    if (end >= text.size()) return false;
    // A surrogate pair stays whole.
    if (end > 0 && text[end - 1] >= 0xD800 && text[end - 1] <= 0xDBFF) --end;
    text.resize(end);
    text += kCutMark;
    return true;
}

bool inside(const ZRect& rect, int x, int y) {
    return rect.left <= x && x <= rect.right && rect.top <= y && y <= rect.bottom;
}

}  // namespace

ZHistoryNode::ZHistoryNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent)
    : ZTemplateNode(instance, commandEngine, parent) {}

void ZHistoryNode::calcMinSize(int& minWidth, int& minHeight) {
    minWidth = std::max(minWidth, 100);
    minHeight = std::max(minHeight, 100);
    ZTemplateNode::calcMinSize(minWidth, minHeight);
}

// ---- update ------------------------------------------------------------------------

bool ZHistoryNode::_postChildUpdate(ZAttributeStack& stack) {
    bool changed = false;
    _listener = stack.getNotifyListener();

    const std::wstring src = stack.eval(L"$src");
    if (!ZCaseEquals(src, _src)) {
        if (!_src.empty()) _instance->unwatch(_src, _listener, ZNODE_UPDATE);
        _src = src;
        if (!_src.empty()) _instance->watch(_src, _listener, ZNODE_UPDATE);
        changed = true;
    }

    bool fonts = _baseFont.update(stack.eval(L"$basefont"));
    fonts |= _localTitleFont.update(stack.eval(L"$localtitlefont"));
    fonts |= _remoteTitleFont.update(stack.eval(L"$remotetitlefont"));
    if (fonts) {
        // Other letters measure differently: lay out again.
        changed = true;
        _layoutWidth = 0;
    }

    const std::wstring onDblClk = stack.eval(L"$ondblclk");
    changed |= onDblClk != _onDblClk;
    _onDblClk = onDblClk;

    const int frac = stack.calc(L"$vscrollfrac");
    changed |= frac != _vscrollFrac;
    _vscrollFrac = frac;

    std::uint64_t serial = _nextSerial;
    std::string bytes;
    while (!_src.empty() && _instance->read(_src, serial, bytes)) {
        _nextSerial = serial + 1;
        const int index = static_cast<int>(serial++);
        ZHTTPHeaders message;
        if (message.deserialize(bytes) <= 0) continue;
        changed = true;
        std::wstring sender = message.get(L"From");
        const bool local = ZCaseEquals(sender, _instance->get(L"Local_User_GUID"));
        sender = ZNodeBuddyName(sender);
        const std::wstring text = message.hasContent() ? decodeUTF8(message.getContent(0)) : std::wstring();
        bool cut = limitShown(sender);
        std::wstring line = sender + L": " + text;
        cut |= limitShown(line);
        if (cut) {
            ZLOG(L"WARNING Chat message #" << index << L" of '" << _src << L"' is too long to show whole, showing its first "
                                           << static_cast<int>(kMaxMessageUnits) << L" characters and " << kMaxMessageLines
                                           << L" lines.");
        }
        _blocks.push_back(Block{ZRect{}, line, index, &_baseFont, line});
        _blocks.push_back(Block{ZRect{}, sender, index, local ? &_localTitleFont : &_remoteTitleFont, sender});
        _commandEngine->executeCommand(L"(" + stack.eval(L"$windowpath") + L"?flash)", this, 0);
    }
    _dropOldest();
    return changed;
}

void ZHistoryNode::_dropOldest() {
    const std::size_t messages = _blocks.size() / 2;
    if (messages <= kMaxMessages) return;
    const std::size_t drop = 2 * (messages - kMaxMessages);
    // What stays keeps its layout, moved up by what went.
    if (_laidOut > drop) {
        const int shift = _blocks[drop].rect.top;
        for (std::size_t i = drop; i < _laidOut; ++i) {
            _blocks[i].rect.top -= shift;
            _blocks[i].rect.bottom -= shift;
        }
        _layoutHeight -= shift;
        _laidOut -= drop;
    } else {
        _laidOut = 0;
        _layoutHeight = 0;
    }
    _blocks.erase(_blocks.begin(), _blocks.begin() + static_cast<std::ptrdiff_t>(drop));
}

// ---- render ------------------------------------------------------------------------

void ZHistoryNode::_layout(int width) {
    if (width != _layoutWidth) {
        _laidOut = 0;
        _layoutHeight = 0;
    }
    std::int64_t y = _layoutHeight;
    for (std::size_t i = _laidOut; i + 1 < _blocks.size(); i += 2) {
        Block& line = _blocks[i];
        Block& name = _blocks[i + 1];
        const int top = static_cast<int>(std::min(y, kMaxLayoutHeight));
        _makeRoomForName(line, name);
        line.rect = ZRect{0, top, width, top};
        _baseFont.measureText(line.rect, line.shown);
        line.rect.right = width;
        // Every name measures with the local title font, so names line up
        // whichever font draws them.
        name.rect = ZRect{0, top, width, top};
        _localTitleFont.measureText(name.rect, name.shown);
        y = std::max<std::int64_t>(line.rect.bottom, top);
    }
    _laidOut = _blocks.size() - _blocks.size() % 2;
    _layoutWidth = width;
    _layoutHeight = static_cast<int>(std::min(y, kMaxLayoutHeight));
}

// The name is drawn in its title font over the line. Drawn in the base font
// too, both would show wherever the two fonts' widths differ; so the line
// keeps the name's place blank (base-font blanks at least as wide as the
// name and its colon in either title font) and the colon goes with the name.
void ZHistoryNode::_makeRoomForName(Block& line, Block& name) {
    const std::wstring head = name.text + L":";
    line.shown = line.text;
    name.shown = name.text;
    if (line.text.compare(0, head.size(), head) != 0) return;
    constexpr int kWide = 1 << 20;
    auto measure = [](ZFont& font, const std::wstring& text) {
        ZRect r{0, 0, kWide, 0};
        font.measureText(r, text);
        return r.right - r.left;
    };
    const int nameWidth = std::max(measure(_localTitleFont, head), measure(_remoteTitleFont, head));
    // Blanks between two marks, so none is lost at either end of a line.
    const int kProbe = 16;
    const int blank = (measure(_baseFont, L"x" + std::wstring(kProbe, L' ') + L"x") - measure(_baseFont, L"xx")) / kProbe;
    const std::size_t blanks =
        blank > 0 ? static_cast<std::size_t>((nameWidth + blank - 1) / blank) : head.size() * 2;
    line.shown = std::wstring(std::min<std::size_t>(blanks, kMaxMessageUnits), L' ') + line.text.substr(head.size());
    name.shown = head;
}

bool ZHistoryNode::_preChildRender(ZImageStack& stack) {
    int width = 0, height = 0;
    stack.getDimensions(width, height);
    stack.getPosition(_x, _y);
    if (width > 0 && height > 0 && !_blocks.empty()) {
        _layout(width);
        // Fractions outside 0..1000 stop at the ends.
        const std::int64_t overflow = std::max(0, _layoutHeight - height);
        const std::int64_t frac = std::clamp(_vscrollFrac, 0, 1000);
        _offset = static_cast<int>(frac * overflow / 1000);
        for (const Block& block : _blocks) {
            const ZRect drawn{block.rect.left, block.rect.top - _offset, block.rect.right, block.rect.bottom - _offset};
            if (drawn.bottom < 0 || drawn.top > height) continue;  // nothing of it shows
            stack.drawText(block.shown, *block.font, drawn);
            if (block.index == _selected) stack.invertRect(drawn);
        }
    } else {
        _offset = 0;
    }
    stack.setInputHandler(this);
    return true;
}

// ---- input -------------------------------------------------------------------------

// Clicks meet the blocks where they were drawn, scrolled.
const ZHistoryNode::Block* ZHistoryNode::_getRegion(int x, int y) const {
    x -= _x;
    y = y - _y + _offset;
    for (const Block& block : _blocks)
        if (inside(block.rect, x, y)) return &block;
    return nullptr;
}

int ZHistoryNode::onLButtonDown(ZWin*, int x, int y) {
    const Block* block = _getRegion(x, y);
    const int selected = block ? block->index : -1;
    const bool changed = selected != _selected;
    _selected = selected;
    return changed ? 1 : 0;
}

int ZHistoryNode::onLButtonUp(ZWin*, int, int) { return 0; }

int ZHistoryNode::onLButtonDblClk(ZWin* window, int x, int y) {
    const int result = onLButtonDown(window, x, y);
    if (!_onDblClk.empty()) _commandEngine->executeCommand(_onDblClk, this, 0);
    return result;
}

int ZHistoryNode::onMouseMove(ZWin*, int, int) { return 0; }
