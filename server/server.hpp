#pragma once

// kqz-server's HTTP side: the Service behind an event-driven HTTP/1.1 layer
// (Boost.Beast on one I/O thread). Sockets are only ever waited on by the I/O
// thread, so an idle keep-alive connection or a slow client costs a socket and
// a small buffer, never a worker. Complete requests go to one of two worker
// pools: quick requests to one, the documents of a month to another, so that
// big answers cannot hold every worker. Every wait on a client has a deadline:
// a whole request head, a whole body, and each step of an answer's writing.

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "server/metrics.hpp"
#include "server/network.hpp"
#include "server/service.hpp"

namespace kqz::server {

struct ServerOptions {
    std::string listen = "127.0.0.1";
    int port = 8080;          // 0: any free port
    std::size_t workers = 8;  // threads for quick requests
    // Threads for the documents of a month, apart from the quick ones; 0 gives
    // half of `workers` (at least 1).
    std::size_t bulkWorkers = 0;
    std::size_t maxBody = std::size_t{1} << 20;
    // The request line and every header line together, and the number of
    // header lines. The companies query of a few thousand CNPJs travels in
    // the request line: 256 KB of it fit with room for the headers.
    std::size_t maxHeadBytes = std::size_t{272} << 10;
    std::size_t maxHeaderLines = 100;
    // Connections open at once; further clients wait in the kernel's backlog.
    std::size_t maxConnections = 1024;
    // Connections open at once from one client address (trusted proxies
    // excepted); further ones are closed as soon as they are accepted.
    std::size_t maxConnectionsPerAddress = 128;
    // A whole request head must arrive within this, counted from the moment
    // the server waits for it (on a kept-alive connection: from the end of
    // the previous answer).
    std::chrono::milliseconds headTimeout = std::chrono::seconds(10);
    // A whole request body must arrive within this once its head is in.
    std::chrono::milliseconds bodyTimeout = std::chrono::seconds(30);
    // Each piece of an answer (at most 1 MB) must be taken by the client
    // within this.
    std::chrono::milliseconds writeTimeout = std::chrono::seconds(30);
    std::vector<Cidr> trustedProxies;  // peers whose X-Forwarded-For / Forwarded is believed
    // HTTPS: the certificate chain and its private key (PEM files); empty
    // for plain HTTP. The deadlines and limits hold the same, the TLS
    // handshake counting as part of the first request's head.
    std::string tlsCert;
    std::string tlsKey;
    // Receives one access-log line per request (without a line break).
    std::function<void(const std::string&)> log;
    // Text: time, client, verb, path, status, bytes, milliseconds. Json: one
    // object per line with the same facts and the session, for log
    // collectors; neither ever holds an e-mail or a statement's text.
    enum class LogFormat { Text, Json };
    LogFormat logFormat = LogFormat::Text;
    // Who may read GET /metrics.
    std::vector<Cidr> metricsFrom = LoopbackRanges();
    ServiceOptions service;
};

class Server {
  public:
    Server(Storage& storage, ServerOptions options);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds the listening socket; returns the port (the chosen one for port
    // 0). Throws std::runtime_error when the address cannot be bound.
    int Bind();
    // Serves until Stop(); Bind() must have succeeded.
    void Run();
    // Makes Run() return once the requests in progress are answered; idle
    // connections are closed. Safe from any thread, before or during Run().
    void Stop();

    Service& GetService();
    Metrics& GetMetrics();

    struct Impl;

  private:
    std::unique_ptr<Impl> impl_;
};

// The access-log form of a raw target without any method argument or query:
// "/datasnap/rest/TServerMethods1/SelectCloud".
std::string RoutePath(const std::string& target);

// The client address of a request: the socket peer, or, when the peer is a
// trusted proxy, the last address of X-Forwarded-For. A request that carries
// X-Forwarded-For from an untrusted peer gets an empty address (never
// treated as local); so does an empty header from a trusted proxy.
std::string ClientAddress(const std::string& peer, const std::string& forwardedFor, bool hasForwarded,
                          const std::vector<Cidr>& trustedProxies);

// The address of the last element of a Forwarded header value (RFC 7239):
// its "for=" parameter without quotes, brackets or port; "" when it has none.
std::string ForwardedFor(const std::string& forwarded);

}  // namespace kqz::server
