// The service's lasting state in one SQLite database (WAL mode): accounts
// with their password hashes, devices, buddy lists and bug reports.
//
// Threading: the loop's thread only (one connection, no sharing).
#pragma once

#include <cstdint>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

// One account as stored.
struct ZServerAccount {
    std::string guid;
    std::string name;
    std::string email;
    std::string salt;
    std::string hash;
    int iterations = 0;
};

class ZServerStore {
public:
    ZServerStore();
    ~ZServerStore();
    ZServerStore(const ZServerStore&) = delete;
    ZServerStore& operator=(const ZServerStore&) = delete;

    // Opens (or creates) the database file; false with error filled.
    bool open(const std::string& path, std::string& error);
    // Caps the database file at about this many bytes (0: no cap but the
    // disk's); a write past it fails as on a full disk.
    void setSizeLimit(std::int64_t bytes);
    // True when the last write was refused for want of space (a full disk or
    // the size cap), so the caller can say so rather than blame the request.
    bool outOfSpace() const { return _outOfSpace; }
    void close();

    bool findAccount(const std::string& guid, ZServerAccount& out);
    bool accountExists(const std::string& guid);
    // False when the identifier is taken (or the database refuses).
    bool createAccount(const ZServerAccount& account);

    // A new device of the owner (empty: of nobody yet), created at the given
    // time in seconds since 1970 (0: now); false when the identifier is taken.
    bool addDevice(const std::string& guid, const std::string& owner, std::int64_t created = 0);
    // The owner of a device: false when the device is unknown; owner empty
    // while no user has registered it.
    bool findDevice(const std::string& guid, std::string& owner);
    // Marks the device registered by its owner (taking it when it has none)
    // and used at the given time in seconds since 1970 (0: now).
    bool claimDevice(const std::string& guid, const std::string& owner, const std::string& version,
                     std::int64_t used = 0);
    // Removes the devices never registered that were created before the
    // time; returns how many.
    int expireUnregisteredDevices(std::int64_t before);
    // Removes the registered devices last used before the time; returns how
    // many.
    int expireUnusedDevices(std::int64_t before);
    int countDevices();
    // Seconds since 1970, the time of the rows.
    static std::int64_t clock();

    std::string buddyList(const std::string& owner);
    bool setBuddyList(const std::string& owner, const std::string& list);
    bool addBugReport(const std::string& owner, const std::string& email, const std::string& text);
    int countBugReports();
    // Reports of the owner stored since the time (seconds since 1970).
    int countBugReports(const std::string& owner, std::int64_t since);

private:
    sqlite3_stmt* _prepare(const char* sql);
    bool _exec(const char* sql, std::string& error);
    // Steps a write and notes whether it failed for space.
    bool _wrote(int result);

    sqlite3* _db = nullptr;
    bool _outOfSpace = false;
};
