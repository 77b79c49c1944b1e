// zandrel-skin: draws the default skin's pictures and sound from code.
//   zandrel-skin <folder>   writes every resource into the folder (skin/)
// The template itself (skin/template.xml) is written by hand; this program
// makes only what it refers to: button sprite sheets, window frame pieces,
// scroll bar pictures, the default buddy pictures, the viewer's pointer and
// the ring of an incoming call.
#include <png.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "ZImage.h"
#include "ZSkinArt.h"

namespace {

bool writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    return static_cast<bool>(out);
}

void appendBytes(png_structp png, png_bytep data, png_size_t length) {
    static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<const char*>(data), length);
}

// The image family's encoder stores colour only; the pointer needs its
// transparency (the sharing side requires an RGBA picture), so it is written
// here with the alpha channel.
bool encodeWithAlpha(const ZSkinCanvas& canvas, std::string& out) {
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        return false;
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return false;
    }
    png_set_write_fn(png, &out, appendBytes, nullptr);
    png_set_compression_level(png, 9);
    png_set_IHDR(png, info, canvas.width(), canvas.height(), 8, PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < canvas.height(); ++y)
        png_write_row(png, reinterpret_cast<png_const_bytep>(canvas.pixels().data()) +
                               static_cast<std::size_t>(y) * canvas.width() * 4);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "Usage: zandrel-skin <folder>   (writes the skin's pictures and sound)\n");
        return 2;
    }
    const std::string folder = std::string(argv[1]) + "/";
    for (const ZSkinPicture& picture : ZSkinDrawPictures()) {
        std::string png;
        const ZSkinCanvas& c = picture.canvas;
        if (picture.keepAlpha) {
            if (!encodeWithAlpha(c, png)) png.clear();
        } else {
            ZImageConvert(c.format(), reinterpret_cast<const unsigned char*>(c.pixels().data()),
                          ZRect{0, 0, c.width(), c.height()}, ZIT_PNG, png);
        }
        if (png.empty() || !writeFile(folder + picture.file, png)) {
            std::fprintf(stderr, "zandrel-skin: cannot write %s%s\n", folder.c_str(), picture.file.c_str());
            return 1;
        }
    }
    if (!writeFile(folder + "phone.wav", ZSkinRingTone())) {
        std::fprintf(stderr, "zandrel-skin: cannot write %sphone.wav\n", folder.c_str());
        return 1;
    }
    return 0;
}
