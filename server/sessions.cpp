#include "server/sessions.hpp"

#include <algorithm>
#include <cstdio>
#include <random>

namespace kqz::server {
namespace {

// 128 random bits, written like a GUID.
std::string NewId() {
    static std::mutex mutex;
    static std::random_device device;
    std::lock_guard lock(mutex);
    unsigned int parts[4];
    for (auto& p : parts)
        p = device();
    char text[40];
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%04X-%04X%08X", parts[0], parts[1] >> 16,
                  parts[1] & 0xFFFFu, parts[2] >> 16, parts[2] & 0xFFFFu, parts[3]);
    return text;
}

}  // namespace

SessionStore::SessionStore(std::chrono::milliseconds idle, std::size_t maxSessions,
                           std::function<Clock::time_point()> now, std::function<std::string()> newId)
    : idle_(idle),
      max_(std::max<std::size_t>(maxSessions, 1)),
      now_(std::move(now)),
      newId_(newId ? std::move(newId) : std::function<std::string()>(NewId)) {}

void SessionStore::EraseLocked(std::unordered_map<std::string, Entry>::iterator it) {
    (it->second.known ? known_ : anonymous_).erase(it->second.useOrder);
    if (dropped_.insert(it->first).second) {
        droppedOrder_.push_back(it->first);
        if (droppedOrder_.size() > std::min<std::size_t>(max_, 100000)) {
            dropped_.erase(droppedOrder_.front());
            droppedOrder_.pop_front();
        }
    }
    sessions_.erase(it);
}

bool SessionStore::Dropped(const std::string& id) const {
    std::lock_guard lock(mutex_);
    return dropped_.count(id) > 0;
}

void SessionStore::Evicted(const std::vector<std::string>& ids) const {
    if (evicted_) {
        for (const auto& id : ids)
            evicted_(id);
    }
}

void SessionStore::TouchLocked(Entry& entry, Clock::time_point now) {
    (entry.known ? known_ : anonymous_).erase(entry.useOrder);
    entry.lastUse = now;
    entry.useOrder = ++uses_;
    entry.known = entry.session->identified;
    (entry.known ? known_ : anonymous_).emplace(entry.useOrder, entry.session->id);
}

void SessionStore::DropExpiredLocked(Clock::time_point now) {
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        auto next = std::next(it);
        if (now - it->second.lastUse >= idle_)
            EraseLocked(it);
        it = next;
    }
}

bool SessionStore::EvictOneLocked(std::vector<std::string>& evicted) {
    // A session filed as anonymous may have identified since its last use:
    // file it again before choosing it.
    while (!anonymous_.empty()) {
        auto it = sessions_.find(anonymous_.begin()->second);
        if (it->second.session->identified) {
            anonymous_.erase(anonymous_.begin());
            it->second.known = true;
            known_.emplace(it->second.useOrder, it->first);
            continue;
        }
        EraseLocked(it);
        return true;
    }
    if (known_.empty())
        return false;
    evicted.push_back(known_.begin()->second);
    EraseLocked(sessions_.find(known_.begin()->second));
    return true;
}

std::shared_ptr<Session> SessionStore::InsertLocked(std::shared_ptr<Session> session, Clock::time_point now,
                                                    std::vector<std::string>& evicted) {
    if (sessions_.size() >= max_) {
        DropExpiredLocked(now);
        while (sessions_.size() >= max_ && EvictOneLocked(evicted)) {
        }
    }
    auto [it, inserted] = sessions_.emplace(session->id, Entry{session, now, ++uses_});
    if (!inserted)
        return nullptr;
    if (dropped_.erase(session->id) > 0)
        droppedOrder_.erase(std::find(droppedOrder_.begin(), droppedOrder_.end(), session->id));
    anonymous_.emplace(it->second.useOrder, session->id);
    return session;
}

std::shared_ptr<Session> SessionStore::Create() {
    const auto now = now_();
    std::vector<std::string> evicted;
    std::shared_ptr<Session> created;
    {
        std::lock_guard lock(mutex_);
        while (!created)
            created = InsertLocked(std::make_shared<Session>(newId_()), now, evicted);
    }
    Evicted(evicted);
    return created;
}

std::shared_ptr<Session> SessionStore::Adopt(const std::string& id) {
    const auto now = now_();
    std::vector<std::string> evicted;
    std::shared_ptr<Session> session;
    {
        std::lock_guard lock(mutex_);
        if (auto it = sessions_.find(id); it != sessions_.end()) {
            TouchLocked(it->second, now);
            return it->second.session;
        }
        session = InsertLocked(std::make_shared<Session>(id), now, evicted);
    }
    Evicted(evicted);
    return session;
}

std::shared_ptr<Session> SessionStore::Find(const std::string& id) {
    const auto now = now_();
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(id);
    if (it == sessions_.end())
        return nullptr;
    if (now - it->second.lastUse >= idle_) {
        EraseLocked(it);
        return nullptr;
    }
    TouchLocked(it->second, now);
    return it->second.session;
}

bool SessionStore::Close(const std::string& id) {
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(id);
    if (it == sessions_.end())
        return false;
    EraseLocked(it);
    return true;
}

std::int64_t SessionStore::RemainingMs(const Session& session) const {
    const auto now = now_();
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(session.id);
    if (it == sessions_.end())
        return 0;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(idle_ - (now - it->second.lastUse));
    return std::max<std::int64_t>(left.count(), 0);
}

std::size_t SessionStore::Size() const {
    std::lock_guard lock(mutex_);
    return sessions_.size();
}

ResultCache::ResultCache(std::size_t maxBytes) : max_(maxBytes) {}

int ResultCache::Put(const std::shared_ptr<Session>& session, std::string text) {
    auto result = std::make_shared<const CachedResult>(std::move(text), ledger_);
    int id = 0;
    {
        std::lock_guard lock(session->mutex);
        id = session->nextCacheId++;
        session->cache[id] = result;
        while (session->cache.size() > Session::kMaxCached)
            session->cache.erase(session->cache.begin());
    }
    // Lock order: this mutex, then a session's; never the other way round.
    std::lock_guard lock(mutex_);
    order_.push_back(Item{session, id, result});
    result.reset();
    while (order_.size() > 1 && (*ledger_ > max_ || order_.front().result.expired())) {
        Item oldest = std::move(order_.front());
        order_.pop_front();
        auto owner = oldest.session.lock();
        if (!owner || oldest.result.expired())
            continue;
        std::lock_guard sessionLock(owner->mutex);
        auto it = owner->cache.find(oldest.id);
        if (it != owner->cache.end() && it->second == oldest.result.lock())
            owner->cache.erase(it);
    }
    // Results dropped by their sessions leave expired items behind the front:
    // sweep them whenever the list has doubled since the last sweep.
    if (order_.size() >= nextSweep_) {
        order_.erase(
            std::remove_if(order_.begin(), order_.end(), [](const Item& i) { return i.result.expired(); }),
            order_.end());
        nextSweep_ = 2 * order_.size() + 64;
    }
    return id;
}

}  // namespace kqz::server
