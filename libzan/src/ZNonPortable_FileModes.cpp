#include "ZNonPortable_FileModes.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ZPortable.h"

std::FILE* ZFileOpenAppendPrivate(const std::wstring& path) {
    const int fd = open(ZToUTF8(path).c_str(), O_RDWR | O_CREAT | O_APPEND | O_CLOEXEC | O_NOCTTY, 0600);
    if (fd < 0) return nullptr;
    std::FILE* fp = fdopen(fd, "a+b");
    if (!fp) close(fd);
    return fp;
}

bool ZDirCreatePrivate(const std::wstring& path) {
    return mkdir(ZToUTF8(path).c_str(), 0700) == 0 || errno == EEXIST;
}

bool ZFileMakePrivate(const std::wstring& path, bool& changed) {
    changed = false;
    const std::string narrow = ZToUTF8(path);
    struct stat info {};
    // A symbolic link is left alone: its target may be anybody's file.
    if (lstat(narrow.c_str(), &info) != 0 || S_ISLNK(info.st_mode)) return false;
    const mode_t mode = info.st_mode & 07777;
    if ((mode & 077) == 0) return true;
    if (chmod(narrow.c_str(), mode & 07700) != 0) return false;
    changed = true;
    return true;
}

int ZFileGetMode(const std::wstring& path) {
    struct stat info {};
    if (stat(ZToUTF8(path).c_str(), &info) != 0) return -1;
    return static_cast<int>(info.st_mode & 07777);
}
