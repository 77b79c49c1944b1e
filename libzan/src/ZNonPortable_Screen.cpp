// Desktop capture for screen sharing: the root window copied region by
// region into one persistent desktop-sized buffer, over the handle's own X
// connection (the screen service captures from its thread).
#include "ZNonPortable_Screen.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <fcntl.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <cstdlib>
#include <cstring>

#include "ZNonPortable_ScreenRecord.h"
#include "ZNonPortable_X11.h"
#include "ZUtil.h"

namespace {

void releaseBuffers(ZScreenRecord* s) {
    if (s->scratch) {
        if (s->scratchAttached) {
            XShmDetach(s->display, &s->scratchShm);
            XSync(s->display, False);
        }
        shmdt(s->scratchShm.shmaddr);
        s->scratch->data = nullptr;
        XDestroyImage(s->scratch);
        s->scratch = nullptr;
        s->scratchAttached = false;
    }
    if (s->image) XDestroyImage(s->image);  // frees the pixels
    s->image = nullptr;
    s->format = ZImageFormat{};
}

// The shared-memory scratch image that one region is read into before it is
// copied into the persistent buffer; none when MIT-SHM is not offered.
void buildScratch(ZScreenRecord* s, Visual* visual, int depth, int width, int height) {
    if (!XShmQueryExtension(s->display)) return;
    XImage* image = XShmCreateImage(s->display, visual, static_cast<unsigned>(depth), ZPixmap, nullptr,
                                    &s->scratchShm, static_cast<unsigned>(width), static_cast<unsigned>(height));
    if (!image) return;
    s->scratchShm.shmid = shmget(IPC_PRIVATE, static_cast<size_t>(image->bytes_per_line) * height, IPC_CREAT | 0600);
    if (s->scratchShm.shmid < 0) {
        XDestroyImage(image);
        return;
    }
    void* addr = shmat(s->scratchShm.shmid, nullptr, 0);
    if (addr == reinterpret_cast<void*>(-1)) {
        shmctl(s->scratchShm.shmid, IPC_RMID, nullptr);
        XDestroyImage(image);
        return;
    }
    s->scratchShm.shmaddr = image->data = static_cast<char*>(addr);
    s->scratchShm.readOnly = False;
    _ZX11TrapErrors();
    XShmAttach(s->display, &s->scratchShm);
    const int error = _ZX11UntrapErrors(s->display);
    shmctl(s->scratchShm.shmid, IPC_RMID, nullptr);
    s->scratch = image;
    s->scratchAttached = error == 0;
    if (!s->scratchAttached) {
        shmdt(addr);
        image->data = nullptr;
        XDestroyImage(image);
        s->scratch = nullptr;
    }
}

// Builds the desktop-sized buffer; false (record left empty) when the
// desktop cannot be read or has an unsupported pixel layout.
bool rebuild(ZScreenRecord* s, const ZRect& desktop) {
    releaseBuffers(s);
    const int screen = DefaultScreen(s->display);
    Visual* visual = DefaultVisual(s->display, screen);
    const int depth = DefaultDepth(s->display, screen);
    const int width = desktop.right, height = desktop.bottom;
    char* data = static_cast<char*>(std::calloc(static_cast<size_t>(width) * height, 4));
    if (!data) return false;
    XImage* image = XCreateImage(s->display, visual, static_cast<unsigned>(depth), ZPixmap, 0, data,
                                 static_cast<unsigned>(width), static_cast<unsigned>(height), 32, 0);
    if (!image) {
        std::free(data);
        return false;
    }
    std::int32_t type = 0;
    if (image->bits_per_pixel == 32 && visual->red_mask == 0xFF0000 && visual->blue_mask == 0xFF)
        type = ZIT_BGRA32;
    else if (image->bits_per_pixel == 16 && visual->red_mask == 0x7C00 && visual->blue_mask == 0x1F)
        type = ZIT_RGB555;
    if (type == 0) {
        // Another layout is not a picture the screen service can send: the capture fails.
        ZLOG(L"ERROR Trying to capture unsupported bitdepth");
        XDestroyImage(image);
        return false;
    }
    s->image = image;
    s->format.type = type;
    s->format.width = width;
    s->format.height = height;
    buildScratch(s, visual, depth, width, height);
    return true;
}

bool copyRegion(ZScreenRecord* s, const ZRect& r) {
    if (r.right <= r.left || r.bottom <= r.top) return true;  // nothing to copy
    const Window root = DefaultRootWindow(s->display);
    const unsigned w = static_cast<unsigned>(r.right - r.left), h = static_cast<unsigned>(r.bottom - r.top);
    _ZX11TrapErrors();
    if (s->scratch) {
        s->scratch->width = static_cast<int>(w);
        s->scratch->height = static_cast<int>(h);
        s->scratch->bytes_per_line = static_cast<int>(w) * s->image->bits_per_pixel / 8;
        const Bool ok = XShmGetImage(s->display, root, s->scratch, r.left, r.top, AllPlanes);
        const int error = _ZX11UntrapErrors(s->display);
        if (!ok || error) return false;
        const int bpp = s->image->bits_per_pixel / 8;
        for (unsigned y = 0; y < h; ++y)
            std::memcpy(s->image->data + static_cast<size_t>(r.top + y) * s->image->bytes_per_line +
                            static_cast<size_t>(r.left) * bpp,
                        s->scratch->data + static_cast<size_t>(y) * s->scratch->bytes_per_line,
                        static_cast<size_t>(w) * bpp);
        return true;
    }
    XImage* got = XGetSubImage(s->display, root, r.left, r.top, w, h, AllPlanes, ZPixmap, s->image, r.left, r.top);
    return _ZX11UntrapErrors(s->display) == 0 && got != nullptr;
}

}  // namespace

ZScreen* ZScreenOpen() {
    ZTRACE();
    return new ZScreenRecord;
}

unsigned char* ZScreenCapture(ZScreen* screen_, const ZRect& dirtyRect_, ZImageFormat& format) {
    ZTRACE();
    ZPRECONDITION(screen_);
    ZASSERT(ZVALIDRECT( dirtyRect_ ));
    ZScreenRecord* s = screen_;
    format = ZImageFormat{};
    if (!s->display) {
        _ZX11InstallErrorHandler();
        s->display = XOpenDisplay(nullptr);
        if (!s->display) {
            ZLOG(L"WARNING Cannot open the X display for capture, ignoring.");
            return nullptr;
        }
        const int fd = ConnectionNumber(s->display);
        fcntl(fd, F_SETFD, fcntl(fd, F_GETFD) | FD_CLOEXEC);
    }
    const int screen = DefaultScreen(s->display);
    const ZRect desktop{0, 0, DisplayWidth(s->display, screen), DisplayHeight(s->display, screen)};
    ZRect dirty = dirtyRect_;
    ZRectClip(dirty, desktop);
    // A changed desktop size (or the first call) rebuilds the buffer.
    const bool sizeChanged = s->format.width != desktop.right || s->format.height != desktop.bottom;
    if (!s->image || sizeChanged || !copyRegion(s, dirty)) {
        if (!rebuild(s, desktop) || !copyRegion(s, dirty)) {
            releaseBuffers(s);
            return nullptr;
        }
    }
    format = s->format;
    return reinterpret_cast<unsigned char*>(s->image->data);
}

void ZScreenClose(ZScreen* screen) {
    ZTRACE();
    ZPRECONDITION(screen);
    if (screen->display) {
        releaseBuffers(screen);
        XCloseDisplay(screen->display);
    }
    ZASSERT_PTR(screen);
    delete screen;
}
