// Platform layer: files only their owner may read. The settings (with the
// stored password), the logs and the chat logs are made so when created and
// tightened when found open to others.
//
// Threading: every function may be called from any thread.
#pragma once

#include <cstdio>
#include <string>

// Opens a file for reading and appending, created readable by the user only;
// null when it cannot be opened.
std::FILE* ZFileOpenAppendPrivate(const std::wstring& path);
// Makes a folder readable by the user only; true when it exists (made now or before).
bool ZDirCreatePrivate(const std::wstring& path);
// Takes away every permission of group and others from a file or folder;
// changed tells whether it had any. False when it cannot be read or changed.
bool ZFileMakePrivate(const std::wstring& path, bool& changed);
// The permission bits of a file or folder; -1 when it does not exist.
int ZFileGetMode(const std::wstring& path);
