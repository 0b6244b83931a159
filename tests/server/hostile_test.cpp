// kqz-server on loopback against the traffic of an attacker: deep bodies,
// range requests, slow and idle connections, oversized heads, floods of
// sessions, many cached results, forged forwarding headers, and big answers
// that must not hold the quick ones back. Every wait has a bound: sockets get
// receive and send time-outs, loops a fixed count.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <condition_variable>
#include <future>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "server/documents.hpp"
#include "server/server.hpp"
#include "tests/server/support.hpp"

namespace kqz::server {
namespace {

using test::EncodeSegment;

constexpr const char* kCnpj = "08723218000186";
const std::string kMethods = "/datasnap/rest/TServerMethods1/";
const std::string kAdminSql = "SELECT AD_CNPJ AS AU_CNPJ FROM KQZ_SAD GROUP BY AD_CNPJ ORDER BY AD_CNPJ";
const std::string kUsersSql = "SELECT * FROM KQZ_SADu WHERE AU_EMAIL ='contador@exemplo.com.br'";
const std::string kCountSql =
    std::string("SELECT COUNT(*) AS QuantidadeDeRegistros FROM KQZ_SAD where AD_CNPJ='") + kCnpj +
    "' AND AD_DATA='1509'";
const std::string kDocumentsSql =
    std::string("SELECT *,LEFT(right(AD_NUMERO,16),6) as X_NUMERO FROM KQZ_SAD where AD_CNPJ='") + kCnpj +
    "' AND AD_DATA='1509'";

std::string Select(const std::string& sql) {
    return kMethods + "SelectCloud/" + EncodeSegment(sql) + "/";
}

// A plain TCP connection for what an HTTP client library would not send.
class RawSocket {
  public:
    explicit RawSocket(int port, int timeoutSeconds = 10) : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
        timeval tv{timeoutSeconds, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ::setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~RawSocket() { ::close(fd_); }
    RawSocket(const RawSocket&) = delete;
    RawSocket& operator=(const RawSocket&) = delete;

    bool Connected() const { return connected_; }
    bool Send(const std::string& data) {
        return ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
    }
    // Everything until the server closes (or the time-out passes).
    std::string ReadAll() {
        std::string out;
        char buf[65536];
        for (;;) {
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0)
                return out;
            out.append(buf, static_cast<std::size_t>(n));
        }
    }
    // True when the server has closed its side (recv sees the end or a reset).
    bool ClosedByServer() {
        char c;
        return ::recv(fd_, &c, 1, 0) == 0 || errno == ECONNRESET;
    }

  private:
    int fd_;
    bool connected_ = false;
};

// Storage whose documents query waits until the test opens the gate, so that
// big answers can be held in progress for as long as a test needs.
class GatedStorage final : public test::ForwardingStorage {
  public:
    explicit GatedStorage(Storage& inner) : ForwardingStorage(inner) {}

    void Open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    int Waiting() {
        std::lock_guard lock(mutex_);
        return waiting_;
    }

    // A documents query waits here until Open() (a minute at most).
    void Wait() {
        std::unique_lock lock(mutex_);
        ++waiting_;
        changed_.notify_all();
        changed_.wait_for(lock, std::chrono::seconds(60), [&] { return open_; });
        --waiting_;
    }

    void Documents(const std::string& c, const std::string& m,
                   const std::function<void(codec::Row&&)>& sink) override {
        Wait();
        ForwardingStorage::Documents(c, m, sink);
    }
    std::unique_ptr<codec::RowBatches> DocumentBatches(const std::string& c, const std::string& m,
                                                       std::size_t batchBytes) override {
        Wait();
        return ForwardingStorage::DocumentBatches(c, m, batchBytes);
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool open_ = false;
    int waiting_ = 0;
};

class HostileTest : public testing::Test {
  protected:
    void SetUp() override {
        db_ = std::make_unique<test::TempDatabase>(test::Backend::Sqlite);
        Storage& s = db_->Open();
        test::FillSampleStore(s, "contador@exemplo.com.br");
    }

    std::unique_ptr<test::RunningServer> Start(ServerOptions options = {}, Storage* storage = nullptr) {
        return std::make_unique<test::RunningServer>(storage ? *storage : db_->Open(), std::move(options));
    }

