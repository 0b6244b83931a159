#include "server/server.hpp"

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <iostream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <thread>
#include <unordered_map>

namespace kqz::server {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using Steady = std::chrono::steady_clock;
using TlsStream = beast::ssl_stream<beast::tcp_stream>;

// What a stop needs of a connection, whatever its stream.
class ConnectionBase {
  public:
    virtual ~ConnectionBase() = default;
    virtual void CloseIfIdle() = 0;
};

// The server side of TLS from a certificate chain and its key (PEM files).
std::unique_ptr<net::ssl::context> TlsContext(const std::string& cert, const std::string& key) {
    auto ctx = std::make_unique<net::ssl::context>(net::ssl::context::tls_server);
    ctx->set_options(net::ssl::context::default_workarounds | net::ssl::context::no_sslv2 |
                     net::ssl::context::no_sslv3 | net::ssl::context::no_tlsv1 |
                     net::ssl::context::no_tlsv1_1 | net::ssl::context::single_dh_use);
    boost::system::error_code ec;
    ctx->use_certificate_chain_file(cert, ec);
    if (ec)
        throw std::runtime_error("não consegui ler o certificado TLS " + cert + ": " + ec.message());
    ctx->use_private_key_file(key, net::ssl::context::pem, ec);
    if (ec)
        throw std::runtime_error("não consegui ler a chave TLS " + key + ": " + ec.message());
    if (SSL_CTX_check_private_key(ctx->native_handle()) != 1)
        throw std::runtime_error("a chave TLS " + key + " não é a do certificado " + cert);
    return ctx;
}

// Threads that run jobs in arrival order. The queue needs no bound of its
// own: each connection has at most one job waiting.
class WorkerPool {
  public:
    explicit WorkerPool(std::size_t threads) {
        for (std::size_t i = 0; i < std::max<std::size_t>(threads, 1); ++i)
            threads_.emplace_back([this] { Work(); });
    }
    ~WorkerPool() {
        {
            std::lock_guard lock(mutex_);
            shutdown_ = true;
        }
        ready_.notify_all();
        for (auto& t : threads_)
            t.join();
    }
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    void Post(std::function<void()> job) {
        {
            std::lock_guard lock(mutex_);
            jobs_.push_back(std::move(job));
        }
        ready_.notify_one();
    }

  private:
    void Work() {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(mutex_);
                ready_.wait(lock, [&] { return !jobs_.empty() || shutdown_; });
                if (jobs_.empty())
                    return;
                job = std::move(jobs_.front());
                jobs_.pop_front();
            }
            job();
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    bool shutdown_ = false;
};

std::string Now() {
    const auto t = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    return text;
}

std::string UtcNow() {
    const auto now = std::chrono::system_clock::now();
    const auto t = std::chrono::system_clock::to_time_t(now);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    char out[48];
    std::snprintf(out, sizeof out, "%s.%03dZ", text, static_cast<int>(ms));
    return out;
}

std::string ErrorBody(const std::string& message) {
    return R"({"error":")" + message + "\"}";
}

constexpr std::size_t kWritePiece = std::size_t{1} << 20;

// The request parser, with one more limit: Beast keeps a header value in at
// most 64 KB and throws beyond it, so a longer one is refused here as a
// header past the limit. The request line is kept apart and may be longer.
class RequestParser final : public http::request_parser<http::string_body> {
  public:
    static constexpr std::size_t kMaxFieldValue = 65000;
    bool fieldTooLong = false;

  private:
    void on_field_impl(http::field name, beast::string_view nameString, beast::string_view value,
                       beast::error_code& ec) override {
        if (value.size() > kMaxFieldValue || nameString.size() > kMaxFieldValue) {
            fieldTooLong = true;
            ec = http::error::header_limit;
            return;
        }
        get().insert(name, nameString, value);
    }
};

}  // namespace

