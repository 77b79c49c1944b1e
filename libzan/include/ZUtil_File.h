// Whole-file helpers on paths relative to the working folder: existence,
// load, save and append (creating missing folders first), recursive folder
// creation and a folder listing. Paths are wide texts opened as UTF-8;
// files are read and written byte for byte.
//
// Threading: any thread; nothing is shared beyond what the system shares.
#pragma once

#include <map>
#include <string>

#include "ZNonPortable_File.h"

// True when the path names a file that can be opened and read (a folder is not one).
bool ZFileExists(const std::wstring& path);
// Reads the whole file into out (emptied first); false when it cannot be read.
bool ZFileLoad(const std::wstring& path, std::string& out);
// Creates every folder along the path, splitting at '/' and '\\'. Always true:
// a folder that cannot be made shows later as a file that cannot be opened.
bool ZDirCreateRecursive(const std::wstring& path);
// Makes sure the folder part (up to the last '/') of a file path exists.
bool _ZFileValidateDir(const std::wstring& filePath);
// Writes the buffer as the whole file of a relative path; true when every
// byte reached the file.
bool ZFileSave(const std::wstring& path, const void* buffer, int length);
// Appends the buffer to the file of a relative path; failures are warnings.
void ZFileAppend(const std::wstring& path, const void* buffer, int length);
// The visible entries (names not beginning with '.') of a folder; "" is the
// working folder. False when the folder cannot be read.
bool ZDirList(const std::wstring& path, std::map<std::wstring, ZFileInfo>& out);