    std::unique_ptr<test::TempDatabase> db_;
};

std::string SessionOf(const httplib::Result& r) {
    static const std::regex pragma(R"(dssession=([0-9A-F-]+),.*)");
    std::smatch m;
    const std::string value = r ? r->get_header_value("Pragma") : std::string();
    return std::regex_match(value, m, pragma) ? m[1].str() : std::string();
}

// A client with a short time-out: a server that does not answer fails the
// test instead of hanging it.
httplib::Client Probe(int port) {
    httplib::Client c("127.0.0.1", port);
    c.set_connection_timeout(5);
    c.set_read_timeout(5);
    c.set_write_timeout(5);
    return c;
}

TEST_F(HostileTest, BodiesNestedTooDeeplyAreRefusedBeforeParsing) {
    auto server = Start();
    auto http = Probe(server->Port());
    const std::size_t depth = 100000;
    for (const std::string& body :
         {std::string(depth, '[') + std::string(depth, ']'),
          "{\"_parameters\":[" + std::string(depth, '[') + std::string(depth, ']') + "]}",
          std::string(70, '{') + "\"]}\"" + std::string(70, '}')}) {
        auto r = http.Post((kMethods + "%22EchoString%22/").c_str(), body, "text/plain");
        ASSERT_TRUE(r) << "the server did not answer (crashed?)";
        EXPECT_EQ(r->status, 400);
        EXPECT_NE(r->body.find("aninhado demais"), std::string::npos) << r->body;
    }
    // Nesting within the bound is still an argument; the server is alive.
    const std::string nested = std::string(60, '[') + std::string(60, ']');
    auto r = http.Post((kMethods + "%22EchoString%22/").c_str(), "{\"_parameters\":[" + nested + "]}",
                       "text/plain");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->body, R"({"result":[")" + nested + "\"]}");
}

TEST_F(HostileTest, RangeRequestsAreIgnored) {
    auto server = Start();
    auto http = Probe(server->Port());
    const std::string big(200000, 'x');
    const std::string body = "{\"_parameters\":[\"" + big + "\"]}";
    const std::string path = kMethods + "%22EchoString%22/";
    std::string ranges = "bytes=0-";
    for (int i = 0; i < 2600; ++i)
        ranges += ",0-";
    for (const std::string& range : {ranges, std::string("bytes=5-9"), std::string("bytes=-1")}) {
        auto r = http.Post(path.c_str(), {{"Range", range}}, body, "text/plain");
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 200);
        EXPECT_EQ(r->body.size(), big.size() + 15);
        EXPECT_EQ(r->get_header_value("Content-Type"), "application/json");
        EXPECT_FALSE(r->has_header("Content-Range"));
    }
}