struct Server::Impl {
    Impl(Storage& s, ServerOptions o)
        : options(std::move(o)),
          tls(options.tlsCert.empty() ? nullptr : TlsContext(options.tlsCert, options.tlsKey)),
          storage(s),
          service(storage, options.service),
          quick(options.workers),
          bulk(options.bulkWorkers ? options.bulkWorkers : std::max<std::size_t>(options.workers / 2, 1)),
          work(net::make_work_guard(io)) {}

    void Accept();
    void ConnectionClosed(const std::string& peer);
    void StopOnIo();
    void Release() { work.reset(); }

    ServerOptions options;
    std::unique_ptr<net::ssl::context> tls;  // null: plain HTTP
    Storage& storage;
    Service service;
    Metrics metrics;
    net::io_context io{1};
    tcp::acceptor acceptor{io};
    WorkerPool quick;
    WorkerPool bulk;
    net::executor_work_guard<net::io_context::executor_type> work;
    std::atomic<std::size_t> live{0};
    bool acceptPaused = false;                                // I/O thread only
    std::unordered_map<std::string, std::size_t> perAddress;  // I/O thread only
    bool stopping = false;                                    // I/O thread only
    std::atomic<bool> stopRequested{false};
    std::atomic<bool> running{false};
    std::atomic<bool> ending{false};  // the server object is going away
    std::set<std::weak_ptr<ConnectionBase>, std::owner_less<std::weak_ptr<ConnectionBase>>>
        connections;  // I/O thread only
};

// One client connection over plain TCP or over TLS.
template <class Stream>
class Connection final : public ConnectionBase, public std::enable_shared_from_this<Connection<Stream>> {
  public:
    static constexpr bool kTls = std::is_same_v<Stream, TlsStream>;

    Connection(Server::Impl& server, tcp::socket socket)
        : server_(server),
          stream_(MakeStream(std::move(socket), server)),
          buffer_(server.options.maxHeadBytes + 65536) {
        boost::system::error_code ec;
        const auto endpoint = Socket().remote_endpoint(ec);
        if (!ec) {
            const auto a = endpoint.address();
            peer_ = a.is_v6() && a.to_v6().is_v4_mapped()
                        ? net::ip::make_address_v4(net::ip::v4_mapped, a.to_v6()).to_string()
                        : a.to_string();
        }
        Socket().set_option(tcp::no_delay(true), ec);
    }

    ~Connection() override {
        EndDownload();
        server_.ConnectionClosed(peer_);
    }

    const std::string& Peer() const { return peer_; }

    void Start() {
        if constexpr (kTls) {
            // The handshake counts as part of the first request's head.
            waitingForHead_ = true;
            Lowest().expires_after(server_.options.headTimeout);
            stream_.async_handshake(net::ssl::stream_base::server,
                                    [self = this->shared_from_this()](beast::error_code ec) {
                                        self->waitingForHead_ = false;
                                        if (ec)
                                            return self->Close();
                                        self->ReadHead();
                                    });
        } else {
            ReadHead();
        }
    }

    // Closes the connection when it is waiting for a request that has not
    // begun: a stop must not wait for idle clients.
    void CloseIfIdle() override {
        if (waitingForHead_) {
            boost::system::error_code ec;
            Socket().shutdown(tcp::socket::shutdown_both, ec);
            Lowest().cancel();
        }
    }

  private:
    static Stream MakeStream(tcp::socket socket, Server::Impl& server) {
        if constexpr (kTls) {
            return Stream(std::move(socket), *server.tls);
        } else {
            (void)server;
            return Stream(std::move(socket));
        }
    }
    beast::tcp_stream& Lowest() { return beast::get_lowest_layer(stream_); }
    tcp::socket& Socket() { return Lowest().socket(); }

