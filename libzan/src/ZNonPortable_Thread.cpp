// Thread identity, the thread-local slot and sleeping.
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "ZNonPortable_Base.h"

namespace {

std::atomic<ZThreadLocalDestructor> g_localDestructor{nullptr};

void localTrampoline(void* value) {
    ZThreadLocalDestructor callback = g_localDestructor.load();
    if (callback && value) callback(value);
}

pthread_key_t localKey() {
    static pthread_key_t key = [] {
        pthread_key_t k;
        pthread_key_create(&k, localTrampoline);
        return k;
    }();
    return key;
}

}  // namespace

ZThreadId ZThreadCurrentId() {
    thread_local ZThreadId id = static_cast<ZThreadId>(syscall(SYS_gettid));
    return id;
}

void* ZThreadGetLocal() { return pthread_getspecific(localKey()); }

void ZThreadSetLocal(void* value) { pthread_setspecific(localKey(), value); }

void ZThreadSetLocalDestructor(ZThreadLocalDestructor callback) {
    localKey();
    g_localDestructor.store(callback);
}

void ZThreadSleep(std::int64_t microseconds) {
    // The platform sleeps in whole milliseconds.
    std::int64_t ms = microseconds / 1000;
    if (ms < 0) ms = 0;
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000)};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}
