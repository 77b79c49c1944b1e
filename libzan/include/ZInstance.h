// The shared store: named variables that settings, services, sessions and
// the skin all read and write, the settings file that keeps the persisted
// ones, and (beside them) the named queues and the watchers.
//
// Names are folded to lower case (ASCII letters only) by every operation;
// values are bytes (text as UTF-8, numbers as decimal text, lists joined
// with ", ", images as their raw buffers).
//
// Threading: any thread may call any operation. One re-entrant store lock
// (the ZThreadSafeObject mutex) is held for each whole operation, also while
// watchers are notified; it is taken before any lock of the notification
// layer. open() returns with the lock held and close() releases it, so the
// caller must not wait for another thread that uses the store in between.
// Readers get copies, never references, except through open().
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "ZObject.h"

struct ZNotifyHandle;

// One variable of the store: its bytes, whether the settings file keeps it,
// and when it last changed (ZTimeNow, 0 when never changed).
struct ZInstanceEntry {
    std::string value;
    bool persist = false;
    std::uint64_t timestamp = 0;
};

// A UI listener's interest in one name: it hears its code on every change.
struct ZInstanceWatcher {
    ZNotifyHandle* listener = nullptr;
    unsigned int code = 0;
};

struct ZNetWake;

// The store of named variables, queues and watchers, with its settings file.
class ZInstance : public ZThreadSafeObject {
public:
    // Reads the settings file; a missing file gives an empty store.
    explicit ZInstance(const std::wstring& filename);
    // Saves the settings file.
    ~ZInstance() override;

    // Writes every persisted variable to the settings file. The old file is
    // replaced only once the new one is wholly on disk.
    void save();
    // Logs every variable that has a name and a value.
    void logDump();

    // ---- writing: a value equal to the stored one changes nothing at all

    void set(const std::wstring& name, const std::string& value, bool persist);
    void set(const std::wstring& name, const std::wstring& value, bool persist);
    void set(const std::wstring& name, std::int64_t value, bool persist);
    void set(const std::wstring& name, const std::list<std::wstring>& items, bool persist);
    // Stores the bytes without comparing them; always stamps and notifies.
    void setRaw(const std::wstring& name, const void* data, std::size_t length, bool persist);
    void insert(const std::wstring& name, const std::wstring& item);
    void remove(const std::wstring& name, const std::wstring& item);
    // Removes one variable, or with a trailing "*" every variable whose name
    // begins with the rest.
    void clear(const std::wstring& name);
    // Hands out the entry itself under the store lock, until close().
    ZInstanceEntry& open(const std::wstring& name);
    void close(const std::wstring& name, bool notify);

    // ---- reading: an absent variable reads as empty

    bool isSet(const std::wstring& name);
    std::wstring get(const std::wstring& name);
    std::string getRaw(const std::wstring& name);
    std::uint64_t getTimestamp(const std::wstring& name);
    std::int64_t calc(const std::wstring& name);
    bool test(const std::wstring& name);
    bool get(const std::wstring& name, std::list<std::wstring>& out);
    bool get(const std::wstring& name, std::vector<std::wstring>& out);
    bool contains(const std::wstring& name, const std::wstring& item);
    // How many changes the store has seen (every write that notifies, and
    // every close): a reader that took the same count before it last read
    // has nothing new to read. Any thread, without the store lock.
    std::uint64_t changes() const { return _changes.load(std::memory_order_acquire); }

    // ---- queues and watchers: messages between threads, and notifications
    // to UI listeners through ZNotify (ZInstance_Queue.cpp)

    // Appends a copy at the end of the queue (created when absent).
    void enqueue(const std::wstring& name, const std::string& item);
    // Takes the oldest item; false (out untouched) when there is none.
    bool dequeue(const std::wstring& name, std::string& out);
    // Appends a copy as enqueue does, then takes the oldest items away
    // while the queue holds more than maxItems items or maxBytes bytes (the
    // new item stays); true when any was taken.
    bool enqueueBounded(const std::wstring& name, const std::string& item, std::size_t maxItems, std::size_t maxBytes);
    // Reads the item at position (0 = oldest) without taking it.
    bool index(const std::wstring& name, int position, std::string& out);
    // Reads without taking it the item numbered serial, items being numbered
    // from 0 in the order they were enqueued whatever has left the queue
    // since; when that one has left, the oldest held, and serial becomes its
    // number. False when no item at or after serial is held.
    bool read(const std::wstring& name, std::uint64_t& serial, std::string& out);
    // The number of items; 0 for a queue never used (which stays absent).
    unsigned int length(const std::wstring& name);
    // Every change of the variable or queue of the name notifies the
    // listener with the code, once per registration.
    void watch(const std::wstring& name, ZNotifyHandle* listener, unsigned int code);
    // Removes one registration of the pair.
    void unwatch(const std::wstring& name, ZNotifyHandle* listener, unsigned int code);
    // The wake-up that every enqueue on the named queue signals, so that the
    // thread reading it need not wait out its time-out (null: none). The
    // reader removes it before closing it.
    void setQueueWake(const std::wstring& name, ZNetWake* wake);
    // The same for a reader that waits on something else: every enqueue on
    // the queue calls wake, with the store lock held, so it only signals and
    // never takes a lock that is held around a store call. An empty function
    // removes it; once this returns, the old one is never called again.
    void setQueueWaker(const std::wstring& name, std::function<void()> wake);

private:
    void _load();
    // The list form of a variable, read without the empty-name warning.
    template <typename Items>
    bool _getList(const std::wstring& name, Items& out);
    // Tells the watchers of the folded name that it changed.
    void _notify(const std::wstring& lname);

    std::wstring _filename;
    std::map<std::wstring, ZInstanceEntry> _nameValueMap;
    struct Queue {
        std::deque<std::string> items;
        std::size_t bytes = 0;
        std::uint64_t taken = 0;  // items that ever left the front
    };
    std::map<std::wstring, Queue> _queueMap;
    std::map<std::wstring, std::list<ZInstanceWatcher>> _watcherMap;
    std::map<std::wstring, std::function<void()>> _queueWakeMap;
    std::atomic<std::uint64_t> _changes{0};
};
