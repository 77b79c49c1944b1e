// A nested run of the UI loop: the quit message that ends it is our own
// unless the part is not done, in which case it was the program's and is
// passed on.
#include "ZNonPortable_Nested.h"

#include "ZNonPortable_Loop.h"
#include "ZNonPortable_X11.h"

namespace {
int g_depth = 0;
}  // namespace

bool _ZNestedRun(bool* done) {
    if (!_ZLoopIsOpen()) {
        while (!*done) _ZX11WaitAndPump(100);
        return true;
    }
    ++g_depth;
    bool clean = true;
    while (!*done) {
        bool restart = false;
        ZWinUpdate(&restart);
        if (!*done) {
            *done = true;
            clean = false;
            ZWinPostQuit(restart ? 1 : 0);
        }
    }
    --g_depth;
    return clean;
}

void _ZNestedEnd() {
    if (g_depth > 0) ZWinPostQuit(0);
}
