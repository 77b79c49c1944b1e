#include "ZBuddyListNode.h"

#include <algorithm>

#include "ZImage.h"
#include "ZImageStack.h"
#include "ZImageTools.h"
#include "ZInstance.h"
#include "ZNodeHelpers.h"
#include "ZPortable_Parse.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"

namespace {

const wchar_t* const kListName = L"Local_Buddy_List";

bool inside(const ZRect& rect, int x, int y) {
    return rect.left <= x && x <= rect.right && rect.top <= y && y <= rect.bottom;
}

ZRect shrunk(const ZRect& rect, int by) { return ZRect{rect.left + by, rect.top + by, rect.right - by, rect.bottom - by}; }


}  // namespace

bool ZBuddyListNode::Region::operator==(const Region& other) const {
    return picture == other.picture && ZCaseEquals(buddy, other.buddy) && ZCaseEquals(list, other.list);
}

ZBuddyListNode::ZBuddyListNode(ZInstance* instance, IZCommandEngine* commandEngine, ZTemplateNode* parent)
    : ZTemplateNode(instance, commandEngine, parent) {}

void ZBuddyListNode::calcMinSize(int& minWidth, int& minHeight) {
    minWidth = std::max(minWidth, 100);
    minHeight = std::max(minHeight, 100);
    ZTemplateNode::calcMinSize(minWidth, minHeight);
}

// ---- update ------------------------------------------------------------------------

bool ZBuddyListNode::_postChildUpdate(ZAttributeStack& stack) {
    bool changed = false;
    _listener = stack.getNotifyListener();
    const std::wstring listText = _instance->get(kListName);
    if (listText != _buddyListText) {
        changed = true;
        _buddyListText = listText;
        ZParseList(_buddies, _buddyListText);
        _addWatches();
    }
    if (changed) _removeWatches();
    if (!_watchingList) {
        _watchingList = true;
        _instance->watch(kListName, _listener, ZNODE_UPDATE);
    }
    changed |= _titleFont.update(stack.eval(L"$titlefont"));
    changed |= _normalFont.update(stack.eval(L"$normalfont"));
    changed |= _mouseoverFont.update(stack.eval(L"$mouseoverfont"));
    changed |= _offlineFont.update(stack.eval(L"$offlinefont"));
    const std::wstring selected = stack.eval(L"$selectedBGColor");
    const std::wstring mouseover = stack.eval(L"$mouseoverBGColor");
    changed |= selected != _selectedBGColor || mouseover != _mouseoverBGColor;
    _selectedBGColor = selected;
    _mouseoverBGColor = mouseover;
    return changed;
}

void ZBuddyListNode::_addWatches() {
    for (const std::wstring& buddy : _buddies) {
        if (std::find(_watched.begin(), _watched.end(), buddy) != _watched.end()) continue;
        _instance->watch(buddy + L"_Image", _listener, ZNODE_REDRAW);
        _instance->watch(buddy + L"_Online", _listener, ZNODE_REDRAW);
        // Presence shows "..." until one of the two is known.
        _instance->watch(buddy + L"_Offline", _listener, ZNODE_REDRAW);
        _watched.push_back(buddy);
    }
}

void ZBuddyListNode::_removeWatches() {
    const std::list<std::wstring> watched = _watched;
    for (const std::wstring& buddy : watched) {
        if (std::find(_buddies.begin(), _buddies.end(), buddy) != _buddies.end()) continue;
        _instance->unwatch(buddy + L"_Image", _listener, ZNODE_REDRAW);
        _instance->unwatch(buddy + L"_Online", _listener, ZNODE_REDRAW);
        _instance->unwatch(buddy + L"_Offline", _listener, ZNODE_REDRAW);
        _watched.remove(buddy);
    }
}

// ---- render ------------------------------------------------------------------------

bool ZBuddyListNode::_preChildRender(ZImageStack& stack) {
    int width = 0, height = 0;
    stack.getDimensions(width, height);
    stack.getPosition(_x, _y);
    if (width >= 1 && height >= 1) {
        _regions.clear();
        _drawList(stack, ZRect{6, 6, width - 6, height}, L"My Buddies", kListName, _buddies);
    }
    stack.setInputHandler(this);
    return true;
}

