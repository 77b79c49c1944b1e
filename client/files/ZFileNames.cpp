// Safe names for received files.
#include "ZFileNames.h"

#include <map>

#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZUtil_File.h"

namespace {

constexpr int kMostCopies = 1000;

std::wstring joined(const std::wstring& folder, const std::wstring& name) {
    if (folder.empty()) return name;
    return folder.back() == L'/' ? folder + name : folder + L"/" + name;
}

// "name (n).ext"; a leading dot is part of the name, not an extension.
std::wstring numbered(const std::wstring& name, int n) {
    const std::size_t dot = name.find_last_of(L'.');
    const std::wstring suffix = L" (" + ZToString(n) + L")";
    if (dot == std::wstring::npos || dot == 0) return name + suffix;
    return name.substr(0, dot) + suffix + name.substr(dot);
}

}  // namespace

bool ZFileIsInside(const std::wstring& folder, const std::wstring& path) {
    const std::wstring prefix = folder.empty() || folder.back() == L'/' ? folder : folder + L"/";
    if (path.size() <= prefix.size() || path.compare(0, prefix.size(), prefix) != 0) return false;
    const std::wstring rest = path.substr(prefix.size());
    return rest != L"." && rest != L".." && rest.find_first_of(L"/\\") == std::wstring::npos;
}

std::wstring ZFileReceivedPath(const std::wstring& folder, const std::wstring& proposed) {
    std::wstring name = _ZFileDialogSafeName(proposed);
    if (name.empty()) name = ZFILE_UNNAMED;
    std::map<std::wstring, ZFileInfo> entries;
    _ZDirListEntries(folder, entries);
    for (int n = 1; n <= kMostCopies; ++n) {
        const std::wstring candidate = n == 1 ? name : numbered(name, n);
        const std::wstring path = joined(folder, candidate);
        if (!ZFileIsInside(folder, path)) return std::wstring();
        if (!entries.count(candidate) && !ZFileExists(path)) return path;
    }
    return std::wstring();
}
