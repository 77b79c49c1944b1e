#include "ZImageGDI.h"

#include <cstdlib>
#include <utility>

#include "ZUtil.h"

void ZImageGDI::resize(const ZImageFormat& toFormat) {
    ZTRACE();
    ZPRECONDITION((toFormat.width > 0) && (toFormat.height > 0));
    if (toFormat.width == _format.width && toFormat.height == _format.height) return;
    _format = toFormat;
    ZASSERT(_format.type == ZIT_BGRA32);
    _buffer.assign(static_cast<std::size_t>(_format.width) * _format.height * 4, '\0');
    ZASSERT(!_buffer.empty());
}

void ZImageGDI::clear(const ZColor& colour) {
    ZTRACE();
    if (!_format.width || !_format.height) return;
    for (std::size_t i = 0; i < _buffer.size(); i += 4) {
        _buffer[i] = static_cast<char>(colour.b);
        _buffer[i + 1] = static_cast<char>(colour.g);
        _buffer[i + 2] = static_cast<char>(colour.r);
        _buffer[i + 3] = static_cast<char>(255 - colour.a);
    }
    _format.type = ZIT_BGRA32;
}

void ZImageGDI::setColor(const ZColor& colour) {
    ZTRACE();
    _pen = colour;
}

void ZImageGDI::_plot(int x, int y) {
    if (x < 0 || y < 0 || x >= _format.width || y >= _format.height) return;
    char* p = &_buffer[(static_cast<std::size_t>(y) * _format.width + x) * 4];
    p[0] = static_cast<char>(_pen.b);
    p[1] = static_cast<char>(_pen.g);
    p[2] = static_cast<char>(_pen.r);
    p[3] = 0;
}

void ZImageGDI::drawLine(int x1, int y1, int x2, int y2) {
    ZTRACE();
    if (_buffer.empty()) return;
    const int dx = std::abs(x2 - x1), dy = std::abs(y2 - y1);
    const int sx = x1 < x2 ? 1 : -1, sy = y1 < y2 ? 1 : -1;
    int error = dx - dy;
    int x = x1, y = y1;
    while (x != x2 || y != y2) {
        _plot(x, y);
        const int twice = 2 * error;
        if (twice > -dy) {
            error -= dy;
            x += sx;
        }
        if (twice < dx) {
            error += dx;
            y += sy;
        }
    }
}

void ZImageGDI::convertToRGB() {
    ZTRACE();
    if (!_format.width || !_format.height) return;
    _format.type = ZIT_RGBA32;
    for (std::size_t i = 0; i < _buffer.size(); i += 4) {
        std::swap(_buffer[i], _buffer[i + 2]);
        _buffer[i + 3] = static_cast<char>(255 - static_cast<unsigned char>(_buffer[i + 3]));
    }
}
