// What the screen service offers its send streams, the clock the service and
// its streams share, and the limits a viewer applies to a sharer's pictures.
#pragma once

#include <cstdint>
#include <list>

#include "ZPortable_Rect.h"

// Where the screen service, its streams and their reliable senders read the
// time; tests drive their own clock.
typedef std::int64_t (*ZScreenClock)();

// Tiles of a region are at most this size.
constexpr int ZSCREEN_TILE_SIDE = 48;
// The largest datagram a peer accepts; a region message never exceeds it.
constexpr int ZSCREEN_MAX_DATAGRAM = 5888;
// Screen and window sides a viewer accepts (no more than the screen node
// shows), the pictures one receive stream holds at most (its windows and the
// picture it publishes), and those all receive streams hold together.
constexpr int ZSCREEN_MAX_SIDE = 8192;
constexpr std::int64_t ZSCREEN_MAX_PICTURE_BYTES = 256LL * 1024 * 1024;
constexpr std::int64_t ZSCREEN_MAX_TOTAL_PICTURE_BYTES = 512LL * 1024 * 1024;

// What the receive streams of one screen service hold together, in bytes;
// kept by the streams on the service's thread.
struct ZScreenPictureBudget {
    std::int64_t held = 0;
    std::int64_t limit = ZSCREEN_MAX_TOTAL_PICTURE_BYTES;
};
// A send stream whose messages stay unacknowledged this long has lost its viewer.
constexpr std::int64_t ZSCREEN_VIEWER_TIMEOUT = 10000000;

// The desktop as the screen service keeps it, read by its send streams on
// the service's thread.
class IZScreen {
public:
    virtual ~IZScreen() = default;
    // The visible windows, topmost first: {window id, screen rectangle}.
    virtual const std::list<ZFrag>& getLayout() = 0;
    virtual int getWidth() = 0;
    virtual int getHeight() = 0;
    // The cached picture of a window (rows from the top) and its format;
    // null, format untouched, for an unknown window.
    virtual const unsigned char* getWindow(std::uint32_t windowID, ZImageFormat& format) = 0;
    virtual void getMousePosition(int& x, int& y) = 0;
    // The clock of the service, shared by its streams and their senders.
    virtual ZScreenClock getClock() = 0;
};
