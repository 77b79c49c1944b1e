// Pointer windows carried out on the UI thread.
#include "ZScreenCursor.h"

#include "ZUtil.h"

ZScreenCursorWindows::ZScreenCursorWindows() {
    _notify = ZNotifyOpen(this);
}

ZScreenCursorWindows::~ZScreenCursorWindows() {
    ZNotifyClose(_notify);
    for (auto& entry : _windows) ZWinClose(entry.second);
}

int ZScreenCursorWindows::open(int width, int height, const std::string& rgba) {
    std::lock_guard<std::mutex> guard(_mutex);
    const int key = _nextKey++;
    _pictures[key] = rgba;
    _sizes[key] = {width, height};
    _requests.push_back({Request::Open, key, 0, 0});
    ZNotify(_notify, 1);
    return key;
}

void ZScreenCursorWindows::_queue(const Request& request) {
    if (request.key == 0) return;
    std::lock_guard<std::mutex> guard(_mutex);
    _requests.push_back(request);
    ZNotify(_notify, 1);
}

void ZScreenCursorWindows::move(int key, int x, int y) {
    _queue({Request::Move, key, x, y});
}

void ZScreenCursorWindows::show(int key) {
    _queue({Request::Show, key, 0, 0});
}

void ZScreenCursorWindows::hide(int key) {
    _queue({Request::Hide, key, 0, 0});
}

void ZScreenCursorWindows::close(int key) {
    _queue({Request::Close, key, 0, 0});
}

void ZScreenCursorWindows::onNotification(int, std::int64_t) {
    std::vector<Request> requests;
    std::map<int, std::string> pictures;
    std::map<int, std::pair<int, int>> sizes;
    {
        std::lock_guard<std::mutex> guard(_mutex);
        requests.swap(_requests);
        pictures.swap(_pictures);
        sizes.swap(_sizes);
    }
    for (const Request& r : requests) {
        auto found = _windows.find(r.key);
        switch (r.kind) {
        case Request::Open: {
            const auto size = sizes[r.key];
            ZWin* window = ZWinOpen(L"Zandrel_Cursor", ZRect{0, 0, size.first, size.second}, true, this);
            if (!window) {
                ZLOG(L"WARNING Unable to open the pointer window, ignoring.");
                break;
            }
            ZWinRepaint(window, size.first, size.second,
                        reinterpret_cast<const unsigned char*>(pictures[r.key].data()), 255);
            ZWinShow(window);
            _windows[r.key] = window;
            break;
        }
        case Request::Move:
            if (found != _windows.end()) ZWinMove(found->second, r.x, r.y);
            break;
        case Request::Show:
            if (found != _windows.end()) ZWinShow(found->second);
            break;
        case Request::Hide:
            if (found != _windows.end()) ZWinHide(found->second);
            break;
        case Request::Close:
            if (found != _windows.end()) {
                ZWinClose(found->second);
                _windows.erase(found);
            }
            break;
        }
    }
}

int ZScreenCursorWindows::getOpenCount() {
    return static_cast<int>(_windows.size());
}
