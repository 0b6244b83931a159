// What an operator runs beside the service: the health and metrics
// addresses, the JSON access log, and the online copy of an SQLite database.

#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "server/documents.hpp"
#include "server/server.hpp"
#include "tests/server/support.hpp"

namespace kqz::server {
namespace {

using test::EncodeSegment;

constexpr const char* kCnpj = "08723218000186";
const std::string kMethods = "/datasnap/rest/TServerMethods1/";
const std::string kEmail = "contador@exemplo.com.br";
const std::string kUsersSql = "SELECT * FROM KQZ_SADu WHERE AU_EMAIL ='" + kEmail + "'";
const std::string kDocumentsSql =
    std::string("SELECT *,LEFT(right(AD_NUMERO,16),6) as X_NUMERO FROM KQZ_SAD where AD_CNPJ='") + kCnpj +
    "' AND AD_DATA='1509'";

std::string Select(const std::string& sql) {
    return kMethods + "SelectCloud/" + EncodeSegment(sql) + "/";
}

std::string SessionOf(const httplib::Result& r) {
    static const std::regex pragma(R"(dssession=([0-9A-F-]+),.*)");
    std::smatch m;
    const std::string value = r ? r->get_header_value("Pragma") : std::string();
    return std::regex_match(value, m, pragma) ? m[1].str() : std::string();
}

// The database of a test, whose health check can be made to fail.
class SwitchedStorage final : public test::ForwardingStorage {
  public:
    explicit SwitchedStorage(Storage& inner) : ForwardingStorage(inner) {}
    std::atomic<bool> down{false};

    void Ping() override {
        if (down)
            throw StorageError("conexão perdida");
        ForwardingStorage::Ping();
    }
};

class OperationsTest : public testing::Test {
  protected:
    void SetUp() override {
        db_ = std::make_unique<test::TempDatabase>(test::Backend::Sqlite);
        Storage& s = db_->Open();
        test::FillSampleStore(s, kEmail);
    }
    std::unique_ptr<test::TempDatabase> db_;
};

TEST_F(OperationsTest, HealthFollowsTheDatabase) {
    SwitchedStorage storage(db_->Open());
    test::RunningServer server(storage, {});
    auto http = server.Client();
    auto r = http.Get("/health");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    storage.down = true;
    r = http.Get("/health");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 503);
    EXPECT_NE(r->body.find("conexão perdida"), std::string::npos) << r->body;
    storage.down = false;
    r = http.Get("/health");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
}

// The value of one sample line of a Prometheus text, or -1 when missing.
double Sample(const std::string& text, const std::string& name) {
    const auto at = text.find("\n" + name + " ");
    if (at == std::string::npos)
        return -1;
    return std::stod(text.substr(at + name.size() + 2));
}

TEST_F(OperationsTest, MetricsCountRequestsBytesAndDurations) {
    test::RunningServer server(db_->Open(), {});
    auto http = server.Client();
    auto r = http.Get(Select(kUsersSql).c_str());
    ASSERT_TRUE(r);
    const std::string session = SessionOf(r);
    std::uint64_t bytes = r->body.size();
    r = http.Get(Select(kDocumentsSql).c_str(), {{"Pragma", "dssession=" + session}});
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200);
    bytes += r->body.size();
    r = http.Get((kMethods + "Inexistente/").c_str());
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 500);
    bytes += r->body.size();

    r = http.Get("/metrics");
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200);
    const std::string& text = "\n" + r->body;
    EXPECT_EQ(r->get_header_value("Content-Type").rfind("text/plain; version=0.0.4", 0), 0u);
    EXPECT_EQ(Sample(text, R"(kqz_http_requests_total{method="GET",status="200"})"), 2);
    EXPECT_EQ(Sample(text, R"(kqz_http_requests_total{method="GET",status="500"})"), 1);
    EXPECT_EQ(Sample(text, "kqz_http_response_bytes_total"), static_cast<double>(bytes));
    EXPECT_EQ(Sample(text, "kqz_http_request_duration_seconds_count"), 3);
    EXPECT_EQ(Sample(text, R"(kqz_http_request_duration_seconds_bucket{le="+Inf"})"), 3);
    EXPECT_GE(Sample(text, "kqz_sessions_live"), 1);
    EXPECT_EQ(Sample(text, "kqz_downloads_in_progress"), 0);
    // Buckets are cumulative and end with every request.
    double previous = 0;
    std::size_t buckets = 0;
    for (std::size_t at = text.find("_bucket{"); at != std::string::npos;
         at = text.find("_bucket{", at + 1)) {
        const double v = std::stod(text.substr(text.find("} ", at) + 2));
        EXPECT_GE(v, previous);
        previous = v;
        ++buckets;
    }
    EXPECT_EQ(buckets, Metrics::kBuckets.size() + 1);

    // Only the networks allowed read them.
    ServerOptions closed;
    closed.metricsFrom = {Cidr::Parse("192.0.2.0/24")};
    test::RunningServer other(db_->Open(), closed);
    r = other.Client().Get("/metrics");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 403);
}

