// Portable helpers of the base library: text, byte buffers, parsers,
// rectangles and the image format record.
#pragma once

#include "ZPortable_Bytes.h"
#include "ZPortable_Rect.h"
#include "ZPortable_Text.h"
#include "ZPortable_Parse.h"
#include "ZPortable_Helpers.h"
