// Platform layer: the modal open and save file choosers of the file
// transfer commands.
//
// Threading: UI thread; timers and notifications go on while a chooser is up.
#pragma once

#include <string>

// The chosen existing file's full path, empty when cancelled.
std::wstring ZSystemOpenFileDialog(const std::wstring& title);
// The chosen path to save under, empty when cancelled. The proposed name
// comes from a peer: only its last component is offered, never a path, and
// it is offered in the user's download folder; an existing file is replaced
// only after the user said so.
std::wstring ZSystemSaveFileDialog(const std::wstring& title, const std::wstring& proposed);

// ---- inside the layer (and its tests) ------------------------------------------

// The last path component of a name from elsewhere, without control
// characters, cut to 260 units; empty for "." and "..".
std::wstring _ZFileDialogSafeName(const std::wstring& proposed);

// The user's download folder ("xdg-user-dir DOWNLOAD", else ~/Downloads),
// created when missing; never the program's working folder. Empty when
// there is none.
std::wstring _ZFileDialogDownloadFolder();
