// Small helpers of the image tests: byte buffers and pixel access.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ZImage.h"

using Bytes = std::vector<std::uint8_t>;

inline const unsigned char* U(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }
inline unsigned char* U(std::string& s) { return reinterpret_cast<unsigned char*>(s.data()); }
inline Bytes B(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline std::string S(const Bytes& b) { return std::string(b.begin(), b.end()); }

// A w x h image whose pixel (x, y) holds bytes x*16+y, y*16+x, x^y, then
// 255 - x for 4-byte types: every pixel differs and the picture has no
// symmetry.
inline std::string patterned(int type, int w, int h) {
    const int bpp = ZImageBytesPerPixel(type);
    std::string s;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const char px[4] = {static_cast<char>(x * 16 + y), static_cast<char>(y * 16 + x), static_cast<char>(x ^ y),
                                static_cast<char>(255 - x)};
            s.append(px, bpp);
        }
    return s;
}

inline Bytes pixelAt(const std::string& image, int width, int bpp, int x, int y) {
    const std::size_t at = (static_cast<std::size_t>(y) * width + x) * bpp;
    return Bytes(image.begin() + at, image.begin() + at + bpp);
}