TEST_F(HostileTest, HeadsAreBoundedInTimeLinesAndBytes) {
    ServerOptions options;
    options.workers = 2;
    options.headTimeout = std::chrono::seconds(1);
    auto server = Start(options);
    const int port = server->Port();

    // Eight clients that send one header line every 200 ms are cut off by
    // the head deadline (50 lines would take 10 s) while others are served.
    std::vector<std::future<int>> slow;
    for (int i = 0; i < 8; ++i) {
        slow.push_back(std::async(std::launch::async, [port] {
            RawSocket s(port);
            if (!s.Send("GET " + kMethods + "EchoString/x/ HTTP/1.1\r\nHost: x\r\n"))
                return -1;
            for (int line = 0; line < 50; ++line) {
                std::this_thread::sleep_for(std::chrono::milliseconds(200));
                if (!s.Send("X-Slow-" + std::to_string(line) + ": 1\r\n"))
                    return line;
            }
            return s.ClosedByServer() ? 50 : 1000;
        }));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto probe = Probe(port);
    for (int i = 0; i < 3; ++i) {
        auto r = probe.Get((kMethods + "EchoString/vivo/").c_str());
        ASSERT_TRUE(r) << "probe " << i << " while slow clients are connected";
        EXPECT_EQ(r->body, R"({"result":["vivo"]})");
    }
    for (auto& f : slow)
        EXPECT_LT(f.get(), 1000) << "a slow head was never cut off";

    struct Case {
        const char* name;
        std::string head;
        const char* status;
    };
    std::string manyLines;
    for (int i = 0; i < 500; ++i)
        manyLines += "X-Line-" + std::to_string(i) + ": 1\r\n";
    const Case cases[] = {
        {"many header lines", manyLines, "HTTP/1.1 431"},
        {"one huge header", "X-Big: " + std::string(200000, 'a') + "\r\n", "HTTP/1.1 431"},
        {"a method the protocol does not use", "", "HTTP/1.1 405"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RawSocket s(port);
        const std::string verb = std::string(c.name).find("method") != std::string::npos ? "PATCH" : "GET";
        s.Send(verb + " " + kMethods + "EchoString/x/ HTTP/1.1\r\nHost: x\r\n" + c.head + "\r\n");
        const std::string answer = s.ReadAll();
        EXPECT_EQ(answer.substr(0, 12), c.status) << answer.substr(0, 200);
    }
}

TEST_F(HostileTest, IdleConnectionsHoldNoWorker) {
    ServerOptions options;
    options.workers = 2;
    auto server = Start(options);
    const int port = server->Port();
    // 64 sockets that never send anything, and 8 keep-alive clients that made
    // one request each and stay connected.
    std::vector<std::unique_ptr<RawSocket>> idle;
    for (int i = 0; i < 64; ++i) {
        idle.push_back(std::make_unique<RawSocket>(port));
        ASSERT_TRUE(idle.back()->Connected());
    }
    std::vector<std::unique_ptr<httplib::Client>> kept;
    for (int i = 0; i < 8; ++i) {
        kept.push_back(std::make_unique<httplib::Client>("127.0.0.1", port));
        kept.back()->set_keep_alive(true);
        kept.back()->set_read_timeout(5);
        auto r = kept.back()->Get((kMethods + "EchoString/a/").c_str());
        ASSERT_TRUE(r);
    }
    for (int i = 0; i < 3; ++i) {
        auto probe = Probe(port);
        auto r = probe.Get((kMethods + "EchoString/vivo/").c_str());
        ASSERT_TRUE(r) << "probe " << i << " beside idle connections";
        EXPECT_EQ(r->status, 200);
    }
}

TEST_F(HostileTest, OneAddressCannotTakeEveryConnection) {
    ServerOptions options;
    options.maxConnectionsPerAddress = 4;
    auto server = Start(options);
    const int port = server->Port();
    {
        std::vector<std::unique_ptr<RawSocket>> held;
        for (int i = 0; i < 4; ++i)
            held.push_back(std::make_unique<RawSocket>(port));
        RawSocket fifth(port);
        ASSERT_TRUE(fifth.Connected());
        EXPECT_TRUE(fifth.ClosedByServer());
        // The ones within the limit are served.
        ASSERT_TRUE(held[0]->Send("GET " + kMethods +
                                  "EchoString/ok/ HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
        EXPECT_EQ(held[0]->ReadAll().substr(0, 12), "HTTP/1.1 200");
    }
    // Once they are closed the address is welcome again (the count drops as
    // the server notices the closes).
    bool served = false;
    for (int i = 0; i < 100 && !served; ++i) {
        auto probe = Probe(port);
        served = static_cast<bool>(probe.Get((kMethods + "EchoString/de-novo/").c_str()));
        if (!served)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_TRUE(served);
}

TEST_F(HostileTest, BigAnswersDoNotHoldTheQuickOnes) {
    GatedStorage gated(db_->Open());
    ServerOptions options;
    options.workers = 4;
    options.service.adminFrom = LoopbackRanges();
    auto server = Start(options, &gated);
    const int port = server->Port();
    // As many documents queries as there are workers, held in progress.
    std::vector<std::future<int>> big;
    for (int i = 0; i < 4; ++i) {
        big.push_back(std::async(std::launch::async, [port] {
            httplib::Client c("127.0.0.1", port);
            c.set_read_timeout(60);
            auto r = c.Get(Select(kAdminSql).c_str());
            const std::string id = SessionOf(r);
            r = c.Get(Select(kDocumentsSql).c_str(), {{"Pragma", "dssession=" + id}});
            return r ? r->status : -1;
        }));
    }
    for (int i = 0; i < 200 && gated.Waiting() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    ASSERT_GT(gated.Waiting(), 0);
    auto probe = Probe(port);
    auto r = probe.Get(Select(kUsersSql).c_str());
    ASSERT_TRUE(r) << "identification while big answers are in progress";
    r = probe.Get(Select(kCountSql).c_str(), {{"Pragma", "dssession=" + SessionOf(r)}});
    ASSERT_TRUE(r) << "count query while big answers are in progress";
    EXPECT_EQ(r->status, 200);
    gated.Open();
    for (auto& f : big)
        EXPECT_EQ(f.get(), 200);
}

TEST_F(HostileTest, RequestsWithoutSessionDoNotLogOthersOut) {
    ServerOptions options;
    options.service.maxSessions = 20;
    auto server = Start(options);
    auto http = Probe(server->Port());
    const std::string id = SessionOf(http.Get(Select(kUsersSql).c_str()));
    ASSERT_FALSE(id.empty());
    for (int i = 0; i < 300; ++i)
        ASSERT_TRUE(http.Get((kMethods + "EchoString/x/").c_str()));
    auto r = http.Get(Select(kCountSql).c_str(), {{"Pragma", "dssession=" + id}});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body.substr(0, 200);
    EXPECT_LE(server->Get().GetService().Sessions().Size(), 20u);
}

TEST_F(HostileTest, CachedResultsOfAllSessionsStayWithinTheirBound) {
    ServerOptions options;
    options.service.adminFrom = LoopbackRanges();
    {
        // The size of one cached documents list, measured on a server of its own.
        auto probe = Start(options);
        auto http = Probe(probe->Port());
        const std::string id = SessionOf(http.Get(Select(kAdminSql).c_str()));
        http.Get(Select(kDocumentsSql).c_str(),
                 {{"Pragma", "dssession=" + id}, {"Accept", "application/rest"}});
        options.service.cacheBytes = probe->Get().GetService().Cached().Bytes() * 5 / 2;
        ASSERT_GT(options.service.cacheBytes, 0u);
    }
    auto server = Start(options);
    auto http = Probe(server->Port());
    struct Kept {
        std::string session;
        std::string path;
    };
    std::vector<Kept> kept;
    for (int i = 0; i < 6; ++i) {
        const std::string id = SessionOf(http.Get(Select(kAdminSql).c_str()));
        auto r = http.Get(Select(kDocumentsSql).c_str(),
                          {{"Pragma", "dssession=" + id}, {"Accept", "application/rest"}});
        ASSERT_TRUE(r);
        const auto ref = nlohmann::json::parse(r->body).at("result").at(0).get<std::string>();
        kept.push_back({id, "/datasnap/cache/" + ref});
        EXPECT_LE(server->Get().GetService().Cached().Bytes(), options.service.cacheBytes);
    }
    // The two newest remain; the oldest went first.
    for (std::size_t i = 0; i < kept.size(); ++i) {
        auto r = http.Get(kept[i].path.c_str(), {{"Pragma", "dssession=" + kept[i].session}});
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, i >= 4 ? 200 : 404) << "result " << i;
    }
}

TEST_F(HostileTest, EmptyForwardingHeadersFromATrustedProxyAreAnUnknownClient) {
    ServerOptions options;
    options.trustedProxies = LoopbackRanges();
    auto server = Start(options);
    struct Case {
        const char* header;
        bool admin;
    };
    const Case cases[] = {
        {"X-Forwarded-For:", false},
        {"X-Forwarded-For: ", false},
        {"Forwarded:", false},
        {"Forwarded: proto=https", false},
        {"Forwarded: for=203.0.113.7", false},
        {"Forwarded: for=\"[2001:db8::1]:443\"", false},
        {"Forwarded: for=198.51.100.1, for=127.0.0.1", true},
        {"X-Forwarded-For: 127.0.0.1", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.header);
        RawSocket s(server->Port());
        s.Send("GET " + Select(kAdminSql) + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n" + c.header +
               "\r\n\r\n");
        const std::string answer = s.ReadAll();
        EXPECT_EQ(answer.substr(0, 12), c.admin ? "HTTP/1.1 200" : "HTTP/1.1 500") << answer.substr(0, 300);
    }
    EXPECT_EQ(ForwardedFor("for=\"[2001:db8::1]:443\""), "2001:db8::1");
    EXPECT_EQ(ForwardedFor("for=192.0.2.60;proto=http;by=203.0.113.43"), "192.0.2.60");
    EXPECT_EQ(ForwardedFor("proto=https"), "");
}

}  // namespace
}  // namespace kqz::server