TEST_F(OperationsTest, JsonAccessLogHasOneObjectPerRequestWithoutEmailOrStatement) {
    std::mutex mutex;
    std::vector<std::string> lines;
    ServerOptions options;
    options.logFormat = ServerOptions::LogFormat::Json;
    options.log = [&](const std::string& line) {
        std::lock_guard lock(mutex);
        lines.push_back(line);
    };
    {
        test::RunningServer server(db_->Open(), options);
        auto http = server.Client();
        auto r = http.Get(Select(kUsersSql).c_str());
        ASSERT_TRUE(r);
        const std::string session = SessionOf(r);
        ASSERT_FALSE(session.empty());
        r = http.Get((Select(kDocumentsSql) + "?sid=" + session).c_str());
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 200);
        r = http.Post((kMethods + "%22EchoString%22/").c_str(), "{\"_parameters\":[\"" + kEmail + "\"]}",
                      "text/plain");
        ASSERT_TRUE(r);
    }
    std::lock_guard lock(mutex);
    ASSERT_EQ(lines.size(), 3u);
    for (const auto& line : lines) {
        SCOPED_TRACE(line);
        EXPECT_EQ(line.find('\n'), std::string::npos);
        const auto j = nlohmann::json::parse(line);
        for (const char* key : {"time", "client", "method", "path", "status", "bytes", "ms", "session"})
            EXPECT_TRUE(j.contains(key)) << key;
        EXPECT_EQ(j["client"], "127.0.0.1");
        EXPECT_EQ(line.find("contador"), std::string::npos);
        EXPECT_EQ(line.find("SELECT"), std::string::npos);
        EXPECT_EQ(line.find("KQZ_SAD"), std::string::npos);
        EXPECT_EQ(line.find("sid"), std::string::npos);
    }
    const auto first = nlohmann::json::parse(lines[0]);
    EXPECT_EQ(first["method"], "GET");
    EXPECT_EQ(first["path"], "/datasnap/rest/TServerMethods1/SelectCloud");
    EXPECT_EQ(first["status"], 200);
    EXPECT_GT(first["bytes"].get<std::int64_t>(), 0);
    EXPECT_FALSE(first["session"].get<std::string>().empty());
    EXPECT_EQ(nlohmann::json::parse(lines[1])["session"], first["session"]);
    EXPECT_EQ(nlohmann::json::parse(lines[2])["method"], "POST");
}

TEST_F(OperationsTest, BackupCopiesALiveDatabaseWithWhatIsStillInItsLog) {
    Storage& live = db_->Open();  // open, with the import above still in its write-ahead log
    const auto folder = db_->Folder();
    const std::string copy = (folder / "copia.sqlite").string();
    BackupSqlite(db_->Target(), copy);
    EXPECT_FALSE(std::filesystem::exists(copy + ".parcial"));
    {
        auto restored = Storage::Open(copy);
        const auto a = live.GetStats();
        const auto b = restored->GetStats();
        EXPECT_EQ(b.documents, 2);
        EXPECT_EQ(b.documents, a.documents);
        EXPECT_EQ(b.users, a.users);
        EXPECT_EQ(b.companies, a.companies);
        EXPECT_EQ(restored->CountDocuments(kCnpj, "1509"), live.CountDocuments(kCnpj, "1509"));
    }
    struct Case {
        const char* name;
        std::string source;
        std::string destination;
        const char* message;
    };
    const Case cases[] = {
        {"an existing destination is never overwritten", db_->Target(), copy, "já existe"},
        {"a missing source", (folder / "nao-existe.sqlite").string(), (folder / "x.sqlite").string(),
         "não existe"},
        {"PostgreSQL has its own tools", "postgresql://kqz@127.0.0.1/kqz", (folder / "y.sqlite").string(),
         "pg_dump"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            BackupSqlite(c.source, c.destination);
            ADD_FAILURE() << "no error";
        } catch (const StorageError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

}  // namespace
}  // namespace kqz::server
