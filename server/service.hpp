#pragma once

// The DataSnap REST service of TServerMethods1 without the sockets: one HTTP
// request in (verb, raw target, the headers that matter, body, peer address),
// one answer out. Routing, argument decoding, sessions, access control, the
// SQL policy and the answer formats all live here; server.hpp puts it on
// the HTTP layer.

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cloud/codec/dataset.hpp"
#include "cloud/codec/dataset_list.hpp"
#include "server/network.hpp"
#include "server/request_body.hpp"
#include "server/sessions.hpp"
#include "server/sql_policy.hpp"
#include "server/storage.hpp"

namespace kqz::server {

struct HttpRequest {
    std::string verb;    // GET, POST, PUT, DELETE
    std::string target;  // the raw request target: percent-encoded path and query
    std::string pragma;  // every Pragma header value, joined by ","
    std::string accept;  // the Accept header
    std::string body;
    std::string peer;  // the client's address (after the trusted-proxy rule)
};

struct HttpAnswer {
    int status = 200;
    std::string contentType = "application/json";
    std::string pragma;  // "dssession=<id>,dssessionexpires=<ms>", empty for none
    std::string body;
    // When set, the answer's body is what this produces instead of `body`,
    // sent with chunked transfer encoding as it comes: each call appends the
    // next piece to its argument (cleared before the call) and returns false
    // after the last piece. The HTTP side calls it on a worker, one piece at a
    // time, only once the previous piece has been written, so an answer never
    // needs to be whole in memory. A throw ends the answer short.
    std::function<bool(std::string&)> produce;
};

struct ServiceOptions {
    bool allowExecute = false;                       // ExecuteCloud runs statements
    std::vector<Cidr> adminFrom = LoopbackRanges();  // where the administrator identification may come from
    std::chrono::milliseconds sessionIdle = std::chrono::minutes(20);
    std::size_t maxSessions = 10000;
    std::size_t cacheBytes = std::size_t{256} << 20;  // cached results of all sessions together
    codec::WriteOptions write;
    std::function<Clock::time_point()> clock = [] { return Clock::now(); };
};

// The administrator's identification query, as the client sends it.
inline constexpr const char* kAdminEmail = "admin@kqz.com.br";

class Service {
  public:
    Service(Storage& storage, ServiceOptions options);

    // Answers one request. Never throws: every failure becomes an error answer.
    HttpAnswer Handle(const HttpRequest& request);

    SessionStore& Sessions() { return sessions_; }
    ResultCache& Cached() { return cache_; }

    // True for a request whose answer may be large and slow to make (the
    // documents of a month, a cached result): the HTTP side serves these apart from the quick
    // ones so that they cannot hold every worker.
    bool IsBulk(const HttpRequest& request) const;

  private:
    // The live session of `id` as every server of the database knows it;
    // nullptr when it is unknown, expired or ended.
    std::shared_ptr<Session> FindSession(const std::string& id);
    // Reads what the database holds of `session` and marks it used there,
    // when `force` or when this server last did so a while ago. False when an
    // identified session is gone from the database (it is dropped here too).
    bool Refresh(Session& session, bool force);
    // Throws unless an identification in `session` (through any server of the
    // database) released `cnpj`.
    void CheckMayRead(Session& session, const std::string& cnpj);
    // Stores what an identification released in `session`.
    void Remember(Session& session, bool admin, const std::vector<std::string>& cnpjs);
    std::string NewSessionId() const;
    bool Genuine(const std::string& id) const;
    bool Recent(const std::string& id) const;
    std::int64_t NowMs() const;

    HttpAnswer Rest(const HttpRequest& request, const std::vector<std::string>& segments, bool trailingSlash,
                    Session& session);
    HttpAnswer Cache(const HttpRequest& request, const std::vector<std::string>& segments, Session& session);
    HttpAnswer SelectCloud(const std::optional<std::string>& sql, const HttpRequest& request,
                           Session& session);
    // The documents of a month as an answer made while it is sent.
    HttpAnswer DocumentsAnswerOf(const DocumentsQuery& query, Session& session);
    codec::Dataset RunSelect(const Statement& statement, const std::string& peer, Session& session);

    Storage& storage_;
    ServiceOptions options_;
    std::string sessionKey_;
    SessionStore sessions_;
    ResultCache cache_;
};

// Splits a raw path on "/" and percent-decodes each piece. Throws
// std::invalid_argument on a malformed escape.
std::vector<std::string> SplitPath(const std::string& rawPath);

// Decodes %XX escapes (a "+" stays a "+"). Throws std::invalid_argument on a
// malformed escape.
std::string PercentDecode(const std::string& text);

// The value of "dssession" in a Pragma header value, or "".
std::string SessionIdFromPragma(const std::string& pragma);

// The access-log form of a raw target: each method argument cut to a short
// prefix, the query string reduced to its keys.
std::string LoggablePath(const std::string& target);

}  // namespace kqz::server
