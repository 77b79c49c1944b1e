// A small modal dialog kit on Xlib for the message boxes and the
// crash-report dialog: one top-level window on a connection of its own,
// static text, push buttons, a check box and a plain multi-line text field,
// drawn with the core font every X server has. Each control is a child
// window named after its label, so tools (and tests) can find it.
//
// Without a display the boxes give the answer that lets the program go on
// unattended: Cancel (OK for an OK-only box), and "restart, no comment" for
// the crash dialog.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <fcntl.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "ZNonPortable_Runtime.h"
#include "ZNonPortable_X11.h"
#include "ZPortable.h"
#include "ZUtil.h"

namespace {

struct ZDialogButton {
    int id;
    std::string label;
    int x, y, w, h;
    Window window = 0;
};

struct ZDialogLayout {
    std::string title;
    int width = 0, height = 0;
    std::vector<std::string> lines;  // static text
    std::vector<ZDialogButton> buttons;
    int defaultId = 0;
    int cancelId = 0;
    bool hasEdit = false;
    std::string edit;                // in and out
    std::size_t editMax = 1023;
    bool hasCheck = false;
    std::string checkLabel;
    bool checked = false;            // in and out
};

// One drawn line of the comment field: a byte range of the comment.
struct ZEditLine {
    std::size_t start, length;
};

constexpr int kLine = 16;
constexpr int kMargin = 12;

// Core fonts are Latin-1: other characters show as '?'.
std::string latin1(const std::string& utf8) {
    std::wstring wide = ZFromUTF8(utf8);
    std::string out;
    for (wchar_t c : wide) out += c < 256 ? static_cast<char>(c) : '?';
    return out;
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string current;
    for (char c : text) {
        if (c == '\r') continue;
        if (c == '\n') {
            lines.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    lines.push_back(current);
    return lines;
}

std::vector<std::string> wrap(const std::string& text, std::size_t columns) {
    std::vector<std::string> out;
    for (const std::string& line : splitLines(text)) {
        std::string rest = line;
        while (rest.size() > columns) {
            std::size_t cut = rest.rfind(' ', columns);
            if (cut == std::string::npos || cut == 0) cut = columns;
            out.push_back(rest.substr(0, cut));
            rest = rest.substr(cut == columns ? cut : cut + 1);
        }
        out.push_back(rest);
    }
    return out;
}

Window makeChild(Display* d, Window parent, int x, int y, int w, int h, const std::string& name) {
    const int screen = DefaultScreen(d);
    Window child = XCreateSimpleWindow(d, parent, x, y, static_cast<unsigned>(w), static_cast<unsigned>(h), 1,
                                       BlackPixel(d, screen), WhitePixel(d, screen));
    XSelectInput(d, child, ExposureMask | ButtonPressMask);
    XStoreName(d, child, name.c_str());
    return child;
}

class ZDialog {
public:
    ZDialog(Display* d, ZDialogLayout& layout) : _d(d), _layout(layout) {}

    // Tells a window manager what this is: a dialog of Zandrel's with a
    // fixed size, which it must neither maximise nor let the user resize.
    void describeToManager() {
        _ZX11SetProgramIdentity(_d, _window);
        XSizeHints* size = XAllocSizeHints();
        if (size) {
            size->flags = PMinSize | PMaxSize;
            size->min_width = size->max_width = _layout.width;
            size->min_height = size->max_height = _layout.height;
            XSetWMNormalHints(_d, _window, size);
            XFree(size);
        }
        const Atom dialogType = XInternAtom(_d, "_NET_WM_WINDOW_TYPE_DIALOG", False);
        XChangeProperty(_d, _window, XInternAtom(_d, "_NET_WM_WINDOW_TYPE", False), XA_ATOM, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&dialogType), 1);
    }

    // Runs the dialog until a button, Escape, Return or closing ends it.
    int run() {
        const int screen = DefaultScreen(_d);
        _window = XCreateSimpleWindow(_d, RootWindow(_d, screen), 100, 100, static_cast<unsigned>(_layout.width),
                                      static_cast<unsigned>(_layout.height), 1, BlackPixel(_d, screen),
                                      WhitePixel(_d, screen));
        XSelectInput(_d, _window, ExposureMask | KeyPressMask | ButtonPressMask | StructureNotifyMask);
        XStoreName(_d, _window, _layout.title.c_str());
        const Atom netName = XInternAtom(_d, "_NET_WM_NAME", False);
        const Atom utf8 = XInternAtom(_d, "UTF8_STRING", False);
        XChangeProperty(_d, _window, netName, utf8, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(_layout.title.data()), static_cast<int>(_layout.title.size()));
        Atom deleteWindow = XInternAtom(_d, "WM_DELETE_WINDOW", False);
        XSetWMProtocols(_d, _window, &deleteWindow, 1);
        describeToManager();
        _font = XLoadQueryFont(_d, "fixed");
        _gc = XCreateGC(_d, _window, 0, nullptr);
        XSetForeground(_d, _gc, BlackPixel(_d, screen));
        if (_font) XSetFont(_d, _gc, _font->fid);
        for (ZDialogButton& button : _layout.buttons)
            button.window = makeChild(_d, _window, button.x, button.y, button.w, button.h, button.label);
        if (_layout.hasEdit) _edit = makeChild(_d, _window, kMargin, editTop(), _layout.width - 2 * kMargin, editHeight(), "Comment");
        if (_layout.hasCheck)
            _check = makeChild(_d, _window, kMargin, _layout.height - 2 * kLine, _layout.width / 2, kLine, _layout.checkLabel);
        XMapSubwindows(_d, _window);
        XMapRaised(_d, _window);
        int result = _layout.cancelId;
        for (bool done = false; !done;) {
            XEvent event;
            XNextEvent(_d, &event);
            switch (event.type) {
                case MapNotify:
                    if (event.xmap.window == _window) {
                        XSetInputFocus(_d, _window, RevertToParent, CurrentTime);
                    }
                    break;
                case Expose:
                    if (event.xexpose.count == 0) draw();
                    break;
                case ButtonPress:
                    done = onClick(event.xbutton.window, event.xbutton.x, event.xbutton.y, result);
                    break;
                case KeyPress:
                    done = onKey(event.xkey, result);
                    break;
                case ClientMessage:
                    if (static_cast<Atom>(event.xclient.data.l[0]) == deleteWindow) done = true;
                    break;
                default:
                    break;
            }
        }
        XFreeGC(_d, _gc);
        if (_font) XFreeFont(_d, _font);
        XDestroyWindow(_d, _window);
        XSync(_d, False);
        return result;
    }

private:
    int editTop() const { return kMargin + static_cast<int>(_layout.lines.size()) * kLine + kMargin; }
    int editHeight() const { return _layout.height - editTop() - 3 * kLine; }

    void text(Window w, int x, int y, const std::string& s) {
        const std::string shown = latin1(s);
        XDrawString(_d, w, _gc, x, y, shown.data(), static_cast<int>(shown.size()));
    }

    void draw() {
        XClearWindow(_d, _window);
        int y = kMargin + kLine - 4;
        for (const std::string& line : _layout.lines) {
            text(_window, kMargin, y, line);
            y += kLine;
        }
        for (const ZDialogButton& button : _layout.buttons) {
            XClearWindow(_d, button.window);
            text(button.window, 6, button.h - 5, button.label);
        }
        if (_edit) {
            XClearWindow(_d, _edit);
            const std::vector<ZEditLine> lines = editLines();
            for (std::size_t i = 0; i < lines.size(); ++i)
                text(_edit, 4, static_cast<int>(i + 1) * kLine - 4, _layout.edit.substr(lines[i].start, lines[i].length));
            std::size_t column = 0;
            const std::size_t line = caretLine(lines, column);
            const int x = 4 + static_cast<int>(column) * charWidth();
            const int y = static_cast<int>(line) * kLine;
            XDrawLine(_d, _edit, _gc, x, y + 2, x, y + kLine - 2);
        }
        if (_check) {
            XClearWindow(_d, _check);
            text(_check, 2, kLine - 4, std::string(_layout.checked ? "[x] " : "[ ] ") + _layout.checkLabel);
        }
        XFlush(_d);
    }

    bool onClick(Window w, int x, int y, int& result) {
        if (_edit && w == _edit) {
            // The caret goes to the clicked place, or the end of the clicked line.
            const std::vector<ZEditLine> lines = editLines();
            const std::size_t line = std::min<std::size_t>(static_cast<std::size_t>(std::max(y, 0) / kLine), lines.size() - 1);
            const std::size_t column = static_cast<std::size_t>(std::max(x - 4 + charWidth() / 2, 0) / charWidth());
            _caret = lines[line].start + std::min(column, lines[line].length);
            draw();
            return false;
        }
        for (const ZDialogButton& button : _layout.buttons)
            if (w == button.window) {
                result = button.id;
                return true;
            }
        if (_check && w == _check) {
            _layout.checked = !_layout.checked;
            draw();
        }
        return false;
    }

    bool onKey(XKeyEvent& key, int& result) {
        char buffer[16];
        KeySym sym = NoSymbol;
        const int n = XLookupString(&key, buffer, sizeof buffer, &sym, nullptr);
        if (sym == XK_Escape) {
            result = _layout.cancelId;
            return true;
        }
        if (_layout.hasEdit) {
            const std::vector<ZEditLine> lines = editLines();
            std::size_t column = 0;
            const std::size_t line = caretLine(lines, column);
            if (sym == XK_BackSpace) {
                const std::size_t from = before(_caret);
                _layout.edit.erase(from, _caret - from);
                _caret = from;
            } else if (sym == XK_Delete || sym == XK_KP_Delete) {
                _layout.edit.erase(_caret, after(_caret) - _caret);
            } else if (sym == XK_Left || sym == XK_KP_Left) {
                _caret = before(_caret);
            } else if (sym == XK_Right || sym == XK_KP_Right) {
                _caret = after(_caret);
            } else if ((sym == XK_Up || sym == XK_KP_Up) && line > 0) {
                _caret = lines[line - 1].start + std::min(column, lines[line - 1].length);
            } else if ((sym == XK_Down || sym == XK_KP_Down) && line + 1 < lines.size()) {
                _caret = lines[line + 1].start + std::min(column, lines[line + 1].length);
            } else if (sym == XK_Home || sym == XK_KP_Home) {
                _caret = lines[line].start;
            } else if (sym == XK_End || sym == XK_KP_End) {
                _caret = lines[line].start + lines[line].length;
            } else if (sym == XK_Return || sym == XK_KP_Enter) {
                insert("\r\n");
            } else if (n == 1 && static_cast<unsigned char>(buffer[0]) >= 0x20) {
                // XLookupString gives Latin-1; the comment is kept as UTF-8.
                std::wstring unit(1, static_cast<wchar_t>(static_cast<unsigned char>(buffer[0])));
                insert(ZToUTF8(unit));
            }
            draw();
            return false;
        }
        if (sym == XK_Return || sym == XK_KP_Enter) {
            result = _layout.defaultId;
            return true;
        }
        return false;
    }

    void insert(const std::string& s) {
        if (_layout.edit.size() + s.size() > _layout.editMax) return;
        _layout.edit.insert(_caret, s);
        _caret += s.size();
    }

    int charWidth() const { return _font && _font->max_bounds.width > 0 ? _font->max_bounds.width : 6; }

    // The comment's lines as drawn: its own line ends, then wrapped at a
    // blank (or anywhere, for a longer word) to the field's width.
    std::vector<ZEditLine> editLines() const {
        const std::size_t columns =
            static_cast<std::size_t>(std::max(1, (_layout.width - 2 * kMargin - 8) / charWidth()));
        const std::string& text = _layout.edit;
        std::vector<ZEditLine> lines;
        std::size_t begin = 0;
        for (;;) {
            const std::size_t newline = text.find('\n', begin);
            std::size_t end = newline == std::string::npos ? text.size() : newline;
            if (end > begin && text[end - 1] == '\r') --end;
            while (end - begin > columns) {
                std::size_t cut = text.rfind(' ', begin + columns);
                if (cut == std::string::npos || cut <= begin) cut = begin + columns;
                lines.push_back(ZEditLine{begin, cut - begin});
                begin = text[cut] == ' ' ? cut + 1 : cut;
            }
            lines.push_back(ZEditLine{begin, end - begin});
            if (newline == std::string::npos) return lines;
            begin = newline + 1;
        }
    }

    // The drawn line that holds the caret, and the caret's column on it.
    std::size_t caretLine(const std::vector<ZEditLine>& lines, std::size_t& column) const {
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (_caret <= lines[i].start + lines[i].length) {
                column = _caret < lines[i].start ? 0 : _caret - lines[i].start;
                return i;
            }
        }
        column = lines.back().length;
        return lines.size() - 1;
    }

    // The caret's place one character back or on: a line end "\r\n" and a
    // UTF-8 sequence each count as one.
    std::size_t before(std::size_t at) const {
        const std::string& text = _layout.edit;
        if (at == 0) return 0;
        if (at >= 2 && text[at - 1] == '\n' && text[at - 2] == '\r') return at - 2;
        do --at;
        while (at > 0 && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80);
        return at;
    }
    std::size_t after(std::size_t at) const {
        const std::string& text = _layout.edit;
        if (at >= text.size()) return text.size();
        if (text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n') return at + 2;
        do ++at;
        while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80);
        return at;
    }

    Display* _d;
    ZDialogLayout& _layout;
    Window _window = 0;
    Window _edit = 0;
    Window _check = 0;
    // Byte offset of the caret in the comment; it starts at the end.
    std::size_t _caret = _layout.edit.size();
    GC _gc{};
    XFontStruct* _font = nullptr;
};

// A connection of the dialog's own; null without a display.
// The caption names the box that goes unasked when the display refuses us.
Display* openDisplay(const std::string& caption) {
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) return nullptr;
    Display* d = XOpenDisplay(nullptr);
    if (!d) ZLOG(L"WARNING Unable to open display '" << name << L"', answering '" << caption << L"' unasked.");
    // The restart is started while this connection may still be open.
    if (d) fcntl(ConnectionNumber(d), F_SETFD, FD_CLOEXEC);
    return d;
}

