#include "ZFontFace.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_SYNTHESIS_H
#include FT_TRUETYPE_TABLES_H

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>

#include "ZNonPortable_File.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"

namespace {

// Which file fontconfig gives for a family and style, and whether that file
// really has the weight and slant asked for (else they are synthesised).
struct ZFontMatch {
    std::string file;
    int index = 0;
    bool isBold = false;
    bool isItalic = false;
    bool found = false;
};

FT_Library ZFontLibrary() {
    static FT_Library library = [] {
        FT_Library made = nullptr;
        if (FT_Init_FreeType(&made) != 0) made = nullptr;
        return made;
    }();
    return library;
}

const ZFontMatch& ZFontFind(const std::wstring& family, bool bold, bool italic) {
    static std::map<std::string, ZFontMatch> matches;
    // fontconfig's own configuration lives until the process ends.
    static const bool initialised = [] {
        const bool ok = FcInit() == FcTrue;
        std::atexit(FcFini);
        return ok;
    }();
    if (!initialised) {
        static const ZFontMatch none;
        return none;
    }
    std::string key = ZToUTF8(ZToLower(family)) + (bold ? "|b" : "|") + (italic ? "i" : "");
    auto found = matches.find(key);
    if (found != matches.end()) return found->second;

    ZFontMatch match;
    FcPattern* pattern = FcPatternCreate();
    const std::string name = ZToUTF8(family);
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(name.c_str()));
    FcPatternAddInteger(pattern, FC_WEIGHT, bold ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
    FcPatternAddInteger(pattern, FC_SLANT, italic ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
    FcPatternAddBool(pattern, FC_SCALABLE, FcTrue);
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* best = FcFontMatch(nullptr, pattern, &result);
    if (best) {
        FcChar8* file = nullptr;
        int index = 0, weight = FC_WEIGHT_REGULAR, slant = FC_SLANT_ROMAN;
        if (FcPatternGetString(best, FC_FILE, 0, &file) == FcResultMatch && file) {
            match.file = reinterpret_cast<const char*>(file);
            match.found = true;
        }
        FcPatternGetInteger(best, FC_INDEX, 0, &index);
        FcPatternGetInteger(best, FC_WEIGHT, 0, &weight);
        FcPatternGetInteger(best, FC_SLANT, 0, &slant);
        match.index = index;
        match.isBold = weight >= FC_WEIGHT_DEMIBOLD;
        match.isItalic = slant != FC_SLANT_ROMAN;
        FcPatternDestroy(best);
    }
    FcPatternDestroy(pattern);
    return matches.emplace(key, match).first->second;
}

int ZFontRound26(FT_Pos value) { return static_cast<int>((value + 32) >> 6); }

// A font file mapped once for every face made from it: FreeType maps the
// file again for each face it opens by name, and a skin opens a face per
// font of each node, so the same pages would count a hundred times in the
// process's resident size. Mapped until the process ends; null when the
// file cannot be read.
struct ZFontFile {
    ZFileMap map = nullptr;
    const FT_Byte* bytes = nullptr;
    std::size_t size = 0;
};

const ZFontFile& ZFontMap(const std::string& path) {
    // Never destroyed: the mappings outlive every face, even at exit.
    static auto& files = *new std::map<std::string, ZFontFile>;
    auto found = files.find(path);
    if (found != files.end()) return found->second;
    ZFontFile file;
    if ((file.map = ZFileMapOpen(ZFromUTF8(path), false))) {
        const std::int64_t size = ZFileMapGetSize(file.map);
        if (size > 0) file.bytes = static_cast<const FT_Byte*>(ZFileMapLock(file.map, 0, size));
        if (file.bytes) {
            file.size = static_cast<std::size_t>(size);
        } else {
            ZFileMapClose(file.map);
            file.map = nullptr;
        }
    }
    return files.emplace(path, file).first->second;
}

}  // namespace

struct ZFontFace::Impl {
    FT_Face face = nullptr;
    bool emboldened = false;
    bool slanted = false;
    bool monochrome = false;
};

ZFontFace::ZFontFace() : _impl(std::make_unique<Impl>()) {}

ZFontFace::~ZFontFace() {
    if (_impl->face) FT_Done_Face(_impl->face);
}

bool ZFontFace::open(const ZFontFaceStyle& style) {
    ZTRACE();
    if (_impl->face) FT_Done_Face(_impl->face);
    _impl->face = nullptr;
    _glyphs.clear();
    FT_Library library = ZFontLibrary();
    if (!library) {
        ZLOG(L"WARNING Cannot start the font rasteriser, drawing no text.");
        return false;
    }
    ZFontMatch match = ZFontFind(style.family, style.bold, style.italic);
    if (!match.found) match = ZFontFind(L"sans-serif", style.bold, style.italic);
    static const ZFontFile none;
    const ZFontFile& file = match.found ? ZFontMap(match.file) : none;
    if (!file.bytes || FT_New_Memory_Face(library, file.bytes, static_cast<FT_Long>(file.size), match.index,
                                          &_impl->face) != 0) {
        _impl->face = nullptr;
        ZLOG(L"WARNING No font file for '" << style.family << L"', drawing no text.");
        return false;
    }
    FT_Face face = _impl->face;
    _impl->emboldened = style.bold && !match.isBold;
    _impl->slanted = style.italic && !match.isItalic;
    _impl->monochrome = style.monochrome;

    // The line box: the Windows metrics of the face when it has them (what a
    // cell height means there), else the horizontal header's.
    int ascender = face->ascender;
    int descender = -face->descender;
    const TT_OS2* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
    if (os2 && os2->usWinAscent + os2->usWinDescent > 0) {
        ascender = os2->usWinAscent;
        descender = os2->usWinDescent;
    }
    const int units = std::max(1, ascender + descender);
    const int unitsPerEm = face->units_per_EM > 0 ? face->units_per_EM : units;

    int size = style.size == 0 ? 16 : style.size;
    double emPixels;
    if (size > 0) {
        emPixels = static_cast<double>(size) * unitsPerEm / units;
        _lineHeight = size;
    } else {
        emPixels = -static_cast<double>(size);
        _lineHeight = std::max(1, static_cast<int>(std::lround(emPixels * units / unitsPerEm)));
    }
    FT_Set_Char_Size(face, 0, static_cast<FT_F26Dot6>(std::lround(emPixels * 64)), 72, 72);
    const double scale = emPixels / unitsPerEm;
    _ascent = static_cast<int>(std::lround(ascender * scale));
    // Keep the baseline inside the line even after rounding.
    _ascent = std::clamp(_ascent, 0, _lineHeight);

    _underlineThickness = std::max(1, static_cast<int>(std::lround(face->underline_thickness * scale)));
    _underlinePosition = std::max(1, static_cast<int>(std::lround(-face->underline_position * scale)));
    if (os2 && os2->yStrikeoutSize > 0) {
        _strikeThickness = std::max(1, static_cast<int>(std::lround(os2->yStrikeoutSize * scale)));
        _strikePosition = static_cast<int>(std::lround(os2->yStrikeoutPosition * scale));
    } else {
        _strikeThickness = _underlineThickness;
        _strikePosition = _ascent / 3;
    }
    return true;
}

const ZFontGlyph& ZFontFace::glyph(char32_t codePoint) {
    auto found = _glyphs.find(codePoint);
    if (found != _glyphs.end()) return found->second;
    // A text of many different characters must not grow the cache without end.
    if (_glyphs.size() > 4096) _glyphs.clear();
    ZFontGlyph& made = _glyphs[codePoint];
    FT_Face face = _impl->face;
    if (!face) return made;
    const FT_Int32 loadFlags = _impl->monochrome ? (FT_LOAD_TARGET_MONO | FT_LOAD_MONOCHROME) : FT_LOAD_TARGET_NORMAL;
    if (FT_Load_Char(face, codePoint, loadFlags | FT_LOAD_NO_BITMAP) != 0) return made;
    FT_GlyphSlot slot = face->glyph;
    if (_impl->emboldened) FT_GlyphSlot_Embolden(slot);
    if (_impl->slanted) FT_GlyphSlot_Oblique(slot);
    made.advance = ZFontRound26(slot->advance.x);
    if (FT_Render_Glyph(slot, _impl->monochrome ? FT_RENDER_MODE_MONO : FT_RENDER_MODE_NORMAL) != 0) return made;
    const FT_Bitmap& bitmap = slot->bitmap;
    made.left = slot->bitmap_left;
    made.top = slot->bitmap_top;
    made.width = static_cast<int>(bitmap.width);
    made.height = static_cast<int>(bitmap.rows);
    made.coverage.resize(static_cast<std::size_t>(made.width) * made.height);
    for (int y = 0; y < made.height; ++y) {
        const unsigned char* row = bitmap.buffer + static_cast<std::ptrdiff_t>(y) * bitmap.pitch;
        std::uint8_t* out = made.coverage.data() + static_cast<std::size_t>(y) * made.width;
        if (bitmap.pixel_mode == FT_PIXEL_MODE_MONO) {
            for (int x = 0; x < made.width; ++x) out[x] = (row[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
        } else {
            std::copy(row, row + made.width, out);
        }
    }
    return made;
}
