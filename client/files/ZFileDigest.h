// A file's SHA-1 digest computed on a worker thread of its own, so that the
// file service's loop goes on serving every other transfer (and answering
// its own peer) while a large file is read.
//
// Threading: the owner (the file service's thread) creates, polls and
// destroys it. The worker only reads the file and stores the digest before
// it marks itself done; the destructor tells a running worker to stop and
// joins it.
#pragma once

#include <atomic>
#include <string>

#include "ZNonPortable_Base.h"

class ZFileDigest {
public:
    explicit ZFileDigest(const std::wstring& path);
    ~ZFileDigest();
    ZFileDigest(const ZFileDigest&) = delete;
    ZFileDigest& operator=(const ZFileDigest&) = delete;

    bool isDone() const { return _done.load(std::memory_order_acquire); }
    // The 20 raw digest bytes once done; empty when the file could not be
    // read, and always empty before.
    std::string getDigest() const { return isDone() ? _digest : std::string(); }

private:
    static void _run(void* self);

    std::wstring _path;
    std::atomic<bool> _stop{false};
    std::atomic<bool> _done{false};
    std::string _digest;  // written by the worker before _done is set
    ZThreadId _thread = 0;
};
