// The pictures and the sound of the default skin, drawn from code.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "ZSkinCanvas.h"

// One picture of the skin: its file name and whether its transparency
// matters (the pointer); every other picture is stored opaque.
struct ZSkinPicture {
    std::string file;
    ZSkinCanvas canvas;
    bool keepAlpha = false;
};

// Frame sizes the template refers to.
constexpr int ZSKIN_BUTTON_WIDTH = 84;
constexpr int ZSKIN_BUTTON_HEIGHT = 22;
constexpr int ZSKIN_SMALL_BUTTON = 16;
constexpr int ZSKIN_EDGE = 6;
constexpr int ZSKIN_SCROLL_THICKNESS = 12;
constexpr int ZSKIN_SCROLL_HANDLE = 28;
constexpr int ZSKIN_PROFILE = 64;

std::vector<ZSkinPicture> ZSkinDrawPictures();
// A RIFF/WAVE file of 16-bit mono PCM: the ring of an incoming call.
std::string ZSkinRingTone();
