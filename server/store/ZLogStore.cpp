#include "ZLogStore.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <tuple>
#include <vector>

namespace {

// Every file costs at least a block, so a flood of empty uploads counts.
constexpr std::int64_t kBlock = 4096;

std::int64_t charge(std::int64_t bytes) { return bytes > kBlock ? bytes : kBlock; }

std::int64_t freeBytesOf(const std::string& folder) {
    struct statvfs info {};
    if (::statvfs(folder.c_str(), &info) != 0) return 0;
    return static_cast<std::int64_t>(info.f_bavail) * static_cast<std::int64_t>(info.f_frsize);
}

}  // namespace

ZLogStore::ZLogStore(const std::string& folder, const Limits& limits, std::function<std::int64_t()> freeSpace)
    : _folder(folder), _limits(limits), _freeSpace(std::move(freeSpace)) {
    if (!_freeSpace) _freeSpace = [f = _folder] { return freeBytesOf(f); };
}

int ZLogStore::scan() {
    _files.clear();
    _stored = 0;
    int removed = 0;
    // (modification time, path, size) of every stored log, to be put oldest first.
    std::vector<std::tuple<std::int64_t, std::string, std::int64_t>> found;
    DIR* top = ::opendir(_folder.c_str());
    if (!top) return 0;
    while (const dirent* user = ::readdir(top)) {
        if (user->d_name[0] == '.') continue;
        const std::string folder = _folder + "/" + user->d_name;
        DIR* inner = ::opendir(folder.c_str());
        if (!inner) continue;
        while (const dirent* file = ::readdir(inner)) {
            const std::string path = folder + "/" + file->d_name;
            if (std::strncmp(file->d_name, ".upload-", 8) == 0) {
                if (::unlink(path.c_str()) == 0) ++removed;
                continue;
            }
            struct stat info {};
            if (file->d_name[0] == '.' || ::lstat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) continue;
            const std::int64_t when = static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
            found.emplace_back(when, path, static_cast<std::int64_t>(info.st_size));
        }
        ::closedir(inner);
    }
    ::closedir(top);
    std::sort(found.begin(), found.end());
    for (const auto& [when, path, size] : found) {
        _files.push_back(File{path, charge(size)});
        _stored += charge(size);
    }
    return removed;
}

void ZLogStore::_removeOldest() {
    const File oldest = std::move(_files.front());
    _files.pop_front();
    _stored -= oldest.charge;
    // A log someone removed by hand is gone all the same.
    ::unlink(oldest.path.c_str());
    ++_expired;
}

ZLogStore::Verdict ZLogStore::reserve(std::int64_t bytes) {
    const std::int64_t need = charge(bytes);
    // What uploads still arriving hold cannot be made room for.
    if (need > _limits.quota - _held) return Verdict::OverQuota;
    if (_freeSpace() - bytes < _limits.minFree) return Verdict::LowSpace;
    while (_stored + _held + need > _limits.quota && !_files.empty()) _removeOldest();
    _held += need;
    return Verdict::Taken;
}

void ZLogStore::release(std::int64_t bytes) {
    _held -= std::min(_held, charge(bytes));
}

void ZLogStore::stored(const std::string& path, std::int64_t held, std::int64_t size) {
    release(held);
    _files.push_back(File{path, charge(size)});
    _stored += charge(size);
}