    void ReadHead() {
        if (server_.stopping) {
            Close();
            return;
        }
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(
            std::min<std::size_t>(server_.options.maxHeadBytes, std::numeric_limits<std::uint32_t>::max())));
        parser_->body_limit(server_.options.maxBody);
        waitingForHead_ = true;
        Lowest().expires_after(server_.options.headTimeout);
        http::async_read_header(
            stream_, buffer_, *parser_,
            [self = this->shared_from_this()](beast::error_code ec, std::size_t) { self->OnHead(ec); });
    }

    void OnHead(beast::error_code ec) {
        waitingForHead_ = false;
        start_ = Steady::now();
        if (ec) {
            Refuse(ec);
            return;
        }
        const auto& head = parser_->get();
        std::size_t lines = 0;
        for (auto it = head.begin(); it != head.end(); ++it)
            ++lines;
        if (lines > server_.options.maxHeaderLines) {
            Fail(431, "cabeçalhos demais na requisição");
            return;
        }
        const auto verb = head.method();
        if (verb != http::verb::get && verb != http::verb::post && verb != http::verb::put &&
            verb != http::verb::delete_) {
            Fail(405, "método HTTP não suportado");
            return;
        }
        if (parser_->is_done()) {
            Dispatch();
            return;
        }
        if (beast::iequals(head[http::field::expect], "100-continue")) {
            static const std::string kContinue = "HTTP/1.1 100 Continue\r\n\r\n";
            Lowest().expires_after(server_.options.writeTimeout);
            net::async_write(stream_, net::buffer(kContinue),
                             [self = this->shared_from_this()](beast::error_code e, std::size_t) {
                                 if (e)
                                     return self->Close();
                                 self->ReadBody();
                             });
            return;
        }
        ReadBody();
    }

    void ReadBody() {
        Lowest().expires_after(server_.options.bodyTimeout);
        http::async_read(stream_, buffer_, *parser_,
                         [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                             if (ec)
                                 return self->Refuse(ec);
                             self->Dispatch();
                         });
    }

    // A request that could not be read: an answer when the client can still
    // take one, then the end of the connection.
    void Refuse(beast::error_code ec) {
        if (ec == http::error::body_limit) {
            Fail(413, "requisição grande demais");
        } else if (ec == http::error::header_limit) {
            // The request line is to blame when it has not ended within the
            // limit, or takes more than half of it. (The parser has read
            // nothing from the buffer unless one header was too long.)
            const auto* data = static_cast<const char*>(buffer_.data().data());
            const std::string_view received(data, buffer_.size());
            const std::string limit = std::to_string(server_.options.maxHeadBytes / 1024) + " KB";
            const auto lineEnd = received.find("\r\n");
            if (!parser_->fieldTooLong &&
                (lineEnd == std::string_view::npos || lineEnd > server_.options.maxHeadBytes / 2)) {
                Fail(414, "linha da requisição longa demais: este servidor aceita até " + limit +
                              " no endereço e nos cabeçalhos juntos (consulta com CNPJs demais?)");
            } else {
                Fail(431, "cabeçalhos grandes demais na requisição: este servidor aceita até " + limit +
                              " no endereço e nos cabeçalhos juntos");
            }
        } else if (ec.category() == http::make_error_code(http::error::end_of_stream).category() &&
                   ec != http::error::end_of_stream && ec != http::error::partial_message) {
            Fail(400, "requisição inválida");
        } else {
            Close();
        }
    }

    void Fail(int status, const std::string& message) {
        keepAlive_ = false;
        drain_ = true;
        HttpAnswer a;
        a.status = status;
        a.body = ErrorBody(message);
        method_ = parser_ ? std::string(parser_->get().method_string()) : std::string("-");
        target_ = parser_ ? std::string(parser_->get().target()) : std::string("-");
        Answer(std::move(a));
    }

    void Dispatch() {
        auto message = parser_->release();
        parser_.reset();
        keepAlive_ = message.keep_alive();
        method_ = std::string(message.method_string());
        target_ = std::string(message.target());

        auto request = std::make_shared<HttpRequest>();
        request->verb = method_;
        request->target = target_;
        for (auto [it, end] = message.equal_range("Pragma"); it != end; ++it) {
            if (!request->pragma.empty())
                request->pragma += ',';
            request->pragma += std::string(it->value());
        }
        request->accept = std::string(message[http::field::accept]);
        request->body = std::move(message.body());
        // A present header counts even when its value is empty.
        std::string forwarded;
        bool hasForwarded = false;
        for (auto [it, end] = message.equal_range("X-Forwarded-For"); it != end; ++it) {
            if (hasForwarded)
                forwarded += ',';
            forwarded += std::string(it->value());
            hasForwarded = true;
        }
        if (!hasForwarded) {
            std::string joined;
            for (auto [it, end] = message.equal_range(http::field::forwarded); it != end; ++it) {
                if (hasForwarded)
                    joined += ',';
                joined += std::string(it->value());
                hasForwarded = true;
            }
            forwarded = ForwardedFor(joined);
        }
        request->peer = ClientAddress(peer_, forwarded, hasForwarded, server_.options.trustedProxies);

        if (target_ == "/health" || target_ == "/metrics") {
            server_.quick.Post([self = this->shared_from_this(), request] {
                HttpAnswer answer = self->Operational(*request);
                net::post(self->stream_.get_executor(),
                          [self, answer = std::move(answer)]() mutable { self->Answer(std::move(answer)); });
            });
            return;
        }
        const bool bulk = server_.service.IsBulk(*request);
        if (bulk && !download_) {
            download_ = true;
            server_.metrics.DownloadStarted();
        }
        auto& pool = bulk ? server_.bulk : server_.quick;
        pool.Post([self = this->shared_from_this(), request] {
            HttpAnswer answer;
            try {
                answer = self->server_.service.Handle(*request);
            } catch (const std::exception&) {  // out of memory, at worst: the worker lives on
                answer.status = 500;
                answer.body = ErrorBody("erro interno do servidor");
            }
            net::post(self->stream_.get_executor(),
                      [self, answer = std::move(answer)]() mutable { self->Answer(std::move(answer)); });
        });
    }

    // GET /health: 200 when the database answers, 503 otherwise. GET
    // /metrics: the Prometheus text, to the networks allowed to read it.
    HttpAnswer Operational(const HttpRequest& request) {
        HttpAnswer a;
        if (request.verb != "GET") {
            a.status = 405;
            a.body = ErrorBody("use GET");
            return a;
        }
        if (request.target == "/health") {
            try {
                server_.storage.Ping();
                a.body = R"({"status":"ok"})";
            } catch (const std::exception& e) {
                a.status = 503;
                a.body = nlohmann::json{{"error", std::string("o banco não responde: ") + e.what()}}.dump(
                    -1, ' ', false, nlohmann::json::error_handler_t::replace);
            }
            return a;
        }
        if (!InAnyRange(server_.options.metricsFrom, request.peer)) {
            a.status = 403;
            a.body = ErrorBody("as métricas não são servidas a este endereço");
            return a;
        }
        a.contentType = "text/plain; version=0.0.4; charset=utf-8";
        a.body = server_.metrics.Text(server_.service.Sessions().Size());
        return a;
    }

    void EndDownload() {
        if (download_) {
            download_ = false;
            server_.metrics.DownloadEnded();
        }
    }

    void Answer(HttpAnswer a) {
        // Eight random hex digits of the session id (its first eight say
        // when it was given): enough to follow a session, never to use it.
        const std::string id = SessionIdFromPragma(a.pragma);
        session_ = id.size() >= 18 ? id.substr(9, 4) + id.substr(14, 4) : std::string();
        if (server_.stopping)
            keepAlive_ = false;
        status_ = a.status;
        sent_ = 0;
        auto& h = head_;
        h = {};
        h.version(11);
        h.result(static_cast<unsigned>(a.status));
        if (!a.pragma.empty())
            h.set("Pragma", a.pragma);
        h.set(http::field::content_type, a.contentType);
        h.set(http::field::cache_control, "no-cache");
        if (!keepAlive_)
            h.set(http::field::connection, "close");
        if (a.produce) {
            produce_ = std::move(a.produce);
            h.set(http::field::transfer_encoding, "chunked");
            body_.clear();
            WriteHeadThenPieces();
            return;
        }
        body_ = std::move(a.body);
        h.set(http::field::content_length, std::to_string(body_.size()));
        // The head, then the body in pieces, each with its own deadline.
        headText_ = HeadText();
        offset_ = 0;
        WriteRaw(true);
    }

    std::string HeadText() {
        std::string text = "HTTP/1.1 " + std::to_string(status_) + " " + std::string(head_.reason()) + "\r\n";
        for (const auto& field : head_)
            text += std::string(field.name_string()) + ": " + std::string(field.value()) + "\r\n";
        text += "\r\n";
        return text;
    }

    // Writes headText_ and then body_ from offset_, at most kWritePiece at a time.
    void WriteRaw(bool withHead) {
        std::vector<net::const_buffer> buffers;
        if (withHead)
            buffers.push_back(net::buffer(headText_));
        const std::size_t n = std::min(kWritePiece, body_.size() - offset_);
        if (n > 0)
            buffers.push_back(net::buffer(body_.data() + offset_, n));
        Lowest().expires_after(server_.options.writeTimeout);
        net::async_write(stream_, buffers,
                         [self = this->shared_from_this(), n](beast::error_code ec, std::size_t) {
                             if (ec)
                                 return self->Close();
                             self->offset_ += n;
                             self->sent_ += n;
                             if (self->offset_ < self->body_.size())
                                 return self->WriteRaw(false);
                             self->Done();
                         });
    }

    void WriteHeadThenPieces() {
        headText_ = HeadText();
        Lowest().expires_after(server_.options.writeTimeout);
        net::async_write(stream_, net::buffer(headText_),
                         [self = this->shared_from_this()](beast::error_code ec, std::size_t) {
                             if (ec)
                                 return self->Close();
                             self->Pull();
                         });
    }

    // Asks the producer for the next piece on a bulk worker; writes it as one
    // chunk on the I/O thread; repeats until the producer has no more.
    void Pull() {
        server_.bulk.Post([self = this->shared_from_this()] {
            auto piece = std::make_shared<std::string>();
            bool more = false;
            bool failed = false;
            try {
                more = self->produce_(*piece);
            } catch (...) {
                failed = true;
            }
            net::post(self->stream_.get_executor(), [self, piece, more, failed] {
                if (failed)
                    return self->Close();  // the client sees an answer without its last chunk
                self->body_ = std::move(*piece);
                self->sent_ += self->body_.size();
                self->Lowest().expires_after(self->server_.options.writeTimeout);
                auto next = [self, more](beast::error_code ec, std::size_t) {
                    if (ec)
                        return self->Close();
                    if (more)
                        return self->Pull();
                    self->Lowest().expires_after(self->server_.options.writeTimeout);
                    net::async_write(self->stream_, http::make_chunk_last(),
                                     [self](beast::error_code e, std::size_t) {
                                         if (e)
                                             return self->Close();
                                         self->produce_ = nullptr;
                                         self->Done();
                                     });
                };
                if (self->body_.empty()) {
                    next({}, 0);
                } else {
                    net::async_write(self->stream_, http::make_chunk(net::buffer(self->body_)), next);
                }
            });
        });
    }

    void Done() {
        Log();
        EndDownload();
        body_.clear();
        body_.shrink_to_fit();
        if (!keepAlive_)
            return Close();
        ReadHead();
    }

    void Log() {
        const auto elapsed = Steady::now() - start_;
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
        server_.metrics.Count(method_, status_, sent_, std::chrono::duration<double>(elapsed).count());
        if (server_.options.logFormat == ServerOptions::LogFormat::Json) {
            const nlohmann::json line{
                {"time", UtcNow()},  {"client", peer_}, {"method", method_}, {"path", RoutePath(target_)},
                {"status", status_}, {"bytes", sent_},  {"ms", ms},          {"session", session_}};
            server_.options.log(line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
            return;
        }
        server_.options.log(Now() + " " + peer_ + " " + method_ + " " + LoggablePath(target_) + " " +
                            std::to_string(status_) + " " + std::to_string(sent_) + " " + std::to_string(ms) +
                            "ms");
    }

    void Close() {
        boost::system::error_code ec;
        Socket().shutdown(tcp::socket::shutdown_send, ec);
        if (drain_) {
            // After a refusal the client may still be sending: read what it
            // sends for a moment, so that closing does not reset the
            // connection before it has read the answer.
            drain_ = false;
            Lowest().expires_after(std::chrono::seconds(1));
            Drain();
            return;
        }
        Socket().close(ec);
    }

    void Drain() {
        scratch_.resize(16384);
        stream_.async_read_some(net::buffer(scratch_), [self = this->shared_from_this()](beast::error_code ec,
                                                                                         std::size_t) {
            self->drained_ += self->scratch_.size();
            if (ec || self->drained_ > self->server_.options.maxBody + self->server_.options.maxHeadBytes) {
                boost::system::error_code ignored;
                self->Socket().close(ignored);
                return;
            }
            self->Drain();
        });
    }

    Server::Impl& server_;
    Stream stream_;
    beast::flat_buffer buffer_;
    std::optional<RequestParser> parser_;
    http::response_header<> head_;
    std::string headText_;
    std::string body_;
    std::size_t offset_ = 0;
    std::function<bool(std::string&)> produce_;
    std::string peer_;
    std::string method_;
    std::string target_;
    std::string session_;  // a few characters of the answer's session id
    bool download_ = false;
    int status_ = 0;
    std::size_t sent_ = 0;
    bool keepAlive_ = false;
    bool waitingForHead_ = false;
    bool drain_ = false;
    std::string scratch_;
    std::size_t drained_ = 0;
    Steady::time_point start_{};
};

