// The store's variables and its settings file. Every operation holds the
// store lock for its whole run; they call each other under it, which the
// re-entrant mutex allows.
#include "ZInstance.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "ZHeaderGrammar.h"
#include "ZNonPortable_FileReplace.h"
#include "ZNonPortable_Message.h"
#include "ZPortable_Parse.h"
#include "ZPortable_Text.h"
#include "ZUtil.h"
#include "ZUtil_File.h"

namespace {

std::uint64_t stampNow() { return static_cast<std::uint64_t>(ZTimeNow()); }

}  // namespace

ZInstance::ZInstance(const std::wstring& filename) {
    ZTRACE_KIND("ZInstance");
    ZPRECONDITION(filename.size( ));
    _filename = filename;
    _load();
}

ZInstance::~ZInstance() {
    ZTRACE();
    save();
}

// ---- the settings file -----------------------------------------------------------

// Lines of (blank, name, ':', blank, value, line end) up to the first line
// that is not one. A name and a value count as soon as each has matched, so
// a last line without its line end is kept and a line without ':' leaves a
// name without a value.
void ZInstance::_load() {
    ZTRACE();
    ZScopedLock lock(this);
    std::string bytes;
    if (!ZFileLoad(_filename, bytes)) return;

    std::vector<ZHeaderSpan> names;
    std::vector<ZHeaderSpan> values;
    ZHeaderReader reader(bytes.data(), bytes.size());
    for (;;) {
        reader.skipBlank();
        ZHeaderSpan name;
        if (!reader.name(name)) break;
        names.push_back(name);
        if (!reader.literal(':')) break;
        reader.skipBlank();
        ZHeaderSpan value;
        reader.value(value);
        values.push_back(value);
        if (!reader.lineEnd()) break;
    }
    if (names.size() != values.size())
        ZLOG(L"WARNING Corrupt headers; # names (" << static_cast<int>(names.size()) << L") !=  # values ("
                                                    << static_cast<int>(values.size()) << L").");

    _nameValueMap.clear();
    const std::uint64_t now = stampNow();
    for (std::size_t i = 0; i < names.size() && i < values.size(); ++i) {
        ZInstanceEntry& entry = _nameValueMap[ZToLower(ZFromUTF8(reader.text(names[i])))];
        entry.value = reader.text(values[i]);
        entry.persist = true;
        entry.timestamp = now;
    }
}

// The new text goes to "<file>.tmp" and replaces the file only once it is
// wholly written and on disk: a full disk, a crash or a power cut during the
// save must not cost the user the identity and password kept in the file.
void ZInstance::save() {
    ZTRACE();
    ZScopedLock lock(this);
    std::string out;
    for (const auto& [lname, entry] : _nameValueMap) {
        if (lname.empty() || !entry.persist) continue;
        out += ZEscape(ZToUTF8(lname), ": ");
        out += ": ";
        out += ZEscape(entry.value, "");
        out += "\n";
    }
    out += "\n";

    const std::wstring tmpName = _filename + L".tmp";
    std::FILE* fp = ZFileOpenWrite(tmpName);
    if (!fp) {
        ZWARNASSERT(fp);
        return;
    }
    const bool written = std::fwrite(out.c_str(), 1, out.size(), fp) == out.size();
    ZWARNASSERT_T(written, "fwrite( out.c_str( ), 1, out.size( ), fp ) == out.size( )");
    const bool synced = written && ZFileSync(fp);
    const bool closed = !std::fclose(fp);
    ZWARNASSERT_T(closed, "!fclose( fp )");
    if (synced && closed && ZFileReplace(tmpName, _filename)) return;

    std::remove(ZToUTF8(tmpName).c_str());
    ZLOG(L"WARNING Settings file '" << _filename << L"' not saved, keeping the old one.");
}

void ZInstance::logDump() {
    ZTRACE();
    ZScopedLock lock(this);
    // Log files are uploaded to the service: secrets never go into them.
    for (const auto& [lname, entry] : _nameValueMap) {
        if (lname.empty() || entry.value.empty()) continue;
        const bool secret = ZEndsWith(lname, L"password") || lname == L"local_session_key";
        ZLOG(L"SETTINGS: " << lname << L": " << (secret ? std::wstring(L"********") : ZFromUTF8(entry.value)));
    }
}

// ---- writing ---------------------------------------------------------------------------

void ZInstance::set(const std::wstring& name, const std::string& value, bool persist) {
    ZTRACE();
    ZScopedLock lock(this);
    const std::wstring lname = ZToLower(name);
    ZInstanceEntry& entry = _nameValueMap[lname];
    if (entry.value == value) return;
    entry.value = value;
    entry.persist = persist;
    entry.timestamp = stampNow();
    _notify(lname);
}

void ZInstance::set(const std::wstring& name, const std::wstring& value, bool persist) {
    ZTRACE();
    set(name, ZToUTF8(value), persist);
}

void ZInstance::set(const std::wstring& name, std::int64_t value, bool persist) {
    ZTRACE();
    set(name, ZToNarrowString(value), persist);
}

void ZInstance::set(const std::wstring& name, const std::list<std::wstring>& items, bool persist) {
    ZTRACE();
    set(name, ZToUTF8(ZJoin(items, L", ")), persist);
}

