// Platform layer: replacing a file in one step, so that a reader (or the
// next start after a crash) sees either the whole old file or the whole new
// one, never a part of either.
//
// Threading: every function may be called from any thread; a FILE belongs to
// the thread that opened it.
#pragma once

#include <cstdio>
#include <string>

// Opens a file for binary writing, created (readable by the user only) or
// emptied, close-on-exec; null when it cannot be opened.
std::FILE* ZFileOpenWrite(const std::wstring& path);
// Pushes everything written to the file through to the disk.
bool ZFileSync(std::FILE* fp);
// Renames a file over another, replacing the target atomically, and makes the
// rename itself durable; the new file takes the permission bits of the one it
// replaces. False (and both files as they were) on failure.
bool ZFileReplace(const std::wstring& fromPath, const std::wstring& toPath);
// Makes a file a program only its owner may read, write and run.
bool ZFileSetExecutable(const std::wstring& path);
