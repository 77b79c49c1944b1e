// Where a received file goes when nobody chose the path: the sender's
// proposed name is reduced to a safe last component and placed inside the
// download folder, under a name no existing entry has.
//
// Stateless; any thread.
#pragma once

#include <string>

// The name given to a file whose proposed name leaves nothing usable.
constexpr const wchar_t* ZFILE_UNNAMED = L"received file";

// folder + "/" + the safe form of proposed ("received file" when empty);
// when that name is taken, "name (2).ext", "name (3).ext" and so on. Empty
// when no free name is found.
std::wstring ZFileReceivedPath(const std::wstring& folder, const std::wstring& proposed);

// Whether path names an entry directly inside folder: one component, not
// "." or "..", no separator.
bool ZFileIsInside(const std::wstring& folder, const std::wstring& path);
