// Change detection between two image regions and the cutting of fragments
// into tiles.
#include <cstring>

#include "ZImage_Internal.h"
#include "ZUtil.h"

namespace {

// Compares samples of two regions; the left image's positions are rounded
// down to the sampling grid.
struct ZSampler {
    const unsigned char* lhs;
    int lhsWidth;
    int lhsLeft, lhsTop;
    const unsigned char* rhs;
    int rhsWidth;
    int rhsLeft, rhsTop;
    int bpp;
    int mask;

    bool differs(int x, int y) const {
        const std::size_t lx = (lhsLeft + x) & mask, ly = (lhsTop + y) & mask;
        const std::size_t rx = rhsLeft + x, ry = rhsTop + y;
        return std::memcmp(lhs + (ly * lhsWidth + lx) * bpp, rhs + (ry * rhsWidth + rx) * bpp, bpp) != 0;
    }
    bool rowDiffers(int y, int w, int f) const {
        for (int x = 0; x < w; x += f)
            if (differs(x, y)) return true;
        return false;
    }
    bool columnDiffers(int x, int top, int bottom, int f) const {
        for (int y = top; y < bottom; y += f)
            if (differs(x, y)) return true;
        return false;
    }
};

}  // namespace

bool ZImageCompare(const ZImageFormat& lhsFormat, const unsigned char* lhsBuffer, const ZRect& lhsRect,
                   const ZImageFormat& rhsFormat, const unsigned char* rhsBuffer, const ZRect& rhsRect,
                   ZRect& diffRect, int downsampleFactor) {
    ZTRACE();
    ZPRECONDITION(lhsFormat.type == rhsFormat.type);
    ZPRECONDITION(lhsBuffer);
    ZPRECONDITION(rhsBuffer);
    ZPRECONDITION(ZVALIDRECT( lhsRect ));
    ZPRECONDITION(ZVALIDRECT( rhsRect ));
    ZPRECONDITION((lhsRect.right-lhsRect.left) == (rhsRect.right-rhsRect.left));
    ZPRECONDITION((lhsRect.bottom-lhsRect.top) == (rhsRect.bottom-rhsRect.top));
    ZPRECONDITION(0 <= lhsRect.left && lhsRect.right <= lhsFormat.width);
    ZPRECONDITION(0 <= rhsRect.left && rhsRect.right <= rhsFormat.width);
    // The vertical extent is checked too: reading past an image is never
    // what a caller meant.
    ZPRECONDITION(0 <= lhsRect.top && lhsRect.bottom <= lhsFormat.height);
    ZPRECONDITION(0 <= rhsRect.top && rhsRect.bottom <= rhsFormat.height);
    int shift = 0;
    while ((1 << shift) < downsampleFactor && shift < 30) ++shift;
    ZASSERT((1 << shift) == downsampleFactor);

    const int f = downsampleFactor;
    const int width = lhsRect.right - lhsRect.left;
    const int height = lhsRect.bottom - lhsRect.top;
    const ZSampler s = {lhsBuffer, lhsFormat.width, lhsRect.left, lhsRect.top, rhsBuffer, rhsFormat.width,
                        rhsRect.left, rhsRect.top, ZImageBytesPerPixel(lhsFormat.type), ~(f - 1)};
    diffRect = ZRECT_NOTHING;

    int y = 0;
    while (y < height && !s.rowDiffers(y, width, f)) y += f;
    if (y >= height) return false;
    diffRect.top = y;
    ZASSERT(ZWITHIN( 0, diffRect.top, height-1 ));

    diffRect.bottom = diffRect.top + 1;
    for (y = height - f; y > diffRect.top; y -= f) {
        if (s.rowDiffers(y, width, f)) {
            diffRect.bottom = y + f;
            break;
        }
    }
    for (int x = 0; x < width; x += f) {
        if (s.columnDiffers(x, diffRect.top, diffRect.bottom, f)) {
            diffRect.left = x;
            break;
        }
    }
    ZASSERT(diffRect.left != INT_MAX);
    diffRect.right = diffRect.left + 1;
    for (int x = width - f; x > diffRect.left; x -= f) {
        if (s.columnDiffers(x, diffRect.top, diffRect.bottom, f)) {
            diffRect.right = x + f;
            break;
        }
    }
    return true;
}

void ZFragExplodeList(std::list<ZFrag>& list, int largestWidth, int largestHeight) {
    ZTRACE();
    ZPRECONDITION(largestWidth > 0 && largestHeight > 0);
    for (auto it = list.begin(); it != list.end();) {
        const ZFrag frag = *it;
        const int width = frag.rect.right - frag.rect.left;
        const int height = frag.rect.bottom - frag.rect.top;
        if (width <= largestWidth && height <= largestHeight) {
            ++it;
            continue;
        }
        const int numWide = (width + largestWidth - 1) / largestWidth;
        const int numHigh = (height + largestHeight - 1) / largestHeight;
        ZASSERT(numWide > 0 && numHigh > 0);
        for (int j = 0; j < numHigh; ++j) {
            for (int i = 0; i < numWide; ++i) {
                ZFrag tile;
                tile.id = frag.id;
                tile.rect.left = frag.rect.left + i * largestWidth;
                tile.rect.top = frag.rect.top + j * largestHeight;
                tile.rect.right = ZMin(frag.rect.right, tile.rect.left + largestWidth);
                tile.rect.bottom = ZMin(frag.rect.bottom, tile.rect.top + largestHeight);
                list.insert(it, tile);
            }
        }
        it = list.erase(it);
    }
}