// The picture of a row: in colour, or the grey copy, made from the colour
// one when it is missing or older than the colour one.
bool ZBuddyListNode::_drawPicture(ZImageStack& stack, const std::wstring& buddy, bool colour, ZRect& picture) {
    const std::wstring image = buddy + L"_Image";
    const std::wstring grey = buddy + L"_Image_BW";
    std::wstring name = colour ? image : grey;
    if (!colour) {
        // Any write of new pixels stamps the picture (an unchanged format
        // does not stamp its companion); so does a colour read, which only
        // costs one needless conversion when the buddy next shows grey.
        const bool stale = _instance->isSet(image) &&
                           (!_instance->isSet(grey) || _instance->getTimestamp(image) > _instance->getTimestamp(grey));
        ZImageFormat format;
        ZRect rect;
        if (stale) {
            if (const unsigned char* pixels = ZImageTools_instanceReadOpen(_instance, image, format, rect, 0, 0)) {
                std::string bytes;
                const ZImageFormat whole = format;
                if (whole.type == ZIT_RGB24 || whole.type == ZIT_RGBA32) ZImageConvert(whole, pixels, ZIT_GRAY8, bytes);
                ZImageTools_instanceReadClose(_instance, image);
                if (!bytes.empty()) {
                    ZImageTools_instanceWrite(_instance, grey, ZImageFormat{ZIT_GRAY8, whole.width, whole.height},
                                              reinterpret_cast<const unsigned char*>(bytes.data()));
                }
            }
        }
    }
    ZImageFormat format;
    ZRect rect;
    const unsigned char* pixels = ZImageTools_instanceReadOpen(_instance, name, format, rect, 0, 0);
    if (!pixels) return false;  // no picture, or a grey one that cannot be read back: the row goes without
    picture = ZNodeNormalised(shrunk(picture, 2));
    stack.pushTarget(picture);
    stack.drawBitmap(format, pixels, rect, ZIC_ASPECT);
    stack.pop();
    ZImageTools_instanceReadClose(_instance, name);
    return true;
}

void ZBuddyListNode::_drawList(ZImageStack& stack, ZRect area, const std::wstring& title, const std::wstring& list,
                               const std::vector<std::wstring>& buddies) {
    ZRect measured{0, 0, 0, 0};
    _titleFont.measureText(measured, title);
    const int h = measured.bottom - measured.top;

    const ZRect titleRect = ZNodeNormalised(ZRect{area.left + 2 * h, area.top, area.right - 2 * h, area.top + h});
    stack.pushTarget(titleRect);
    area.top += stack.drawText(title, _titleFont);
    stack.pop();
    _regions.push_back(Region{titleRect, L"", list, false});

    const ZColor selectedColor(_selectedBGColor.empty() ? std::wstring(L"#ECE9D8") : _selectedBGColor);
    const ZColor hoverColor(_mouseoverBGColor.empty() ? std::wstring(L"#C1D2EE") : _mouseoverBGColor);
    const ZColor frameColor(L"#000000FF");
    const ZColor talkColor(L"#FFFF00FF");

    std::vector<std::wstring> online, offline;
    for (const std::wstring& buddy : buddies) (_instance->test(buddy + L"_Online") ? online : offline).push_back(buddy);
    std::sort(online.begin(), online.end());
    std::sort(offline.begin(), offline.end());
    online.insert(online.end(), offline.begin(), offline.end());

    const int half = h / 2;
    // A picture reaches half a row above its row: the first row starts that
    // far below the heading, so its picture does not cover the heading.
    area.top += half + 1;
    for (std::size_t i = 0; i < online.size(); ++i) {
        const std::wstring& buddy = online[i];
        const int top = area.top;
        const ZRect text{area.left + 2 * h - 1, top, area.right - 2 * h + 1, top + h};
        ZRect picture = (i % 2 == 0) ? ZRect{area.left - 1, top - half - 1, area.left + 2 * h, top + h + half + 1}
                                     : ZRect{area.right - 2 * h, top - half - 1, area.right + 1, top + h + half + 1};
        _regions.push_back(Region{text, buddy, list, false});
        _regions.push_back(Region{picture, buddy, list, true});
        const bool isOnline = _instance->test(buddy + L"_Online");
        const bool isOffline = _instance->test(buddy + L"_Offline");
        ZFont* font = isOnline ? &_normalFont : &_offlineFont;

        const bool hovered = _mouseover.buddy == buddy && _mouseover.list == list;
        const bool selected = !hovered && _selected.buddy == buddy && _selected.list == list;
        if (hovered && !_mouseover.picture) font = &_mouseoverFont;
        if (hovered || selected) {
            const ZColor& colour = hovered ? hoverColor : selectedColor;
            stack.fillRect(ZNodeNormalised(picture), colour);
            stack.fillRect(ZNodeNormalised(text), colour);
            stack.drawRect(ZNodeNormalised(picture), frameColor);
            stack.drawRect(ZNodeNormalised(text), frameColor);
        }

        std::wstring name = ZNodeBuddyName(buddy);
        if (!isOnline && !isOffline) name += L"...";
        stack.pushTarget(ZNodeNormalised(text));
        const int rowHeight = stack.drawText(name, *font);
        stack.pop();

        const bool colour = isOnline || _mouseover.buddy == buddy;
        _drawPicture(stack, buddy, colour, picture);

        if (isOnline && _mouseover.picture && _mouseover.buddy == buddy && _mouseover.list == list &&
            _instance->test(L"Audio_Capture_Online")) {
            stack.drawRect(ZNodeNormalised(picture), talkColor);
        }
        area.top += rowHeight;
    }
}