void Server::Impl::Accept() {
    if (stopping)
        return;
    if (live >= options.maxConnections) {
        acceptPaused = true;  // resumed by ConnectionClosed
        return;
    }
    acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
        if (ec) {
            if (ec == net::error::operation_aborted || stopping)
                return;
            // Out of descriptors or a connection reset before it was taken:
            // try again shortly instead of spinning.
            auto timer = std::make_shared<net::steady_timer>(io, std::chrono::milliseconds(50));
            timer->async_wait([this, timer](beast::error_code) { Accept(); });
            return;
        }
        ++live;
        std::shared_ptr<ConnectionBase> connection;
        std::string peer;
        auto start = [&](auto c) {
            peer = c->Peer();
            connection = c;
            return c;
        };
        std::function<void()> begin;
        if (tls) {
            auto c = start(std::make_shared<Connection<TlsStream>>(*this, std::move(socket)));
            begin = [c] { c->Start(); };
        } else {
            auto c = start(std::make_shared<Connection<beast::tcp_stream>>(*this, std::move(socket)));
            begin = [c] { c->Start(); };
        }
        auto& count = perAddress[peer];
        ++count;
        if (count > options.maxConnectionsPerAddress && !InAnyRange(options.trustedProxies, peer)) {
            begin = nullptr;
            connection.reset();  // one address may not take every connection: closed at once
        } else {
            connections.insert(connection);
            begin();
        }
        Accept();
    });
}

