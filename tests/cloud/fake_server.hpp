#pragma once

// An application server stand-in for the cloud client's tests: cpp-httplib on
// 127.0.0.1 at a free port, in a thread of its own, answering every request
// through a handler and recording what it received.

#include <httplib.h>

#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kqz::cloud::testing {

struct Received {
    std::string method;
    std::string target;  // path and query as sent, still percent-encoded
    std::string body;
    std::string accept;
    std::string contentType;
    std::string pragma;
    std::string ifModifiedSince;
};

struct Answer {
    Answer() = default;
    Answer(int status_, std::string body_, std::string contentType_ = "application/json",
           std::string pragma_ = {})
        : status(status_),
          body(std::move(body_)),
          contentType(std::move(contentType_)),
          pragma(std::move(pragma_)) {}

    int status = 200;
    std::string body;
    std::string contentType = "application/json";
    std::string pragma;  // sent as a Pragma header when not empty
};

class FakeServer {
  public:
    // `handler` gets each request and its 0-based number.
    using Handler = std::function<Answer(const Received&, std::size_t)>;

    explicit FakeServer(Handler handler) : handler_(std::move(handler)) {
        auto serve = [this](const httplib::Request& req, httplib::Response& res) {
            Received received{req.method,
                              req.target,
                              req.body,
                              req.get_header_value("Accept"),
                              req.get_header_value("Content-Type"),
                              req.get_header_value("Pragma"),
                              req.get_header_value("If-Modified-Since")};
            std::size_t index = 0;
            {
                std::lock_guard lock(mutex_);
                index = received_.size();
                received_.push_back(received);
            }
            const Answer answer = handler_(received, index);
            res.status = answer.status;
            if (!answer.pragma.empty()) {
                res.set_header("Pragma", answer.pragma);
            }
            res.set_content(answer.body, answer.contentType.c_str());
        };
        server_.set_tcp_nodelay(true);
        server_.Get(".*", serve);
        server_.Post(".*", serve);
        port_ = server_.bind_to_any_port("127.0.0.1");
        if (port_ <= 0) {
            throw std::runtime_error("fake server: no loopback port to bind");
        }
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        // Ten seconds to start listening, then the test fails instead of spinning.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!server_.is_running()) {
            if (std::chrono::steady_clock::now() > deadline) {
                server_.stop();
                thread_.join();
                throw std::runtime_error("fake server: did not start listening");
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    ~FakeServer() {
        server_.stop();
        thread_.join();
    }
    FakeServer(const FakeServer&) = delete;
    FakeServer& operator=(const FakeServer&) = delete;

    int Port() const { return port_; }
    std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }

    std::vector<Received> Requests() const {
        std::lock_guard lock(mutex_);
        return received_;
    }

  private:
    Handler handler_;
    httplib::Server server_;
    int port_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::vector<Received> received_;
};

// A server that gives every request the same answer.
inline FakeServer::Handler Always(Answer answer) {
    return [answer](const Received&, std::size_t) { return answer; };
}

}  // namespace kqz::cloud::testing
