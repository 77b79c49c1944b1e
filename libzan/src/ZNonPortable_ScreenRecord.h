// The record behind a ZScreen handle: its own X connection and the
// persistent desktop picture.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>

#include "ZNonPortable_Screen.h"

struct ZScreenRecord {
    Display* display = nullptr;
    ZImageFormat format;
    // The whole desktop, rows from the top.
    XImage* image = nullptr;
    // Where one region lands first when MIT-SHM is offered.
    XImage* scratch = nullptr;
    XShmSegmentInfo scratchShm{};
    bool scratchAttached = false;
};