void Server::Impl::ConnectionClosed(const std::string& peer) {
    --live;
    if (ending)
        return;
    net::post(io, [this, peer] {
        if (auto it = perAddress.find(peer); it != perAddress.end() && --it->second == 0)
            perAddress.erase(it);
        if (connections.size() > 2 * live + 16) {
            for (auto it = connections.begin(); it != connections.end();)
                it = it->expired() ? connections.erase(it) : std::next(it);
        }
        if (acceptPaused && !stopping) {
            acceptPaused = false;
            Accept();
        }
        if (stopping && live == 0)
            Release();
    });
}

void Server::Impl::StopOnIo() {
    if (stopping)
        return;
    stopping = true;
    boost::system::error_code ec;
    acceptor.close(ec);
    for (const auto& weak : connections) {
        if (auto c = weak.lock())
            c->CloseIfIdle();
    }
    if (live == 0)
        Release();
}

std::string RoutePath(const std::string& target) {
    const std::string path = target.substr(0, target.find('?'));
    std::size_t end = 0;
    for (int slashes = 0; slashes < 4; ++slashes) {
        end = path.find('/', end + 1);
        if (end == std::string::npos)
            return path;
    }
    return path.substr(0, end);
}

std::string ClientAddress(const std::string& peer, const std::string& forwardedFor, bool hasForwarded,
                          const std::vector<Cidr>& trustedProxies) {
    if (!hasForwarded)
        return peer;
    if (!InAnyRange(trustedProxies, peer))
        return {};
    auto last =
        forwardedFor.substr(forwardedFor.rfind(',') == std::string::npos ? 0 : forwardedFor.rfind(',') + 1);
    const auto first = last.find_first_not_of(" \t");
    const auto end = last.find_last_not_of(" \t");
    return first == std::string::npos ? std::string() : last.substr(first, end - first + 1);
}

