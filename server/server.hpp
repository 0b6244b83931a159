#pragma once

// kqz-server's HTTP side: the Service on cpp-httplib with a bounded worker
// pool, keep-alive, a payload limit, an access log and a clean stop.

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "server/network.hpp"
#include "server/service.hpp"

namespace httplib {
class Server;
}

namespace kqz::server {

struct ServerOptions {
    std::string listen = "127.0.0.1";
    int port = 8080;  // 0: any free port
    std::size_t workers = 8;
    std::size_t queue = 64;  // connections waiting for a worker before accepting pauses
    std::size_t maxBody = std::size_t{1} << 20;
    std::vector<Cidr> trustedProxies;  // peers whose X-Forwarded-For is believed
    // Receives one access-log line per request (without a line break).
    std::function<void(const std::string&)> log;
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
    // Makes Run() return once the requests in progress are answered. Safe
    // from any thread.
    void Stop();

    Service& GetService() { return service_; }

  private:
    void Install();

    ServerOptions options_;
    Service service_;
    std::unique_ptr<httplib::Server> http_;
    int port_ = -1;
    std::atomic<bool> running_{false};
    std::atomic<bool> stopping_{false};
};

// The client address of a request: the socket peer, or, when the peer is a
// trusted proxy, the last address of X-Forwarded-For. A request that carries
// X-Forwarded-For from an untrusted peer gets an empty address (never
// treated as local).
std::string ClientAddress(const std::string& peer, const std::string& forwardedFor, bool hasForwarded,
                          const std::vector<Cidr>& trustedProxies);

}  // namespace kqz::server
