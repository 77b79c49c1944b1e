// The worker that digests one file.
#include "ZFileDigest.h"

#include "ZNonPortable.h"
#include "ZPortable.h"
#include "ZUtil.h"

ZFileDigest::ZFileDigest(const std::wstring& path) : _path(path) {
    ZTRACE();
    _thread = ZThreadOpen(L"ZClient.ZFileService.SHA1", &ZFileDigest::_run, this);
    // Without a thread the digest is still owed: computed here, late but
    // right.
    if (!_thread) {
        ZLOG(L"WARNING Unable to start the digest thread, hashing in place.");
        _run(this);
    }
}

ZFileDigest::~ZFileDigest() {
    _stop.store(true, std::memory_order_relaxed);
    if (_thread) ZThreadClose(_thread);
}

void ZFileDigest::_run(void* self) {
    ZFileDigest* digest = static_cast<ZFileDigest*>(self);
    ZThreadSetPriority(-1);
    digest->_digest = ZFileSHA1(digest->_path, digest->_stop);
    digest->_done.store(true, std::memory_order_release);
}