std::string ForwardedFor(const std::string& forwarded) {
    const auto comma = forwarded.rfind(',');
    const std::string element = forwarded.substr(comma == std::string::npos ? 0 : comma + 1);
    std::size_t start = 0;
    while (start <= element.size()) {
        auto end = element.find(';', start);
        if (end == std::string::npos)
            end = element.size();
        std::string pair = element.substr(start, end - start);
        const auto b = pair.find_first_not_of(" \t");
        pair = b == std::string::npos ? std::string() : pair.substr(b);
        if (pair.size() > 4 && beast::iequals(pair.substr(0, 4), "for=")) {
            std::string value = pair.substr(4);
            value.erase(value.find_last_not_of(" \t") + 1);
            if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                value = value.substr(1, value.size() - 2);
            if (!value.empty() && value.front() == '[') {
                const auto close = value.find(']');
                return close == std::string::npos ? std::string() : value.substr(1, close - 1);
            }
            const auto colon = value.find(':');
            return colon == std::string::npos ? value : value.substr(0, colon);
        }
        start = end + 1;
    }
    return {};
}

Server::Server(Storage& storage, ServerOptions options) {
    if (!options.log) {
        options.log = [](const std::string& line) {
            static std::mutex mutex;
            std::lock_guard lock(mutex);
            std::fprintf(stderr, "%s\n", line.c_str());
        };
    }
    impl_ = std::make_unique<Impl>(storage, std::move(options));
}

