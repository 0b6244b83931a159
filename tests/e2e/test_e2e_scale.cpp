// Two kqz-server processes on one PostgreSQL database behind a balancer
// without sticky sessions: a small HTTP relay on loopback sends each request
// of the command line to the other server in turn, and the whole job
// (identification, company list, counts, download) still works.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "tests/e2e/server_process.hpp"
#include "tests/e2e/test_data.hpp"

namespace kqz::testing {
namespace {

namespace fs = std::filesystem;

int Connect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval tv{30, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// Relays one request per client connection to the next backend in turn,
// asking both sides to close afterwards, so that every request of a client
// may land on another server.
class RoundRobinRelay {
  public:
    explicit RoundRobinRelay(std::vector<int> backends) : backends_(std::move(backends)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof addr;
        if (::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(listener_, 64) != 0 ||
            ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &size) != 0) {
            throw std::runtime_error("relay cannot listen");
        }
        port_ = ntohs(addr.sin_port);
        served_.assign(backends_.size(), 0);
        thread_ = std::thread([this] { Accept(); });
    }
    ~RoundRobinRelay() {
        stop_ = true;
        thread_.join();
        for (auto& t : relays_)
            t.join();
        ::close(listener_);
    }
    RoundRobinRelay(const RoundRobinRelay&) = delete;
    RoundRobinRelay& operator=(const RoundRobinRelay&) = delete;

    int Port() const { return port_; }
    std::vector<int> Served() {
        std::lock_guard lock(mutex_);
        return served_;
    }

  private:
    void Accept() {
        while (!stop_) {
            pollfd p{listener_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            const int client = ::accept(listener_, nullptr, nullptr);
            if (client < 0)
                continue;
            const std::size_t backend = next_++ % backends_.size();
            relays_.emplace_back([this, client, backend] {
                Relay(client, backend);
                ::close(client);
            });
        }
    }

    void Relay(int client, std::size_t backend) {
        timeval tv{30, 0};
        ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        std::string request;
        char buffer[65536];
        std::size_t headEnd = std::string::npos;
        while ((headEnd = request.find("\r\n\r\n")) == std::string::npos) {
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n <= 0)
                return;
            request.append(buffer, static_cast<std::size_t>(n));
        }
        std::string head = request.substr(0, headEnd + 2);
        std::string body = request.substr(headEnd + 4);
        std::size_t length = 0;
        std::string rewritten;
        for (std::size_t at = 0; at < head.size();) {
            const auto eol = head.find("\r\n", at);
            std::string line = head.substr(at, eol - at);
            at = eol + 2;
            std::string lower = line;
            std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
            if (lower.rfind("connection:", 0) == 0)
                continue;
            if (lower.rfind("content-length:", 0) == 0)
                length = std::stoul(line.substr(15));
            rewritten += line + "\r\n";
        }
        while (body.size() < length) {
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n <= 0)
                return;
            body.append(buffer, static_cast<std::size_t>(n));
        }
        const int server = Connect(backends_[backend]);
        if (server < 0)
            return;
        {
            std::lock_guard lock(mutex_);
            ++served_[backend];
        }
        if (SendAll(server, rewritten + "Connection: close\r\n\r\n" + body)) {
            for (;;) {
                const ssize_t n = ::recv(server, buffer, sizeof buffer, 0);
                if (n <= 0 || !SendAll(client, std::string(buffer, static_cast<std::size_t>(n))))
                    break;
            }
        }
        ::close(server);
    }

    std::vector<int> backends_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::size_t next_ = 0;
    std::thread thread_;
    std::vector<std::thread> relays_;
    std::mutex mutex_;
    std::vector<int> served_;
};

void RunOnPostgres(const std::string& url, const std::string& sql) {
    PGconn* c = PQconnectdb(url.c_str());
    PGresult* r = PQexec(c, sql.c_str());
    const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    const std::string why = PQerrorMessage(c);
    PQclear(r);
    PQfinish(c);
    if (!ok)
        throw std::runtime_error(sql + ": " + why);
}

int PortOf(const std::string& url) {
    return std::stoi(url.substr(url.rfind(':') + 1));
}

TEST(ScaleOut, TwoServersOnOnePostgresServeAClientWithoutStickySessions) {
    const char* pg = std::getenv("KQZ_TEST_PG_URL");
    if (!pg || !*pg)
        GTEST_SKIP() << "KQZ_TEST_PG_URL não definido";
    const std::string schema = "kqz_e2e_" + std::to_string(::getpid());
    const fs::path dir = fs::temp_directory_path() / schema;
    fs::remove_all(dir);
    fs::create_directories(dir / "a");
    fs::create_directories(dir / "b");
    RunOnPostgres(pg, "DROP SCHEMA IF EXISTS " + schema + " CASCADE");
    RunOnPostgres(pg, "CREATE SCHEMA " + schema);
    const std::string url = std::string(pg) + (std::string(pg).find('?') == std::string::npos ? "?" : "&") +
                            "options=-csearch_path%3D" + schema;
    {
        const std::string db = CriarBanco(KQZ_SERVER_BINARY, dir, url);
        ServerProcess a(KQZ_SERVER_BINARY, db, dir / "a");
        ServerProcess b(KQZ_SERVER_BINARY, db, dir / "b");
        RoundRobinRelay relay({PortOf(a.Url()), PortOf(b.Url())});
        const std::string server = "http://127.0.0.1:" + std::to_string(relay.Port());
        auto kqz = [&](std::vector<std::string> args) {
            args.insert(args.begin(), KQZ_CLI_BINARY);
            args.push_back("--server");
            args.push_back(server);
            return Executar(args, dir);
        };

        const Saida lista = kqz({"companies", "--email", kEmail, "--month", "2021-03"});
        ASSERT_EQ(lista.status, 0) << lista.err;
        auto lines = std::vector<std::string>();
        for (std::size_t at = 0; at < lista.out.size();) {
            const auto eol = lista.out.find('\n', at);
            lines.push_back(lista.out.substr(at, eol - at));
            at = eol + 1;
        }
        std::sort(lines.begin(), lines.end());
        EXPECT_EQ(lines, (std::vector<std::string>{"11222333000181\tPADARIA SãO JOãO\t4",
                                                   "22333444000155\tMERCADO CENTRAL\t1"}));

        const fs::path out = dir / "baixados";
        const Saida baixa = kqz({"download", "--email", kEmail, "--cnpj", kCnpjPadaria, "--month", "2021-03",
                                 "--out", out.string()});
        ASSERT_EQ(baixa.status, 0) << baixa.err;
        std::size_t files = 0;
        for ([[maybe_unused]] const auto& entry : fs::directory_iterator(out))
            ++files;
        EXPECT_EQ(files, 4u);
        const auto report = RelatorioEsperado();
        for (const auto& line : report)
            EXPECT_NE(baixa.out.find(line), std::string::npos) << line;

        // Both servers answered, each about half of the requests.
        const auto served = relay.Served();
        EXPECT_GE(served[0], 3) << served[0] << "/" << served[1];
        EXPECT_GE(served[1], 3) << served[0] << "/" << served[1];
        EXPECT_LE(std::abs(served[0] - served[1]), 1);
    }
    RunOnPostgres(pg, "DROP SCHEMA " + schema + " CASCADE");
    fs::remove_all(dir);
}

}  // namespace
}  // namespace kqz::testing
