// Re-entrant mutexes and the clock.
#include <pthread.h>
#include <time.h>

#include "ZNonPortable_Base.h"
#include "ZUtil.h"

struct ZMutexRecord {
    pthread_mutex_t mutex;
};

ZMutex ZMutexOpen() {
    ZMutex m = new ZMutexRecord;
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE);
    pthread_mutex_init(&m->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    return m;
}

void ZMutexLock(ZMutex mutex) {
    ZASSERT(mutex);
    if (mutex) pthread_mutex_lock(&mutex->mutex);
}

void ZMutexUnlock(ZMutex mutex) {
    ZASSERT(mutex);
    if (mutex) pthread_mutex_unlock(&mutex->mutex);
}

void ZMutexClose(ZMutex mutex) {
    ZASSERT(mutex);
    if (!mutex) return;
    pthread_mutex_destroy(&mutex->mutex);
    delete mutex;
}

std::int64_t ZTimeNow() {
    timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (static_cast<std::int64_t>(ts.tv_sec) + ZTIME_UNIX_EPOCH_SECONDS) * 1000000LL + ts.tv_nsec / 1000;
}
