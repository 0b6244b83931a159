#include "server/server.hpp"

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <iostream>
#include <mutex>
#include <thread>

namespace kqz::server {
namespace {

// A fixed set of worker threads with a bounded backlog: when `queue`
// connections already wait, the accepting thread waits too, and further
// clients wait in the kernel's listen backlog instead of in our memory.
class BoundedPool final : public httplib::TaskQueue {
  public:
    BoundedPool(std::size_t workers, std::size_t queue) : max_(std::max<std::size_t>(queue, 1)) {
        for (std::size_t i = 0; i < std::max<std::size_t>(workers, 1); ++i) {
            threads_.emplace_back([this] { Work(); });
        }
    }

    void enqueue(std::function<void()> fn) override {
        std::unique_lock lock(mutex_);
        spaceFree_.wait(lock, [&] { return jobs_.size() < max_ || shutdown_; });
        jobs_.push_back(std::move(fn));
        jobReady_.notify_one();
    }

    void shutdown() override {
        {
            std::lock_guard lock(mutex_);
            shutdown_ = true;
        }
        jobReady_.notify_all();
        spaceFree_.notify_all();
        for (auto& t : threads_)
            t.join();
    }

  private:
    void Work() {
        for (;;) {
            std::function<void()> fn;
            {
                std::unique_lock lock(mutex_);
                jobReady_.wait(lock, [&] { return !jobs_.empty() || shutdown_; });
                if (jobs_.empty())
                    return;
                fn = std::move(jobs_.front());
                jobs_.pop_front();
                spaceFree_.notify_one();
            }
            fn();
        }
    }

    std::size_t max_;
    std::mutex mutex_;
    std::condition_variable jobReady_;
    std::condition_variable spaceFree_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    bool shutdown_ = false;
};

// When the request being served on this thread started.
thread_local std::chrono::steady_clock::time_point requestStart{};

std::string Now() {
    const auto t = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm tm{};
    localtime_r(&t, &tm);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    return text;
}

std::string JoinHeader(const httplib::Request& req, const char* name) {
    std::string out;
    const auto n = req.get_header_value_count(name);
    for (std::size_t i = 0; i < n; ++i) {
        if (!out.empty())
            out += ',';
        out += req.get_header_value(name, i);
    }
    return out;
}

}  // namespace

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

Server::Server(Storage& storage, ServerOptions options)
    : options_(std::move(options)),
      service_(storage, options_.service),
      http_(std::make_unique<httplib::Server>()) {
    if (!options_.log) {
        options_.log = [](const std::string& line) {
            static std::mutex mutex;
            std::lock_guard lock(mutex);
            std::fprintf(stderr, "%s\n", line.c_str());
        };
    }
    Install();
}

Server::~Server() {
    Stop();
}

void Server::Install() {
    const std::size_t workers = options_.workers;
    const std::size_t queue = options_.queue;
    http_->new_task_queue = [workers, queue] { return new BoundedPool(workers, queue); };
    http_->set_tcp_nodelay(true);
    http_->set_keep_alive_max_count(1000);
    http_->set_keep_alive_timeout(5);
    http_->set_read_timeout(10);
    http_->set_write_timeout(30);
    http_->set_payload_max_length(options_.maxBody);

    http_->set_pre_routing_handler([](const httplib::Request&, httplib::Response&) {
        requestStart = std::chrono::steady_clock::now();
        return httplib::Server::HandlerResponse::Unhandled;
    });

    auto handler = [this](const httplib::Request& req, httplib::Response& res) {
        HttpRequest r;
        r.verb = req.method;
        r.target = req.target;
        r.pragma = JoinHeader(req, "Pragma");
        r.accept = req.get_header_value("Accept");
        r.body = req.body;
        const bool forwarded = req.has_header("X-Forwarded-For") || req.has_header("Forwarded");
        r.peer = ClientAddress(req.remote_addr, JoinHeader(req, "X-Forwarded-For"), forwarded,
                               options_.trustedProxies);
        HttpAnswer a = service_.Handle(r);
        res.status = a.status;
        if (!a.pragma.empty())
            res.set_header("Pragma", a.pragma);
        res.set_header("Content-Type", a.contentType);
        res.set_header("Cache-Control", "no-cache");
        res.body = std::move(a.body);
    };
    const std::string any = R"(/.*)";
    http_->Get(any, handler);
    http_->Post(any, handler);
    http_->Put(any, handler);
    http_->Delete(any, handler);

    http_->set_error_handler(
        httplib::Server::HandlerWithResponse([](const httplib::Request&, httplib::Response& res) {
            if (!res.body.empty())
                return httplib::Server::HandlerResponse::Unhandled;
            const char* what = res.status == 413   ? "requisição grande demais"
                               : res.status == 414 ? "endereço grande demais"
                               : res.status == 404 ? "caminho desconhecido"
                               : res.status == 405 ? "método HTTP não suportado"
                                                   : "requisição inválida";
            res.set_content(std::string(R"({"error":")") + what + "\"}", "application/json");
            return httplib::Server::HandlerResponse::Handled;
        }));

    http_->set_logger([this](const httplib::Request& req, const httplib::Response& res) {
        long long ms = 0;
        if (requestStart != std::chrono::steady_clock::time_point{}) {
            ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                       requestStart)
                     .count();
        }
        requestStart = {};
        std::string bytes = res.get_header_value("Content-Length");
        if (bytes.empty())
            bytes = std::to_string(res.body.size());
        options_.log(Now() + " " + req.remote_addr + " " + req.method + " " + LoggablePath(req.target) + " " +
                     std::to_string(res.status) + " " + bytes + " " + std::to_string(ms) + "ms");
    });
}

int Server::Bind() {
    if (options_.port == 0) {
        port_ = http_->bind_to_any_port(options_.listen);
    } else if (http_->bind_to_port(options_.listen, options_.port)) {
        port_ = options_.port;
    } else {
        port_ = -1;
    }
    if (port_ <= 0) {
        throw std::runtime_error("não consegui escutar em " + options_.listen + ":" +
                                 std::to_string(options_.port) + " (endereço inválido ou porta em uso)");
    }
    return port_;
}

void Server::Run() {
    running_ = true;
    if (!stopping_)
        http_->listen_after_bind();
    running_ = false;
}

void Server::Stop() {
    stopping_ = true;
    // Run() may be between its check and the start of the accept loop: wait
    // until the loop runs (or Run() has returned) so that the stop reaches it.
    while (running_ && !http_->is_running())
        std::this_thread::yield();
    http_->stop();
}

}  // namespace kqz::server
