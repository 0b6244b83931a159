#pragma once

// DataSnap sessions: an opaque id the client sends back in "Pragma:
// dssession=<id>", the identification state that access control reads, and
// the session's cache of method results (the "_Cache" call form).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>

namespace kqz::server {

using Clock = std::chrono::steady_clock;

struct Session {
    explicit Session(std::string sessionId) : id(std::move(sessionId)) {}

    const std::string id;

    // Guards everything below: one client may use its session on several
    // connections at once.
    std::mutex mutex;
    // The administrator identification ran in this session: every CNPJ is allowed.
    bool admin = false;
    // CNPJs the identifications of this session returned.
    std::set<std::string> cnpjs;
    // Cached results by cache id: the JSON text of the kept value.
    std::map<int, std::string> cache;
    int nextCacheId = 0;

    // Oldest cached results are dropped beyond this many.
    static constexpr std::size_t kMaxCached = 4;

    // True when counts and documents of `cnpj` may be read. Caller holds `mutex`.
    bool MayRead(const std::string& cnpj) const { return admin || cnpjs.count(cnpj) > 0; }
};

// All live sessions. A session expires after `idle` without use; when
// `maxSessions` are live, creating one drops the least recently used.
class SessionStore {
  public:
    SessionStore(
        std::chrono::milliseconds idle, std::size_t maxSessions,
        std::function<Clock::time_point()> now = [] { return Clock::now(); });

    // A new session with a fresh random id.
    std::shared_ptr<Session> Create();

    // The live session of `id`, marked as used now; nullptr when the id is
    // unknown or its session expired (an expired one is removed).
    std::shared_ptr<Session> Find(const std::string& id);

    // Ends a session; false when there was none.
    bool Close(const std::string& id);

    // Milliseconds until `session` expires if it is not used again.
    std::int64_t RemainingMs(const Session& session) const;

    std::size_t Size() const;

  private:
    struct Entry {
        std::shared_ptr<Session> session;
        Clock::time_point lastUse;
        std::uint64_t useOrder = 0;  // larger = used more recently
    };

    void DropExpiredLocked(Clock::time_point now);

    std::chrono::milliseconds idle_;
    std::size_t max_;
    std::function<Clock::time_point()> now_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Entry> sessions_;
    std::uint64_t uses_ = 0;
};

}  // namespace kqz::server
