// Durable whole-file replacement over POSIX: write a sibling file, fsync it,
// rename it over the target, fsync the folder that holds both.
#include "ZNonPortable_FileReplace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ZPortable_Text.h"
#include "ZUtil.h"

namespace {

std::wstring errorText(int error) {
    char buffer[256];
    return ZFromUTF8(strerror_r(error, buffer, sizeof buffer));
}

// The folder part of a path, "." for a bare file name.
std::string folderOf(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

std::FILE* ZFileOpenWrite(const std::wstring& path) {
    ZTRACE();
    ZPRECONDITION(!path.empty( ));
    // A new file starts private: the settings file holds the user's password.
    const int fd = open(ZToUTF8(path).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    std::FILE* fp = fdopen(fd, "wb");
    if (!fp) ::close(fd);
    return fp;
}

bool ZFileSync(std::FILE* fp) {
    ZTRACE();
    ZPRECONDITION_PTR(fp);
    if (std::fflush(fp) != 0) {
        ZLOG(L"WARNING Flushing a file failed (" << errorText(errno) << L").");
        return false;
    }
    if (fsync(fileno(fp)) != 0) {
        ZLOG(L"WARNING Syncing a file to disk failed (" << errorText(errno) << L").");
        return false;
    }
    return true;
}

bool ZFileReplace(const std::wstring& fromPath, const std::wstring& toPath) {
    ZTRACE();
    ZPRECONDITION(!fromPath.empty( ) && !toPath.empty( ));
    const std::string from = ZToUTF8(fromPath);
    const std::string to = ZToUTF8(toPath);
    // Whoever made the old file readable by others, or not, still decides.
    struct stat old;
    if (stat(to.c_str(), &old) == 0) chmod(from.c_str(), old.st_mode & 07777);
    if (std::rename(from.c_str(), to.c_str()) != 0) {
        ZLOG(L"WARNING Replacing '" << toPath << L"' with '" << fromPath << L"' failed (" << errorText(errno)
                                    << L").");
        return false;
    }
    // The new name lives in the folder: sync it too, or a power cut could
    // bring the old file back. The rename has happened either way.
    const int folder = open(folderOf(to).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
        if (fsync(folder) != 0) ZLOG(L"WARNING Syncing the folder of '" << toPath << L"' failed (" << errorText(errno) << L").");
        ::close(folder);
    }
    return true;
}

bool ZFileSetExecutable(const std::wstring& path) {
    ZTRACE();
    ZPRECONDITION(!path.empty( ));
    if (chmod(ZToUTF8(path).c_str(), 0700) != 0) {
        ZLOG(L"WARNING Making '" << path << L"' executable failed (" << errorText(errno) << L").");
        return false;
    }
    return true;
}
