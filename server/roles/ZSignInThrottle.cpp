#include "ZSignInThrottle.h"

namespace {

std::string pairKey(const std::string& account, std::uint32_t source) {
    std::string key = account;
    key += '\n';
    key.append(reinterpret_cast<const char*>(&source), sizeof(source));
    return key;
}

}  // namespace

std::int64_t ZSignInThrottle::_delayAfter(int beyondFree) const {
    std::int64_t d = _limits.delay;
    for (int i = 0; i < beyondFree && d < _limits.maxDelay; ++i) d *= 2;
    return d < _limits.maxDelay ? d : _limits.maxDelay;
}

bool ZSignInThrottle::_fresh(const Record& r, std::int64_t now) const {
    return r.next <= now && now - r.last >= _limits.memory;
}

void ZSignInThrottle::_sweep(std::int64_t now) {
    _lastSweep = now;
    for (auto it = _pairs.begin(); it != _pairs.end();) it = _fresh(it->second, now) ? _pairs.erase(it) : std::next(it);
    for (auto it = _accounts.begin(); it != _accounts.end();)
        it = _fresh(it->second, now) ? _accounts.erase(it) : std::next(it);
    for (auto it = _sources.begin(); it != _sources.end();)
        it = _fresh(it->second, now) ? _sources.erase(it) : std::next(it);
}

template <typename Map, typename Key>
ZSignInThrottle::Record* ZSignInThrottle::_record(Map& map, const Key& key, std::int64_t now, bool create) {
    auto it = map.find(key);
    if (it != map.end()) {
        // Failures long past no longer count.
        if (_fresh(it->second, now)) it->second = Record();
        return &it->second;
    }
    if (!create) return nullptr;
    if (records() >= _limits.maxRecords && now - _lastSweep > 1000000) _sweep(now);
    if (records() >= _limits.maxRecords) return nullptr;
    return &map[key];
}

std::int64_t ZSignInThrottle::admit(const std::string& account, std::uint32_t source, std::int64_t now) {
    const std::string key = pairKey(account, source);
    Record* pair = _record(_pairs, key, now, false);
    if (pair && pair->next > now) return pair->next - now;
    Record* from = _record(_sources, source, now, false);
    if (from && from->next > now) return from->next - now;
    Record* target = _record(_accounts, account, now, true);
    const bool underAttack = target && target->failures >= _limits.accountFailures;
    if (!pair) pair = _record(_pairs, key, now, true);
    if (!pair && underAttack) {
        // No room to remember the pair: while the account is under attack a
        // pair that cannot be counted gets no attempt.
        return _limits.delay;
    }
    if (!from) from = _record(_sources, source, now, true);
    if (pair) {
        ++pair->pending;
        pair->last = now;
        // Under attack every address waits after each failure, its free
        // ones or not: many addresses then add one guess each, not five.
        const int beyond = ++pair->failures - _limits.freeFailures;
        if (beyond >= 0 || underAttack) pair->next = now + _delayAfter(beyond > 0 ? beyond : 0);
    }
    if (target) {
        target->last = now;
        ++target->failures;
    }
    if (from) {
        ++from->pending;
        from->last = now;
        if (++from->failures >= _limits.sourceFailures)
            from->next = now + _delayAfter(from->failures - _limits.sourceFailures);
    }
    return 0;
}

void ZSignInThrottle::failed(const std::string& account, std::uint32_t source, std::int64_t now) {
    if (Record* pair = _record(_pairs, pairKey(account, source), now, false); pair && pair->pending > 0)
        --pair->pending;
    if (Record* from = _record(_sources, source, now, false); from && from->pending > 0) --from->pending;
}

void ZSignInThrottle::withdrawn(const std::string& account, std::uint32_t source, std::int64_t now) {
    failed(account, source, now);
    if (Record* pair = _record(_pairs, pairKey(account, source), now, false); pair && pair->failures > 0)
        --pair->failures;
    if (Record* target = _record(_accounts, account, now, false); target && target->failures > 0) --target->failures;
    if (Record* from = _record(_sources, source, now, false); from && from->failures > 0) --from->failures;
}

bool ZSignInThrottle::suspect(const std::string& account, std::uint32_t source, std::int64_t now) {
    const Record* pair = _record(_pairs, pairKey(account, source), now, false);
    const Record* from = _record(_sources, source, now, false);
    return (pair && pair->failures > pair->pending) || (from && from->failures > from->pending);
}

std::int64_t ZSignInThrottle::waiting(const std::string& account, std::uint32_t source, std::int64_t now) const {
    auto pair = _pairs.find(pairKey(account, source));
    if (pair != _pairs.end() && pair->second.next > now) return pair->second.next - now;
    auto from = _sources.find(source);
    if (from != _sources.end() && from->second.next > now) return from->second.next - now;
    return 0;
}

void ZSignInThrottle::succeeded(const std::string& account, std::uint32_t source, std::int64_t now) {
    _pairs.erase(pairKey(account, source));
    if (Record* target = _record(_accounts, account, now, false); target && target->failures > 0) --target->failures;
    if (Record* from = _record(_sources, source, now, false); from && from->failures > 0) {
        --from->failures;
        if (from->pending > 0) --from->pending;
        if (from->failures < _limits.sourceFailures) from->next = 0;
    }
}

std::int64_t ZSignInThrottle::unknownAccount(std::uint32_t source, std::int64_t now) {
    Record* from = _record(_sources, source, now, true);
    if (!from) return 0;
    if (from->next > now) return from->next - now;
    from->last = now;
    if (++from->failures >= _limits.sourceFailures)
        from->next = now + _delayAfter(from->failures - _limits.sourceFailures);
    return 0;
}

int ZSignInThrottle::pairFailures(const std::string& account, std::uint32_t source, std::int64_t now) const {
    auto it = _pairs.find(pairKey(account, source));
    return it == _pairs.end() || _fresh(it->second, now) ? 0 : it->second.failures;
}

int ZSignInThrottle::accountFailures(const std::string& account, std::int64_t now) const {
    auto it = _accounts.find(account);
    return it == _accounts.end() || _fresh(it->second, now) ? 0 : it->second.failures;
}
