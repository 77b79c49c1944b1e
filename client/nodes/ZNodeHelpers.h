// Small pieces several node classes share: the placement bits read from
// "$align" / "$valign" / "$mode", buddy names as shown, and frame sizes of
// store images.
//
// Threading: UI thread only.
#pragma once

#include <cstdint>
#include <string>

#include "ZPortable_Rect.h"

class ZInstance;
struct ZNotifyHandle;

// Watch codes: redraw the window, or run its update pass.
constexpr unsigned int ZNODE_REDRAW = 1;
constexpr unsigned int ZNODE_UPDATE = 2;

// Placement bits of a horizontal and a vertical alignment text, compared
// whole and without regard to case; "copy" adds the no-blend bit.
std::uint32_t ZNodeAlignFlags(const std::wstring& align, const std::wstring& valign);
std::uint32_t ZNodeModeFlags(const std::wstring& mode);

// The name shown for a buddy: the user part when the domain is the
// service's own (ZTEMPLATE_SERVICE_DOMAIN).
std::wstring ZNodeBuddyName(const std::wstring& identifier);

// The size of one frame of a store image reference ("name" or
// "name(left,top,right,bottom)"): the reference's rectangle, else the whole
// image. False when the image is neither in the store nor a readable file.
bool ZNodeImageFrameSize(ZInstance* instance, const std::wstring& reference, int& width, int& height);

// A rectangle fit to be a drawing target: right raised to left, bottom to top.
ZRect ZNodeNormalised(ZRect rect);