void layoutButtons(ZDialogLayout& layout, const std::vector<std::pair<int, std::string>>& buttons) {
    const int w = 90, h = 22, gap = 10;
    const int total = static_cast<int>(buttons.size()) * (w + gap) - gap;
    int x = (layout.width - total) / 2;
    for (const auto& b : buttons) {
        layout.buttons.push_back(ZDialogButton{b.first, b.second, x, layout.height - h - kMargin, w, h});
        x += w + gap;
    }
}

const char kCommentTemplate[] =
    "1. What steps can I take to reproduce this crash?\r\n\r\n\r\n"
    "2. What other bugs have you encountered, and how can I reproduce those?\r\n\r\n\r\n"
    "3. Overall, how are things going?  What's good, what's bad, and what do you most want changed?\r\n";

}  // namespace

int ZSystemMessageBox(const std::wstring& caption, const std::wstring& text, unsigned int style) {
    const bool cancelTryContinue = (style & 0xF) == ZMB_CANCELTRYCONTINUE;
    const int unattended = cancelTryContinue ? ZID_CANCEL : ZID_OK;
    Display* d = openDisplay(ZToUTF8(caption));
    if (!d) return unattended;
    ZDialogLayout layout;
    layout.title = ZToUTF8(caption);
    layout.lines = wrap(ZToUTF8(text), 72);
    layout.width = 480;
    layout.height = kMargin * 3 + static_cast<int>(layout.lines.size()) * kLine + 22 + kMargin;
    if (cancelTryContinue) {
        layoutButtons(layout, {{ZID_CANCEL, "Cancel"}, {ZID_TRYAGAIN, "Try Again"}, {ZID_CONTINUE, "Continue"}});
        layout.defaultId = (style & ZMB_DEFBUTTON2) ? ZID_TRYAGAIN : ZID_CANCEL;
        layout.cancelId = ZID_CANCEL;
    } else {
        layoutButtons(layout, {{ZID_OK, "OK"}});
        layout.defaultId = layout.cancelId = ZID_OK;
    }
    const int answer = ZDialog(d, layout).run();
    XCloseDisplay(d);
    return answer;
}

