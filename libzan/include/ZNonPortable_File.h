// Platform layer: directories, deleting and moving files, memory-mapped
// access to large files, and the few descriptor-level helpers that the
// portable file code and the log file need.
//
// Paths are wide texts, handed to the system as UTF-8. Every descriptor is
// opened close-on-exec.
//
// Threading: the path functions may be called from any thread. A ZFileMap
// and its views belong to one thread (the file-transfer service's); nothing
// here locks them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

// ---- directories and files ---------------------------------------------------

// True when the directory was created or already exists.
bool ZDirCreate(const std::wstring& path);
// True when the file was deleted.
bool ZFileDelete(const std::wstring& path);
// True when an empty file was made at the path, which nothing named before.
bool ZFileCreateNew(const std::wstring& path);
// True when the file was moved; an existing target is never replaced.
bool ZFileMove(const std::wstring& fromPath, const std::wstring& toPath);

// ---- file mappings -----------------------------------------------------------

// An open file with the views mapped from it.
struct ZFileMapRecord;
typedef ZFileMapRecord* ZFileMap;

// Creates (or empties) the file at its full size, read-write; null on failure.
// A symbolic link at the path is never followed.
ZFileMap ZFileMapCreate(const std::wstring& path, std::int64_t size);
// Creates the file at its full size where nothing was named before, through
// one open whose descriptor the mapping keeps; null on failure, with
// *nameTaken set when something already had the name.
ZFileMap ZFileMapCreateNew(const std::wstring& path, std::int64_t size, bool* nameTaken = nullptr);
// Opens an existing regular file; others may read it too while not writing.
ZFileMap ZFileMapOpen(const std::wstring& path, bool write);
// The file's size in bytes, 0 on failure.
std::int64_t ZFileMapGetSize(ZFileMap fileMap);
// Maps a view holding [offset, offset + size) and returns the byte at offset;
// null for a size of 2 GB or more or a range outside the file.
void* ZFileMapLock(ZFileMap fileMap, std::int64_t offset, std::int64_t size);
void ZFileMapUnlock(ZFileMap fileMap, void* lock);
// Writes the bytes into [offset, offset + size) of a map opened for writing,
// without a view: whole pages written this way are never zero-filled or
// read first, as a view's pages are when first touched. False when not all
// of them could be written or the range lies outside the file.
bool ZFileMapWrite(ZFileMap fileMap, std::int64_t offset, const void* data, std::int64_t size);
// Unmaps any view still mapped, closes the file and frees the handle.
void ZFileMapClose(ZFileMap fileMap);

// ---- helpers of the portable file code and the log -----------------------------

// One visible folder entry; times in 100 ns units since 1601-01-01 UTC.
struct ZFileInfo {
    std::int64_t creationTime = 0;
    std::int64_t lastWriteTime = 0;
    bool isFile = false;
};

// Lists the entries of a folder ("" is the working folder) whose names do not
// begin with '.'; false when the folder cannot be read.
bool _ZDirListEntries(const std::wstring& folder, std::map<std::wstring, ZFileInfo>& entries);

// Opens a file for writing, emptied, under an exclusive advisory lock that
// lasts until it is closed; null when it cannot be opened or another open
// file holds the lock.
std::FILE* _ZFileOpenLocked(const std::wstring& path);
// Opens an existing file for reading ("rb"); null when it cannot be opened.
// locked tells whether an exclusive advisory lock was taken on it while the
// path still names it; the lock lasts until the stream is closed.
std::FILE* _ZFileOpenExclusiveRead(const std::wstring& path, bool& locked);
