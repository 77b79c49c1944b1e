#include "ZServerStore.h"

#include <sqlite3.h>
#include <time.h>

#include "ZPortable_Text.h"
#include "ZUtil.h"

namespace {

// One prepared statement, finalised when it goes.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &_s, nullptr) != SQLITE_OK) {
            ZLOG(L"ERROR Database statement refused (" << sqlite3_errmsg(db) << L").");
            _s = nullptr;
        }
    }
    ~Statement() { sqlite3_finalize(_s); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool ok() const { return _s != nullptr; }
    Statement& text(int i, const std::string& v) {
        if (_s) sqlite3_bind_text(_s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& blob(int i, const std::string& v) {
        if (_s) sqlite3_bind_blob(_s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
        return *this;
    }
    Statement& integer(int i, std::int64_t v) {
        if (_s) sqlite3_bind_int64(_s, i, v);
        return *this;
    }
    int step() { return _s ? sqlite3_step(_s) : SQLITE_ERROR; }
    std::string column(int i) {
        const void* p = sqlite3_column_blob(_s, i);
        const int n = sqlite3_column_bytes(_s, i);
        return p ? std::string(static_cast<const char*>(p), static_cast<std::size_t>(n)) : std::string();
    }
    std::int64_t columnInt(int i) { return sqlite3_column_int64(_s, i); }

private:
    sqlite3_stmt* _s = nullptr;
};

std::int64_t unixNow() { return static_cast<std::int64_t>(time(nullptr)); }

const char* const kSchema =
    "PRAGMA journal_mode=WAL;"
    "PRAGMA synchronous=NORMAL;"
    "CREATE TABLE IF NOT EXISTS accounts(guid TEXT PRIMARY KEY, name TEXT NOT NULL, email TEXT NOT NULL,"
    " salt BLOB NOT NULL, hash BLOB NOT NULL, iterations INTEGER NOT NULL, created INTEGER NOT NULL);"
    "CREATE TABLE IF NOT EXISTS devices(guid TEXT PRIMARY KEY, owner TEXT NOT NULL DEFAULT '',"
    " version TEXT NOT NULL DEFAULT '', created INTEGER NOT NULL, registered INTEGER NOT NULL DEFAULT 0,"
    " used INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE IF NOT EXISTS buddylists(owner TEXT PRIMARY KEY, list TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS bugreports(id INTEGER PRIMARY KEY, owner TEXT NOT NULL, email TEXT NOT NULL,"
    " text TEXT NOT NULL, created INTEGER NOT NULL);";

// Databases written before devices remembered whether they were ever
// registered: every device with an owner was.
const char* const kAddRegistered =
    "ALTER TABLE devices ADD COLUMN registered INTEGER NOT NULL DEFAULT 0;"
    "UPDATE devices SET registered = 1 WHERE owner <> '';";

// Databases written before devices remembered their last use, when REGISTER
// never marked a device registered: each counts as used, and as made, when
// the service first opens the database again, so a device in use gets the
// hour to register again (every client does within 15 minutes) before the
// sweep takes it for never registered.
const char* const kAddUsed =
    "ALTER TABLE devices ADD COLUMN used INTEGER NOT NULL DEFAULT 0;"
    "UPDATE devices SET used = CAST(strftime('%s', 'now') AS INTEGER),"
    " created = CASE WHEN registered = 0 THEN CAST(strftime('%s', 'now') AS INTEGER) ELSE created END;";

const char* const kIndexes =
    "CREATE INDEX IF NOT EXISTS devices_unregistered ON devices(created) WHERE registered = 0;"
    "CREATE INDEX IF NOT EXISTS devices_used ON devices(used) WHERE registered = 1;"
    "CREATE INDEX IF NOT EXISTS bugreports_owner ON bugreports(owner, created);";

bool hasColumn(sqlite3* db, const char* probeSql) {
    sqlite3_stmt* probe = nullptr;
    const bool has = sqlite3_prepare_v2(db, probeSql, -1, &probe, nullptr) == SQLITE_OK;
    sqlite3_finalize(probe);
    return has;
}

}  // namespace

ZServerStore::ZServerStore() = default;

ZServerStore::~ZServerStore() { close(); }

bool ZServerStore::_exec(const char* sql, std::string& error) {
    char* message = nullptr;
    if (sqlite3_exec(_db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
        error = message ? message : "unknown database error";
        sqlite3_free(message);
        return false;
    }
    return true;
}

bool ZServerStore::open(const std::string& path, std::string& error) {
    close();
    // SQLite opens its descriptors close-on-exec itself on Linux.
    if (sqlite3_open_v2(path.c_str(), &_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                        nullptr) != SQLITE_OK) {
        error = _db ? sqlite3_errmsg(_db) : "out of memory";
        close();
        return false;
    }
    sqlite3_busy_timeout(_db, 2000);
    if (!_exec(kSchema, error)) {
        error = path + ": " + error;
        close();
        return false;
    }
    const bool hasRegistered = hasColumn(_db, "SELECT registered FROM devices LIMIT 0");
    if ((!hasRegistered && !_exec(kAddRegistered, error)) ||
        (!hasColumn(_db, "SELECT used FROM devices LIMIT 0") && !_exec(kAddUsed, error)) || !_exec(kIndexes, error)) {
        error = path + ": " + error;
        close();
        return false;
    }
    return true;
}

void ZServerStore::setSizeLimit(std::int64_t bytes) {
    if (!_db || bytes <= 0) return;
    Statement size(_db, "PRAGMA page_size");
    const std::int64_t page = size.step() == SQLITE_ROW ? size.columnInt(0) : 4096;
    const std::string pragma = "PRAGMA max_page_count = " + std::to_string(bytes / (page > 0 ? page : 4096));
    std::string error;
    if (!_exec(pragma.c_str(), error)) ZLOG(L"WARNING Cannot cap the database (" << ZFromUTF8(error) << L").");
}

bool ZServerStore::_wrote(int result) {
    _outOfSpace = (result & 0xff) == SQLITE_FULL;
    return result == SQLITE_DONE;
}

void ZServerStore::close() {
    if (_db) sqlite3_close(_db);
    _db = nullptr;
}

bool ZServerStore::findAccount(const std::string& guid, ZServerAccount& out) {
    Statement s(_db, "SELECT guid, name, email, salt, hash, iterations FROM accounts WHERE guid = ?1");
    s.text(1, guid);
    if (s.step() != SQLITE_ROW) return false;
    out.guid = s.column(0);
    out.name = s.column(1);
    out.email = s.column(2);
    out.salt = s.column(3);
    out.hash = s.column(4);
    out.iterations = static_cast<int>(s.columnInt(5));
    return true;
}

bool ZServerStore::accountExists(const std::string& guid) {
    Statement s(_db, "SELECT 1 FROM accounts WHERE guid = ?1");
    s.text(1, guid);
    return s.step() == SQLITE_ROW;
}

bool ZServerStore::createAccount(const ZServerAccount& a) {
    Statement s(_db,
                "INSERT OR IGNORE INTO accounts(guid, name, email, salt, hash, iterations, created)"
                " VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    s.text(1, a.guid).text(2, a.name).text(3, a.email).blob(4, a.salt).blob(5, a.hash).integer(6, a.iterations);
    s.integer(7, unixNow());
    return _wrote(s.step()) && sqlite3_changes(_db) == 1;
}

bool ZServerStore::addDevice(const std::string& guid, const std::string& owner, std::int64_t created) {
    Statement s(_db, "INSERT OR IGNORE INTO devices(guid, owner, created) VALUES(?1, ?2, ?3)");
    s.text(1, guid).text(2, owner).integer(3, created ? created : unixNow());
    return _wrote(s.step()) && sqlite3_changes(_db) == 1;
}

int ZServerStore::expireUnregisteredDevices(std::int64_t before) {
    Statement s(_db, "DELETE FROM devices WHERE registered = 0 AND created < ?1");
    s.integer(1, before);
    return s.step() == SQLITE_DONE ? sqlite3_changes(_db) : 0;
}

int ZServerStore::expireUnusedDevices(std::int64_t before) {
    Statement s(_db, "DELETE FROM devices WHERE registered = 1 AND used < ?1");
    s.integer(1, before);
    return s.step() == SQLITE_DONE ? sqlite3_changes(_db) : 0;
}

int ZServerStore::countDevices() {
    Statement s(_db, "SELECT COUNT(*) FROM devices");
    return s.step() == SQLITE_ROW ? static_cast<int>(s.columnInt(0)) : 0;
}

std::int64_t ZServerStore::clock() { return unixNow(); }

bool ZServerStore::findDevice(const std::string& guid, std::string& owner) {
    Statement s(_db, "SELECT owner FROM devices WHERE guid = ?1");
    s.text(1, guid);
    if (s.step() != SQLITE_ROW) return false;
    owner = s.column(0);
    return true;
}

bool ZServerStore::claimDevice(const std::string& guid, const std::string& owner, const std::string& version,
                               std::int64_t used) {
    Statement s(_db,
                "UPDATE devices SET owner = ?2, version = ?3, registered = 1, used = ?4"
                " WHERE guid = ?1 AND (owner = '' OR owner = ?2)");
    s.text(1, guid).text(2, owner).text(3, version).integer(4, used ? used : unixNow());
    return _wrote(s.step()) && sqlite3_changes(_db) == 1;
}

std::string ZServerStore::buddyList(const std::string& owner) {
    Statement s(_db, "SELECT list FROM buddylists WHERE owner = ?1");
    s.text(1, owner);
    return s.step() == SQLITE_ROW ? s.column(0) : std::string();
}

bool ZServerStore::setBuddyList(const std::string& owner, const std::string& list) {
    Statement s(_db, "INSERT INTO buddylists(owner, list) VALUES(?1, ?2) ON CONFLICT(owner) DO UPDATE SET list = ?2");
    s.text(1, owner).text(2, list);
    return _wrote(s.step());
}

bool ZServerStore::addBugReport(const std::string& owner, const std::string& email, const std::string& text) {
    Statement s(_db, "INSERT INTO bugreports(owner, email, text, created) VALUES(?1, ?2, ?3, ?4)");
    s.text(1, owner).text(2, email).text(3, text).integer(4, unixNow());
    return _wrote(s.step());
}

int ZServerStore::countBugReports(const std::string& owner, std::int64_t since) {
    Statement s(_db, "SELECT COUNT(*) FROM bugreports WHERE owner = ?1 AND created >= ?2");
    s.text(1, owner).integer(2, since);
    return s.step() == SQLITE_ROW ? static_cast<int>(s.columnInt(0)) : 0;
}

int ZServerStore::countBugReports() {
    Statement s(_db, "SELECT COUNT(*) FROM bugreports");
    return s.step() == SQLITE_ROW ? static_cast<int>(s.columnInt(0)) : 0;
}
