// The uploaded logs on disk, <folder>/<sender>/<name>: keeps their total
// within a quota by removing the oldest first, and takes no new upload while
// the disk's free space is below a reserve, so the database beside them
// always has room to write.
//
// Threading: the loop's thread only.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

class ZLogStore {
public:
    struct Limits {
        std::int64_t quota = 4LL << 30;
        std::int64_t minFree = 512LL << 20;
    };
    // freeSpace tells the bytes free on the folder's disk (statvfs when
    // empty; tests give their own).
    ZLogStore(const std::string& folder, const Limits& limits, std::function<std::int64_t()> freeSpace = {});

    // Removes the uploads a killed service left unfinished (returns how
    // many) and counts the stored logs, oldest first.
    int scan();

    enum class Verdict { Taken, OverQuota, LowSpace };
    // Holds room for an upload of the given size, removing the oldest
    // stored logs when the quota needs it.
    Verdict reserve(std::int64_t bytes);
    // Gives back what reserve() held (the upload was cut off or refused).
    void release(std::int64_t bytes);
    // The upload held with reserve(held) is stored under path, size bytes.
    void stored(const std::string& path, std::int64_t held, std::int64_t size);

    // Bytes counted against the quota: stored logs and held uploads.
    std::int64_t used() const { return _stored + _held; }
    std::size_t files() const { return _files.size(); }
    // Logs removed to make room since the start.
    int expired() const { return _expired; }

private:
    struct File {
        std::string path;
        std::int64_t charge = 0;
    };
    void _removeOldest();

    std::string _folder;
    Limits _limits;
    std::function<std::int64_t()> _freeSpace;
    std::deque<File> _files;
    std::int64_t _stored = 0;
    std::int64_t _held = 0;
    int _expired = 0;
};