Server::~Server() {
    Stop();
    // Connections still queued on the I/O context hold the Impl: end them
    // before the pools and the service go.
    impl_->ending = true;
    impl_->io.stop();
    impl_->connections.clear();
}

Service& Server::GetService() {
    return impl_->service;
}

Metrics& Server::GetMetrics() {
    return impl_->metrics;
}

int Server::Bind() {
    auto& o = impl_->options;
    const auto fail = [&] {
        return std::runtime_error("não consegui escutar em " + o.listen + ":" + std::to_string(o.port) +
                                  " (endereço inválido ou porta em uso)");
    };
    boost::system::error_code ec;
    tcp::resolver resolver(impl_->io);
    const auto results = resolver.resolve(o.listen, std::to_string(o.port), ec);
    if (ec || results.empty())
        throw fail();
    const tcp::endpoint endpoint = *results.begin();
    auto& a = impl_->acceptor;
    a.open(endpoint.protocol(), ec);
    if (!ec)
        a.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec)
        a.bind(endpoint, ec);
    if (!ec)
        a.listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        a.close(ec);
        throw fail();
    }
    return a.local_endpoint().port();
}

void Server::Run() {
    impl_->running = true;
    if (!impl_->stopRequested) {
        net::post(impl_->io, [this] { impl_->Accept(); });
        impl_->io.run();
    }
    impl_->running = false;
}

void Server::Stop() {
    if (impl_->stopRequested.exchange(true))
        return;
    net::post(impl_->io, [this] { impl_->StopOnIo(); });
}

}  // namespace kqz::server