void ZInstance::setRaw(const std::wstring& name, const void* data, std::size_t length, bool persist) {
    ZTRACE();
    ZPRECONDITION(data || !length);
    ZScopedLock lock(this);
    const std::wstring lname = ZToLower(name);
    ZInstanceEntry& entry = _nameValueMap[lname];
    entry.value.assign(static_cast<const char*>(data), length);
    entry.persist = persist;
    entry.timestamp = stampNow();
    _notify(lname);
}

void ZInstance::insert(const std::wstring& name, const std::wstring& item) {
    ZTRACE();
    ZWARNASSERT(!name.empty( ));
    ZScopedLock lock(this);
    std::list<std::wstring> items;
    _getList(name, items);
    if (ZContains(items, item)) return;
    items.push_back(item);
    set(name, items, false);
}

void ZInstance::remove(const std::wstring& name, const std::wstring& item) {
    ZTRACE();
    ZWARNASSERT(!name.empty( ));
    ZScopedLock lock(this);
    std::list<std::wstring> items;
    _getList(name, items);
    items.remove(item);
    set(name, items, false);
}

void ZInstance::clear(const std::wstring& name) {
    ZTRACE();
    ZScopedLock lock(this);
    const std::wstring lname = ZToLower(name);
    if (!lname.empty() && lname.back() == L'*') {
        const std::wstring base = name.substr(0, name.size() - 1);
        ZASSERT(!base.empty( ));
        std::list<std::wstring> matching;
        for (const auto& [key, entry] : _nameValueMap)
            if (key.size() >= base.size() &&
                ZCaseEquals(key.data(), static_cast<int>(base.size()), base.data(), static_cast<int>(base.size())))
                matching.push_back(key);
        for (const std::wstring& key : matching) _nameValueMap.erase(key);
    } else {
        _nameValueMap.erase(lname);
    }
    _notify(lname);
}

ZInstanceEntry& ZInstance::open(const std::wstring& name) {
    ZTRACE();
    lock();
    return _nameValueMap[ZToLower(name)];
}

void ZInstance::close(const std::wstring& name, bool notify) {
    ZTRACE();
    const std::wstring lname = ZToLower(name);
    ZWARNASSERT(ZMAPCONTAINS( _nameValueMap, lname ));
    _nameValueMap[lname].timestamp = stampNow();
    // The entry may have changed even when nobody is told.
    if (notify)
        _notify(lname);
    else
        _changes.fetch_add(1, std::memory_order_release);
    unlock();
}

// ---- reading ----------------------------------------------------------------------------

bool ZInstance::isSet(const std::wstring& name) {
    ZTRACE();
    ZScopedLock lock(this);
    const auto found = _nameValueMap.find(ZToLower(name));
    return found != _nameValueMap.end() && !found->second.value.empty();
}

std::wstring ZInstance::get(const std::wstring& name) {
    ZTRACE();
    return ZFromUTF8(getRaw(name));
}

std::string ZInstance::getRaw(const std::wstring& name) {
    ZTRACE();
    ZScopedLock lock(this);
    const auto found = _nameValueMap.find(ZToLower(name));
    return found == _nameValueMap.end() ? std::string() : found->second.value;
}

std::uint64_t ZInstance::getTimestamp(const std::wstring& name) {
    ZTRACE();
    ZScopedLock lock(this);
    const auto found = _nameValueMap.find(ZToLower(name));
    return found == _nameValueMap.end() ? 0 : found->second.timestamp;
}

std::int64_t ZInstance::calc(const std::wstring& name) {
    ZTRACE();
    return ZToInt64(get(name));
}

bool ZInstance::test(const std::wstring& name) {
    ZTRACE();
    ZScopedLock lock(this);
    return ZCaseEquals(get(name), L"true") || calc(name) > 0;
}

bool ZInstance::get(const std::wstring& name, std::list<std::wstring>& out) {
    ZTRACE();
    ZWARNASSERT(!name.empty( ));
    return _getList(name, out);
}

bool ZInstance::get(const std::wstring& name, std::vector<std::wstring>& out) {
    ZTRACE();
    ZWARNASSERT(!name.empty( ));
    return _getList(name, out);
}

bool ZInstance::contains(const std::wstring& name, const std::wstring& item) {
    ZTRACE();
    ZWARNASSERT(!name.empty( ));
    std::list<std::wstring> items;
    return _getList(name, items) && ZContains(items, item);
}

template <typename Items>
bool ZInstance::_getList(const std::wstring& name, Items& out) {
    ZScopedLock lock(this);
    const auto found = _nameValueMap.find(ZToLower(name));
    if (found == _nameValueMap.end()) return false;
    ZParseList(out, ZFromUTF8(found->second.value));
    return !out.empty();
}

// ---- watchers -----------------------------------------------------------------------------

// Only posts: the listeners run later on the UI thread, without the store lock.
void ZInstance::_notify(const std::wstring& lname) {
    ZTRACE();
    ZScopedLock lock(this);
    _changes.fetch_add(1, std::memory_order_release);
    for (const ZInstanceWatcher& watcher : _watcherMap[lname]) ZNotify(watcher.listener, static_cast<int>(watcher.code));
}