bool ZDebugCaptureCrashInfo() {
    Display* d = openDisplay("Zandrel Issue Capture Tool");
    if (!d) {
        ZLOG(L"-- No User Comment Supplied --");
        return true;
    }
    ZDialogLayout layout;
    layout.title = "Zandrel Issue Capture Tool";
    layout.width = 560;
    layout.height = 380;
    // OK and Cancel stand one above the other at the top right.
    layout.buttons.push_back(ZDialogButton{ZID_OK, "OK", layout.width - 100, kMargin, 90, 22});
    layout.buttons.push_back(ZDialogButton{ZID_CANCEL, "Cancel", layout.width - 100, kMargin + 26, 90, 22});
    layout.lines = wrap(
        "Oops, we crashed.  For my records, could you please give a brief description of what you were doing when "
        "it crashed?  The next time you run Zandrel, this will be sent to my servers and hopefully I can figure out "
        "what happend.  Thanks!",
        72);
    layout.defaultId = ZID_OK;
    layout.cancelId = ZID_CANCEL;
    layout.hasEdit = true;
    layout.edit = kCommentTemplate;
    layout.hasCheck = true;
    layout.checkLabel = "Restart Zandrel automatically";
    layout.checked = true;
    const int answer = ZDialog(d, layout).run();
    XCloseDisplay(d);
    const bool restart = answer == ZID_OK && layout.checked;
    if (answer == ZID_OK && layout.edit != kCommentTemplate) {
        ZLOG(L"-------- User Comment -------");
        ZLOG(ZFromUTF8(layout.edit));
        ZLOG(L"------------------------------");
    } else {
        ZLOG(L"-- No User Comment Supplied --");
    }
    return restart;
}

void ZPMailSend(const std::string&, const std::string&, const std::string&, const std::string&) {
    ZLOG(L"WARNING: ZPMailSend is not supported under Win32 or WinCE");
}
