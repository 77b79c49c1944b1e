// What the command engine asks of the node kinds it acts on. The node
// library's window, screen, wizard, edit, list and table classes derive from
// the matching interface beside ZTemplateNode; the engine tells the kinds
// apart by the node's dynamic type (dynamic_cast to these interfaces).
#pragma once

#include <cstdint>
#include <string>

class IZWindowControl {
public:
    virtual ~IZWindowControl() = default;
    // Run the window's "$onOpen" / "$onClose" command in its last scope.
    virtual void open() = 0;
    virtual void close() = 0;
    virtual void flash() = 0;
    // Durations in microseconds.
    virtual void fadeIn(std::int64_t duration) = 0;
    virtual void fadeOut(std::int64_t duration) = 0;
    virtual void maximize() = 0;
    virtual void minimize() = 0;
    virtual void fit() = 0;
};

class IZScreenControl {
public:
    virtual ~IZScreenControl() = default;
    virtual void fit() = 0;
};

class IZWizardControl {
public:
    virtual ~IZWizardControl() = default;
    virtual void next() = 0;
    virtual void back() = 0;
    virtual void done() = 0;
    virtual void jump(const std::wstring& page) = 0;
};

class IZEditControl {
public:
    virtual ~IZEditControl() = default;
    virtual std::wstring getText() = 0;
    virtual void setText(const std::wstring& text) = 0;
};

// The selected entry's text, empty when nothing is selected.
class IZListControl {
public:
    virtual ~IZListControl() = default;
    virtual std::wstring getSelection() = 0;
};

class IZTableControl {
public:
    virtual ~IZTableControl() = default;
    virtual std::wstring getSelection() = 0;
};
