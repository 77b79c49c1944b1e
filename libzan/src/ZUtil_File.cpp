// Whole-file helpers over the standard C streams.
#include <cstdio>
#include <list>

#include "ZNonPortable_File.h"
#include "ZNonPortable_FileModes.h"
#include "ZPortable_Parse.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"
#include "ZUtil_File.h"

namespace {

constexpr std::size_t kReadChunk = 4096;

// Streams are opened close-on-exec ('e'), so no child process inherits them.
std::FILE* openFile(const std::wstring& path, const char* mode) {
    return std::fopen(ZToUTF8(path).c_str(), mode);
}

}  // namespace

bool ZFileExists(const std::wstring& path) {
    ZPRECONDITION(!path.empty( ));
    std::FILE* fp = openFile(path, "re");
    if (!fp) return false;
    // A folder opens like a file here; only reading tells them apart.
    std::getc(fp);
    const bool readable = !std::ferror(fp);
    std::fclose(fp);
    return readable;
}

bool ZFileLoad(const std::wstring& path, std::string& out) {
    ZPRECONDITION(!path.empty( ));
    out.clear();
    std::FILE* fp = openFile(path, "rbe");
    if (!fp) return false;
    for (;;) {
        const std::size_t old = out.size();
        out.resize(old + kReadChunk);
        const std::size_t got = std::fread(out.data() + old, 1, kReadChunk, fp);
        out.resize(old + got);
        if (got < kReadChunk) break;
    }
    const bool readable = !std::ferror(fp);
    ZWARNASSERT(!fclose( fp ));
    if (!readable) out.clear();
    return readable;
}

bool ZDirCreateRecursive(const std::wstring& path) {
    ZPRECONDITION(!path.empty( ));
    std::list<std::wstring> parts;
    ZTokenize(parts, path, L"/\\");
    // The splitting drops a leading '/', which would turn an absolute path
    // into one below the working folder.
    std::wstring prefix = path[0] == L'/' ? L"/" : L"";
    for (const std::wstring& part : parts) {
        prefix += part;
        prefix += L'/';
        ZDirCreate(prefix);
    }
    return true;
}

bool _ZFileValidateDir(const std::wstring& filePath) {
    ZPRECONDITION(!filePath.empty( ));
    const std::size_t slash = filePath.rfind(L'/');
    if (slash == std::wstring::npos || slash == 0) return true;
    return ZDirCreateRecursive(filePath.substr(0, slash));
}

bool ZFileSave(const std::wstring& path, const void* buffer, int length) {
    ZPRECONDITION(!path.empty( ) && path[0] != L'/' && path[0] != L'\\');
    ZPRECONDITION(buffer);
    ZPRECONDITION(length >= 0);
    if (!_ZFileValidateDir(path)) return false;
    std::FILE* fp = openFile(path, "wbe");
    if (!fp) return false;
    const std::size_t written = std::fwrite(buffer, 1, static_cast<std::size_t>(length), fp);
    // Buffered bytes reach the file only at the close: a failed close is a
    // failed save too.
    const bool closed = std::fclose(fp) == 0;
    return closed && written == static_cast<std::size_t>(length);
}

void ZFileAppend(const std::wstring& path, const void* buffer, int length) {
    ZPRECONDITION(!path.empty( ) && path[0] != L'/' && path[0] != L'\\');
    ZPRECONDITION(buffer);
    ZPRECONDITION(length >= 0);
    // Appended files are the user's records (chat logs): they and the folder
    // that holds them are theirs alone.
    const std::size_t slash = path.rfind(L'/');
    if (slash != std::wstring::npos && slash > 0) {
        const std::wstring folder = path.substr(0, slash);
        const std::size_t up = folder.rfind(L'/');
        if (up != std::wstring::npos && up > 0) ZDirCreateRecursive(folder.substr(0, up));
        ZDirCreatePrivate(folder);
    }
    ZWARNASSERT(_ZFileValidateDir( path ));
    std::FILE* fp = ZFileOpenAppendPrivate(path);
    ZWARNASSERT(fp);
    if (!fp) return;
    const std::size_t written = std::fwrite(buffer, 1, static_cast<std::size_t>(length), fp);
    ZWARNASSERT_T(written == static_cast<std::size_t>(length), "fwrite( buffer, 1, length, fp ) == length");
    ZWARNASSERT(!fclose( fp ));
}

bool ZDirList(const std::wstring& path, std::map<std::wstring, ZFileInfo>& out) {
    out.clear();
    return _ZDirListEntries(path, out);
}
