// Durable whole-file replacement over POSIX: write a sibling file, fsync it,
// rename it over the target, fsync the folder that holds both.
#include "ZNonPortable_FileReplace.h"

#include <fcntl.h>
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
    // "e" is O_CLOEXEC: no child process inherits the descriptor.
    return std::fopen(ZToUTF8(path).c_str(), "wbe");
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
