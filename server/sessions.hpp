#pragma once

// DataSnap sessions: an opaque id the client sends back in "Pragma:
// dssession=<id>", the identification state that access control reads, and
// the session's cache of method results (the "_Cache" call form).

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

namespace kqz::server {

using Clock = std::chrono::steady_clock;

// One cached method result. Its size counts against the server-wide budget
// for as long as it exists.
class CachedResult {
  public:
    CachedResult(std::string text, std::shared_ptr<std::atomic<std::size_t>> ledger)
        : text_(std::move(text)), ledger_(std::move(ledger)) {
        *ledger_ += text_.size();
    }
    ~CachedResult() { *ledger_ -= text_.size(); }
    CachedResult(const CachedResult&) = delete;
    CachedResult& operator=(const CachedResult&) = delete;

    const std::string& Text() const { return text_; }

  private:
    std::string text_;
    std::shared_ptr<std::atomic<std::size_t>> ledger_;
};

struct Session : std::enable_shared_from_this<Session> {
    explicit Session(std::string sessionId) : id(std::move(sessionId)) {}

    const std::string id;

    // An identification ran in this session and returned something (set once,
    // never cleared). Sessions that identified nobody are dropped first when
    // the store is full.
    std::atomic<bool> identified{false};

    // Guards everything below: one client may use its session on several
    // connections at once.
    std::mutex mutex;
    // The administrator identification ran in this session: every CNPJ is allowed.
    bool admin = false;
    // CNPJs the identifications of this session returned.
    std::set<std::string> cnpjs;
    // When this server last read the session from the database and marked
    // it used there.
    Clock::time_point storedAt{};
    // Cached results by cache id: the JSON text of the kept value.
    std::map<int, std::shared_ptr<const CachedResult>> cache;
    int nextCacheId = 0;

    // Oldest cached results are dropped beyond this many.
    static constexpr std::size_t kMaxCached = 4;

    // True when counts and documents of `cnpj` may be read. Caller holds `mutex`.
    bool MayRead(const std::string& cnpj) const { return admin || cnpjs.count(cnpj) > 0; }
};

// All live sessions. A session expires after `idle` without use; when
// `maxSessions` are live, creating one drops the least recently used session
// that identified nobody, and only when there is none the least recently used
// identified one: a flood of requests without a session cannot log anyone out.
//
// The store is this server's view: a session another server gave enters it
// through Adopt. Ids this store dropped (expired or pushed out) are
// remembered for a while, so that such an id is not taken back as new.
class SessionStore {
  public:
    SessionStore(
        std::chrono::milliseconds idle, std::size_t maxSessions,
        std::function<Clock::time_point()> now = [] { return Clock::now(); },
        std::function<std::string()> newId = {});

    // Called with the ids of identified sessions pushed out by the limit,
    // outside the store's lock.
    void OnEvicted(std::function<void(const std::string&)> evicted) { evicted_ = std::move(evicted); }

    // A new session with a fresh random id.
    std::shared_ptr<Session> Create();

    // A session of `id` given elsewhere, live from now on (the one already
    // here, if any).
    std::shared_ptr<Session> Adopt(const std::string& id);

    // The live session of `id`, marked as used now; nullptr when the id is
    // unknown or its session expired (an expired one is removed).
    std::shared_ptr<Session> Find(const std::string& id);

    // True when this store dropped `id` not long ago.
    bool Dropped(const std::string& id) const;

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
        bool known = false;          // filed under known_ rather than anonymous_
    };

    void DropExpiredLocked(Clock::time_point now);
    void EraseLocked(std::unordered_map<std::string, Entry>::iterator it);
    void TouchLocked(Entry& entry, Clock::time_point now);
    bool EvictOneLocked(std::vector<std::string>& evicted);
    std::shared_ptr<Session> InsertLocked(std::shared_ptr<Session> session, Clock::time_point now,
                                          std::vector<std::string>& evicted);
    void Evicted(const std::vector<std::string>& ids) const;

    std::chrono::milliseconds idle_;
    std::size_t max_;
    std::function<Clock::time_point()> now_;
    std::function<std::string()> newId_;
    std::function<void(const std::string&)> evicted_;
    // Ids dropped lately, oldest first, at most max_ of them.
    std::deque<std::string> droppedOrder_;
    std::set<std::string> dropped_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Entry> sessions_;
    // Session ids by use order, least recent first, one map per kind.
    std::map<std::uint64_t, std::string> anonymous_;
    std::map<std::uint64_t, std::string> known_;
    std::uint64_t uses_ = 0;
};

// The cached results of every session together stay within a number of
// bytes: keeping a new one drops the oldest ones, of whatever session, until
// the total fits again. The newest result is always kept.
class ResultCache {
  public:
    explicit ResultCache(std::size_t maxBytes);

    // Keeps `text` in `session` under a new cache id and returns the id. Also
    // drops the session's oldest results beyond Session::kMaxCached.
    int Put(const std::shared_ptr<Session>& session, std::string text);

    // Bytes of the results that exist now.
    std::size_t Bytes() const { return *ledger_; }

  private:
    struct Item {
        std::weak_ptr<Session> session;
        int id;
        std::weak_ptr<const CachedResult> result;
    };

    std::size_t max_;
    std::shared_ptr<std::atomic<std::size_t>> ledger_ = std::make_shared<std::atomic<std::size_t>>(0);
    std::mutex mutex_;
    std::deque<Item> order_;  // oldest first
    std::size_t nextSweep_ = 64;
};

}  // namespace kqz::server
