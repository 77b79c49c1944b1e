// The platform layer: flat functions over opaque handles for everything the
// operating system gives. Portable code includes this header (or one family
// header) and never a system header of sockets, X11 or ALSA.
#pragma once

#include "ZNonPortable_Base.h"
#include "ZNonPortable_Message.h"
#include "ZNonPortable_Runtime.h"
#include "ZNonPortable_Thread.h"
#include "ZNonPortable_File.h"
#include "ZNonPortable_Net.h"
#include "ZNonPortable_Window.h"
#include "ZNonPortable_Screen.h"
#include "ZNonPortable_FileReplace.h"
#include "ZNonPortable_Hotkey.h"
#include "ZNonPortable_Capture.h"
#include "ZNonPortable_Sound.h"
#include "ZNonPortable_Tray.h"
#include "ZNonPortable_FileDialog.h"
