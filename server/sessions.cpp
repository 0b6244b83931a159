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
                           std::function<Clock::time_point()> now)
    : idle_(idle), max_(std::max<std::size_t>(maxSessions, 1)), now_(std::move(now)) {}

void SessionStore::DropExpiredLocked(Clock::time_point now) {
    for (auto it = sessions_.begin(); it != sessions_.end();) {
        if (now - it->second.lastUse >= idle_) {
            it = sessions_.erase(it);
        } else {
            ++it;
        }
    }
}

std::shared_ptr<Session> SessionStore::Create() {
    const auto now = now_();
    std::lock_guard lock(mutex_);
    if (sessions_.size() >= max_) {
        DropExpiredLocked(now);
        while (sessions_.size() >= max_) {
            auto oldest = std::min_element(
                sessions_.begin(), sessions_.end(),
                [](const auto& a, const auto& b) { return a.second.useOrder < b.second.useOrder; });
            if (oldest == sessions_.end())
                break;
            sessions_.erase(oldest);
        }
    }
    for (;;) {
        auto session = std::make_shared<Session>(NewId());
        if (sessions_.emplace(session->id, Entry{session, now, ++uses_}).second)
            return session;
    }
}

std::shared_ptr<Session> SessionStore::Find(const std::string& id) {
    const auto now = now_();
    std::lock_guard lock(mutex_);
    auto it = sessions_.find(id);
    if (it == sessions_.end())
        return nullptr;
    if (now - it->second.lastUse >= idle_) {
        sessions_.erase(it);
        return nullptr;
    }
    it->second.lastUse = now;
    it->second.useOrder = ++uses_;
    return it->second.session;
}

bool SessionStore::Close(const std::string& id) {
    std::lock_guard lock(mutex_);
    return sessions_.erase(id) > 0;
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

}  // namespace kqz::server