// ---- input -------------------------------------------------------------------------

const ZBuddyListNode::Region* ZBuddyListNode::_getRegion(int x, int y) const {
    x -= _x;
    y -= _y;
    for (const Region& region : _regions)
        if (inside(region.rect, x, y)) return &region;
    return nullptr;
}

int ZBuddyListNode::_select(int x, int y) {
    const Region* region = _getRegion(x, y);
    const Region chosen = region ? *region : Region{};
    const bool changed = !(chosen == _selected);
    _selected = chosen;
    return changed ? 1 : 0;
}

int ZBuddyListNode::onMouseMove(ZWin*, int x, int y) {
    const Region* region = _getRegion(x, y);
    const Region over = region ? *region : Region{};
    const bool changed = !(over == _mouseover);
    _mouseover = over;
    return changed ? 1 : 0;
}

int ZBuddyListNode::onMouseoverChanged(bool entered) {
    if (!entered && !_mouseover.buddy.empty()) {
        _mouseover = Region{};
        return 1;
    }
    return 0;
}

int ZBuddyListNode::onLButtonDown(ZWin*, int x, int y) {
    const int result = _select(x, y);
    if (!_selected.buddy.empty() && _selected.picture && _instance->test(_selected.buddy + L"_Online")) {
        _commandEngine->executeCommand(L"(/buddies/" + _selected.buddy + L"?talk", this, 0);
    }
    return result;
}

int ZBuddyListNode::onLButtonUp(ZWin*, int, int) { return 0; }

int ZBuddyListNode::onLButtonDblClk(ZWin*, int x, int y) {
    const int result = _select(x, y);
    if (!_selected.buddy.empty()) {
        const std::wstring& buddy = _selected.buddy;
        _commandEngine->executeCommand(_selected.picture ? L"(/buddies/" + buddy + L"?starttalkhandsfree)"
                                                         : L"(/skin/foreach_chat/window_" + buddy + L"?open",
                                       this, 0);
    }
    return result;
}

int ZBuddyListNode::onRButtonDown(ZWin*, int x, int y) {
    const int result = _select(x, y);
    if (_selected.buddy.empty()) return result;
    const std::wstring& b = _selected.buddy;
    const std::wstring menu = L"Talk(/buddies/" + b + L"?starttalkhandsfree);Call(/buddies/" + b +
                              L"?call);Chat(/skin/foreach_chat/window_" + b + L"?open);Send File(/buddies/" + b +
                              L"?sendfile);Show Screen(/buddies/" + b + L"?showscreen);Show Window...(/buddies/" + b +
                              L"?showwindow);Reconnect(/buddies/" + b + L"?reconnect);Remove(/buddies/" + b +
                              L"?remove);";
    _commandEngine->executeCommand(menu, this, 0);
    return result | 2;
}

int ZBuddyListNode::onKeyPressed(ZWin*, int character) {
    if (character != 8 || _selected.buddy.empty()) return 0;
    std::size_t index = 0;
    while (index < _regions.size() &&
           !(_regions[index].buddy == _selected.buddy && _regions[index].list == _selected.list)) {
        ++index;
    }
    if (index == _regions.size()) return 0;
    const std::wstring buddy = _regions[index].buddy;
    if (index + 2 < _regions.size()) _selected = _regions[index + 2];
    else _selected = Region{};
    _commandEngine->executeCommand(L"(/buddies/" + buddy + L"?remove)", this, 0);
    return 2;
}
