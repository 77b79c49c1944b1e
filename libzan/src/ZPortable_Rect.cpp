// Rectangles, the image format record and fragment lists.
#include <climits>

#include "ZPortable_Bytes.h"
#include "ZPortable_Rect.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"

namespace {

// Bytes per pixel by type code 0..24.
constexpr int kBytesPerPixel[25] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 3, 4, 2, 2, 3, 4, 2, 0, 1, 0};

// Reads an optionally signed decimal integer; no blanks are skipped.
bool readInt(const std::string& text, std::size_t& pos, std::int32_t& out) {
    std::size_t p = pos;
    bool negative = false;
    if (p < text.size() && (text[p] == '+' || text[p] == '-')) negative = text[p++] == '-';
    const std::size_t digits = p;
    std::int64_t value = 0;
    while (p < text.size() && text[p] >= '0' && text[p] <= '9') {
        value = value * 10 + (text[p++] - '0');
        if (value > static_cast<std::int64_t>(INT32_MAX) + 1) return false;
    }
    if (p == digits) return false;
    if (negative) value = -value;
    if (value > INT32_MAX || value < INT32_MIN) return false;
    out = static_cast<std::int32_t>(value);
    pos = p;
    return true;
}

bool readChar(const std::string& text, std::size_t& pos, char c) {
    if (pos >= text.size() || text[pos] != c) return false;
    ++pos;
    return true;
}

}  // namespace

int ZImageBytesPerPixel(std::int32_t type) { return (type >= 0 && type <= 24) ? kBytesPerPixel[type] : 0; }

int ZMin(int a, int b) { return a < b ? a : b; }

std::int64_t ZMax(std::int64_t a, std::int64_t b) { return b > a ? b : a; }

void ZRectClip(ZRect& rect, const ZRect& bounds) {
    auto clamp = [](std::int32_t v, std::int32_t low, std::int32_t high) {
        if (v > high) v = high;
        if (v < low) v = low;
        return v;
    };
    rect.left = clamp(rect.left, bounds.left, bounds.right);
    rect.right = clamp(rect.right, bounds.left, bounds.right);
    rect.top = clamp(rect.top, bounds.top, bounds.bottom);
    rect.bottom = clamp(rect.bottom, bounds.top, bounds.bottom);
}

bool ZRectWithin(const ZRect& r, int width, int height) {
    return ZWITHIN(0, r.left, width) && ZWITHIN(0, r.top, height) && ZWITHIN(0, r.right, width) &&
           ZWITHIN(0, r.bottom, height);
}

bool ZRectIntersects(const ZRect& a, const ZRect& b) {
    return a.right > b.left && b.right > a.left && a.bottom > b.top && b.bottom > a.top;
}

bool ZRectContains(const ZRect& outer, const ZRect& inner) {
    return outer.left <= inner.left && inner.right <= outer.right && outer.top <= inner.top &&
           inner.bottom <= outer.bottom;
}

bool ZRectEmpty(const ZRect& rect) { return rect.right <= rect.left || rect.bottom <= rect.top; }

std::string ZRect::serialize() const {
    std::string s = "(";
    s << left;
    s += ",";
    s << top;
    s += ",";
    s << right;
    s += ",";
    s << bottom;
    s += ")";
    return s;
}

bool ZRect::deserialize(const std::string& text) {
    left = top = right = bottom = 0;
    std::size_t pos = 0;
    std::int32_t* fields[4] = {&left, &top, &right, &bottom};
    if (!readChar(text, pos, '(')) return false;
    for (int i = 0; i < 4; ++i) {
        if (i > 0 && !readChar(text, pos, ',')) return false;
        if (!readInt(text, pos, *fields[i])) return false;
    }
    return readChar(text, pos, ')');
}

int ZImageFormat::getBufferSize() const {
    if (type < 0 || type > 24 || width < 0 || height < 0) return 0;
    const std::int64_t w = width;
    const std::int64_t h = height;
    // No larger image has a buffer; checked first, so no product below can overflow.
    if (w * h > INT_MAX) return 0;
    std::int64_t size;
    if (type == ZIT_GRAY4)
        size = (w + 1) / 2 * h;  // two pixels a byte, each row starting on a byte
    else if (type == ZIT_IYUY)
        size = w * h + 2 * ((w + 1) / 2) * ((h + 1) / 2);  // Y, then U and V at half size
    else
        size = kBytesPerPixel[type] * w * h;
    return size > INT_MAX ? 0 : static_cast<int>(size);
}

std::string ZImageFormat::serialize() const {
    std::string out;
    ZSerialize(static_cast<int>(type), out);
    ZSerialize(static_cast<int>(width), out);
    ZSerialize(static_cast<int>(height), out);
    return out;
}

bool ZImageFormat::deserialize(const std::string& bytes) {
    if (bytes.size() < 12) return false;
    int t = 0, w = 0, h = 0;
    ZDeserialize(bytes.data(), 4u, t);
    ZDeserialize(bytes.data() + 4, 4u, w);
    ZDeserialize(bytes.data() + 8, 4u, h);
    type = t;
    width = w;
    height = h;
    return true;
}

std::wstring ZImageFormat::toString() const {
    std::wstring s = L"[";
    s << static_cast<int>(type) << L"," << static_cast<int>(width) << L"x" << static_cast<int>(height) << L"]";
    return s;
}

void ZFragSubtract(std::list<ZFrag>& list, const ZFrag& subFrag) {
    const ZRect& sub = subFrag.rect;
    std::list<ZFrag> result;
    for (const ZFrag& f : list) {
        const ZRect& r = f.rect;
        if (ZRectContains(sub, r)) continue;
        if (r.right <= sub.left || sub.right <= r.left || r.bottom <= sub.top || sub.bottom <= r.top) {
            result.push_back(f);
            continue;
        }
        ZRect rest = r;
        if (rest.top < sub.top) {
            result.push_back(ZFrag{f.id, ZRect{rest.left, rest.top, rest.right, sub.top}});
            rest.top = sub.top;
        }
        if (rest.bottom > sub.bottom) {
            result.push_back(ZFrag{f.id, ZRect{rest.left, sub.bottom, rest.right, rest.bottom}});
            rest.bottom = sub.bottom;
        }
        if (rest.left < sub.left) {
            result.push_back(ZFrag{f.id, ZRect{rest.left, rest.top, sub.left, rest.bottom}});
            rest.left = sub.left;
        }
        if (rest.right > sub.right) {
            result.push_back(ZFrag{f.id, ZRect{sub.right, rest.top, rest.right, rest.bottom}});
            rest.right = sub.right;
        }
        ZWARNASSERT_T(ZRectContains(sub, rest), "ZRectContains( subFrag.rect, frag.rect )");
    }
    list.swap(result);
}

void ZFragInsert(std::list<ZFrag>& list, const ZFrag& frag) {
    for (const ZFrag& listed : list)
        if (listed.id == frag.id && ZRectContains(listed.rect, frag.rect)) return;
    ZFragSubtract(list, frag);
    list.push_back(frag);
}

void ZFragMerge(std::list<ZFrag>& list, const ZFrag& frag) {
    std::list<ZFrag> pieces{frag};
    for (const ZFrag& listed : list) ZFragSubtract(pieces, listed);
    list.splice(list.end(), pieces);
}
