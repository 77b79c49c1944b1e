// Images kept in the shared store: an image called N is the variable N (raw
// pixel bytes), N + "_Format" (the 12-byte ZImageFormat) and N + "_DirtyRect"
// (the rectangle changed by the last in-place write, as "(l,t,r,b)"). A
// reader's reference may select a part, "name(left,top,right,bottom)". An
// image not in the store whose name is a file is loaded from it on first read.
//
// Threading: any thread. Between a successful ReadOpen or a WriteOpen and the
// matching close the calling thread holds the store lock, so it must not wait
// for another thread that uses the store; the lock is re-entrant.
#pragma once

#include <string>

#include "ZPortable_Rect.h"

class ZInstance;

// Stores a complete image in one go: format first, then the pixels.
void ZImageTools_instanceWrite(ZInstance* instance, const std::wstring& imageName, const ZImageFormat& format,
                               const unsigned char* buffer);
// Locks the store and returns the image's byte string for writing in place,
// with its stored format and dirty rectangle (zero for a new image).
std::string& ZImageTools_instanceWriteOpen(ZInstance* instance, const std::wstring& imageName, ZImageFormat& format,
                                           ZRect& dirtyRect);
// Publishes format and dirty rectangle, notifies the image's watchers, unlocks.
void ZImageTools_instanceWriteClose(ZInstance* instance, const std::wstring& imageName, const ZImageFormat& format,
                                    const ZRect& dirtyRect);
// Locks the store and returns the image's first pixel byte, the selected
// rectangle moved by whole cells and clipped to the image; null (store
// unlocked) when the image is not available or its format does not match
// its bytes.
const unsigned char* ZImageTools_instanceReadOpen(ZInstance* instance, const std::wstring& name,
                                                  ZImageFormat& format, ZRect& rect, int cellX, int cellY);
void ZImageTools_instanceReadClose(ZInstance* instance, const std::wstring& name);
// Whether the image is available (loading it from its file if need be).
bool ZImageTools_instanceReadCheck(ZInstance* instance, const std::wstring& name, ZImageFormat& format, ZRect& rect);
// Copies the whole source image (any rectangle in the reference ignored).
void ZImageTools_instanceCopy(ZInstance* instance, const std::wstring& destination, const std::wstring& source);
