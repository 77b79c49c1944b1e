// The viewers' pointers drawn on the sharer's desktop: one small layered
// window "Zandrel_Cursor" per send stream. Windows belong to the UI thread,
// so the screen service's thread only queues requests here; the UI thread
// carries them out when woken through ZNotify.
//
// Threading: construct and destroy on the UI thread; open, move, show, hide
// and close from any thread (one mutex guards the request queue).
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "ZNonPortable.h"

class ZScreenCursorWindows : public IZNotifyListener, public IZWinListener {
public:
    ZScreenCursorWindows();
    ~ZScreenCursorWindows() override;

    // A new pointer window of the RGBA picture; returns its key (never 0).
    int open(int width, int height, const std::string& rgba);
    void move(int key, int x, int y);
    void show(int key);
    void hide(int key);
    void close(int key);

    // Carries out the queued requests (the UI thread's notification).
    void onNotification(int code, std::int64_t sentTime) override;
    // Open pointer windows, for tests on the UI thread.
    int getOpenCount();

private:
    struct Request {
        enum Kind { Open, Move, Show, Hide, Close } kind;
        int key;
        int x, y;
    };
    void _queue(const Request& request);

    std::mutex _mutex;
    std::vector<Request> _requests;
    std::map<int, std::string> _pictures;  // by key, until opened
    std::map<int, std::pair<int, int>> _sizes;
    int _nextKey = 1;
    ZNotifyHandle* _notify = nullptr;
    std::map<int, ZWin*> _windows;  // UI thread only
};
