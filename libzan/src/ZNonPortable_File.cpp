// Directories, deleting and moving files, file mappings, folder listings and
// the locked log descriptor, over POSIX.
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "ZNonPortable_Base.h"
#include "ZNonPortable_File.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"

namespace {

struct ZFileView {
    void* base;
    std::size_t length;
};

}  // namespace

struct ZFileMapRecord {
    int fd = -1;
    bool write = false;
    // Each pointer handed out by ZFileMapLock, to the view it lies in.
    std::map<void*, ZFileView> views;
};

namespace {

bool isRegularFile(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

std::int64_t fileSizeOf(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 ? static_cast<std::int64_t>(st.st_size) : 0;
}

std::int64_t fileTimeOf(std::int64_t seconds, std::int64_t nanoseconds) {
    return (seconds + ZTIME_UNIX_EPOCH_SECONDS) * 10000000LL + nanoseconds / 100;
}

}  // namespace

// ---- directories and files -----------------------------------------------------

bool ZDirCreate(const std::wstring& path) {
    return mkdir(ZToUTF8(path).c_str(), 0777) == 0 || errno == EEXIST;
}

bool ZFileDelete(const std::wstring& path) {
    ZPRECONDITION(!path.empty( ));
    return unlink(ZToUTF8(path).c_str()) == 0;
}

bool ZFileCreateNew(const std::wstring& path) {
    ZPRECONDITION(!path.empty( ));
    // O_EXCL refuses any entry, a symbolic link too, whatever it points at.
    const int fd = open(ZToUTF8(path).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0) return false;
    close(fd);
    return true;
}

bool ZFileMove(const std::wstring& fromPath, const std::wstring& toPath) {
    ZPRECONDITION(!fromPath.empty( ) && !toPath.empty( ));
    const std::string from = ZToUTF8(fromPath);
    const std::string to = ZToUTF8(toPath);
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
    if (errno != EINVAL && errno != ENOSYS && errno != ENOTSUP) return false;
    // A file system without the no-replace rename: a hard link refuses an
    // existing target just the same.
    if (link(from.c_str(), to.c_str()) != 0) return false;
    if (unlink(from.c_str()) == 0) return true;
    unlink(to.c_str());
    return false;
}

// ---- file mappings -------------------------------------------------------------

namespace {

// Sizes the file open at fd and hands it to a new mapping; on failure the
// descriptor is closed and a file made here removed again.
ZFileMap finishCreate(const std::wstring& path, const std::string& narrow, int fd, bool created, std::int64_t size) {
    ZFileMap fileMap = new ZFileMapRecord;
    fileMap->write = true;
    if (fd >= 0) {
        if (isRegularFile(fd) && flock(fd, LOCK_EX | LOCK_NB) == 0 && ftruncate(fd, 0) == 0) {
            if (posix_fallocate(fd, 0, static_cast<off_t>(size)) == 0) {
                fileMap->fd = fd;
                return fileMap;
            }
            const std::int64_t position = fileSizeOf(fd);
            ZLOG(L"WARNING Unable to allocate " << static_cast<long long>(size) << L"bytes, only got "
                                                 << static_cast<long long>(position) << L"bytes, closing.");
        }
        ZWARNASSERT_T(close(fd) == 0, "CloseHandle( fileMap->hFile )");
    }
    ZLOG(L"WARNING Unable to create file mapping for '" << path << L"', closing.");
    delete fileMap;
    if (created) unlink(narrow.c_str());
    return nullptr;
}

}  // namespace

ZFileMap ZFileMapCreate(const std::wstring& path, std::int64_t size) {
    ZPRECONDITION(!path.empty( ));
    ZPRECONDITION(size > 0);
    const std::string narrow = ZToUTF8(path);
    // Only a file made here may be removed again on failure: a file that was
    // there before (or could not even be opened) belongs to someone else. A
    // symbolic link in the file's place is never followed.
    bool created = false;
    int fd = open(narrow.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd >= 0) {
        created = true;
    } else if (errno == EEXIST) {
        fd = open(narrow.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
    }
    return finishCreate(path, narrow, fd, created, size);
}

ZFileMap ZFileMapCreateNew(const std::wstring& path, std::int64_t size, bool* nameTaken) {
    ZPRECONDITION(!path.empty( ));
    ZPRECONDITION(size > 0);
    if (nameTaken) *nameTaken = false;
    const std::string narrow = ZToUTF8(path);
    // One open, kept: the file written is the file made, whatever is put in
    // its place by name later.
    const int fd = open(narrow.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (fd < 0 && errno == EEXIST) {
        if (nameTaken) *nameTaken = true;
        return nullptr;
    }
    return finishCreate(path, narrow, fd, fd >= 0, size);
}

ZFileMap ZFileMapOpen(const std::wstring& path, bool write) {
    ZPRECONDITION(!path.empty( ));
    ZFileMap fileMap = new ZFileMapRecord;
    fileMap->write = write;
    // Non-blocking so that a FIFO in the file's place cannot hang the open.
    const int fd = open(ZToUTF8(path).c_str(), (write ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd >= 0) {
        // A writer shares the file with nobody; readers share it with readers.
        if (isRegularFile(fd) && flock(fd, (write ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) {
            fileMap->fd = fd;
            return fileMap;
        }
        ZWARNASSERT_T(close(fd) == 0, "CloseHandle( fileMap->hFile )");
    }
    ZLOG(L"WARNING Unable to open file mapping for '" << path << L"', write=" << (write ? L"TRUE" : L"FALSE")
                                                       << L", closing.");
    delete fileMap;
    return nullptr;
}

std::int64_t ZFileMapGetSize(ZFileMap fileMap) {
    ZPRECONDITION(fileMap);
    return fileSizeOf(fileMap->fd);
}

void* ZFileMapLock(ZFileMap fileMap, std::int64_t offset, std::int64_t size) {
    ZPRECONDITION(fileMap);
    if (size <= 0 || size > INT32_MAX) return nullptr;
    // A view past the end of the file maps, but touching it raises SIGBUS.
    const std::int64_t fileSize = fileSizeOf(fileMap->fd);
    if (offset < 0 || offset > fileSize - size) {
        ZLOG(L"WARNING Range of " << static_cast<long long>(size) << L" bytes at "
                                  << static_cast<long long>(offset) << L" lies outside the file of "
                                  << static_cast<long long>(fileSize) << L" bytes, ignoring.");
        return nullptr;
    }
    const std::int64_t granularity = sysconf(_SC_PAGESIZE);
    const std::int64_t base = offset - offset % granularity;
    const std::int64_t delta = offset - base;
    const std::size_t length = static_cast<std::size_t>(size + delta);
    void* view = mmap(nullptr, length, fileMap->write ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fileMap->fd,
                      static_cast<off_t>(base));
    if (view == MAP_FAILED) return nullptr;
    void* pointer = static_cast<char*>(view) + delta;
    fileMap->views[pointer] = ZFileView{view, length};
    return pointer;
}

void ZFileMapUnlock(ZFileMap fileMap, void* lock) {
    ZPRECONDITION(fileMap && lock);
    auto it = fileMap->views.find(lock);
    const bool known = it != fileMap->views.end();
    const ZFileView trueView = known ? it->second : ZFileView{nullptr, 0};
    if (known) fileMap->views.erase(it);
    ZWARNASSERT_T(known && munmap(trueView.base, trueView.length) == 0, "UnmapViewOfFile( trueView)");
}

bool ZFileMapWrite(ZFileMap fileMap, std::int64_t offset, const void* data, std::int64_t size) {
    ZPRECONDITION(fileMap && (data || size == 0));
    if (!fileMap->write || offset < 0 || size < 0 || offset > fileSizeOf(fileMap->fd) - size) return false;
    const char* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t written = pwrite(fileMap->fd, bytes, static_cast<std::size_t>(size), static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes += written;
        offset += written;
        size -= written;
    }
    return true;
}

void ZFileMapClose(ZFileMap fileMap) {
    ZPRECONDITION(fileMap);
    for (const auto& [pointer, view] : fileMap->views) munmap(view.base, view.length);
    fileMap->views.clear();
    ZWARNASSERT_T(close(fileMap->fd) == 0, "CloseHandle( fm->hFile )");
    delete fileMap;
}

// ---- helpers of the portable file code and the log -------------------------------

bool _ZDirListEntries(const std::wstring& folder, std::map<std::wstring, ZFileInfo>& entries) {
    entries.clear();
    const std::string narrow = folder.empty() ? std::string(".") : ZToUTF8(folder);
    const int dirFd = open(narrow.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0) return false;
    DIR* dir = fdopendir(dirFd);
    if (!dir) {
        close(dirFd);
        return false;
    }
    bool ok = true;
    for (;;) {
        errno = 0;
        const dirent* entry = readdir(dir);
        if (!entry) {
            ok = errno == 0;
            break;
        }
        // A leading dot is this platform's hidden attribute; it also skips "." and "..".
        if (entry->d_name[0] == '.') continue;
        struct statx st;
        if (statx(dirFd, entry->d_name, 0, STATX_BASIC_STATS | STATX_BTIME, &st) != 0) continue;
        ZFileInfo info;
        const statx_timestamp& born = (st.stx_mask & STATX_BTIME) ? st.stx_btime : st.stx_mtime;
        info.creationTime = fileTimeOf(born.tv_sec, born.tv_nsec);
        info.lastWriteTime = fileTimeOf(st.stx_mtime.tv_sec, st.stx_mtime.tv_nsec);
        info.isFile = !S_ISDIR(st.stx_mode);
        entries[ZFromUTF8(entry->d_name)] = info;
    }
    closedir(dir);
    return ok;
}

std::FILE* _ZFileOpenLocked(const std::wstring& path) {
    // Emptied only once the lock is ours, so a running holder keeps its file.
    // The user's own: a log records whom they talk to.
    const int fd = open(ZToUTF8(path).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) return nullptr;
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || ftruncate(fd, 0) != 0) {
        close(fd);
        return nullptr;
    }
    std::FILE* fp = fdopen(fd, "w");
    if (!fp) close(fd);
    return fp;
}

std::FILE* _ZFileOpenExclusiveRead(const std::wstring& path, bool& locked) {
    locked = false;
    const std::string narrow = ZToUTF8(path);
    const int fd = open(narrow.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return nullptr;
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
        // Another opener may have moved the file away between our open and
        // our lock: the lock counts only while the path still names our file.
        struct stat opened;
        struct stat named;
        locked = fstat(fd, &opened) == 0 && stat(narrow.c_str(), &named) == 0 && opened.st_dev == named.st_dev &&
                 opened.st_ino == named.st_ino;
    }
    std::FILE* fp = fdopen(fd, "rb");
    if (!fp) {
        close(fd);
        locked = false;
    }
    return fp;
}
