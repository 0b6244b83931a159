// Two servers on one database, each with its own connections, as two
// processes would be: a session given by one is known to the other, what an
// identification released through one counts on the other, and ending,
// expiry and forgery hold on both. Sessions that identified nobody leave no
// row in the database.

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <regex>
#include <string>

#include "server/documents.hpp"
#include "server/server.hpp"
#include "tests/server/support.hpp"

namespace kqz::server {
namespace {

using test::Backend;
using test::EncodeSegment;

constexpr const char* kCnpj = "08723218000186";
const std::string kMethods = "/datasnap/rest/TServerMethods1/";
const std::string kUsersSql = "SELECT * FROM KQZ_SADu WHERE AU_EMAIL ='contador@exemplo.com.br'";
const std::string kCountSql =
    std::string("SELECT COUNT(*) AS QuantidadeDeRegistros FROM KQZ_SAD where AD_CNPJ='") + kCnpj +
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

class SharedSessionsTest : public testing::TestWithParam<Backend> {
  protected:
    void SetUp() override {
        db_ = std::make_unique<test::TempDatabase>(GetParam());
        if (db_->Skipped())
            GTEST_SKIP() << "KQZ_TEST_PG_URL não definido: casos PostgreSQL pulados";
        Storage& s = db_->Open();
        std::vector<StoredDocument> docs;
        for (const char* f : {"venda-1item.xml", "venda-linha-unica.xml"}) {
            std::string reason;
            docs.push_back(*ReadCfe(test::ReadTestFile(f), reason));
        }
        s.Import(docs);
        s.AddUser("contador@exemplo.com.br", kCnpj);
        other_ = Storage::Open(db_->Target());
    }

    // Both servers read the same clock, moved by the test.
    ServerOptions Options() {
        ServerOptions o;
        o.service.clock = [minutes = minutes_, base = base_] {
            return base + std::chrono::seconds(minutes->load() * 60 + 2 * minutes->load());
        };
        return o;
    }

    std::unique_ptr<test::TempDatabase> db_;
    std::unique_ptr<Storage> other_;
    std::shared_ptr<std::atomic<int>> minutes_ = std::make_shared<std::atomic<int>>(0);
    Clock::time_point base_ = Clock::now();
};

TEST_P(SharedSessionsTest, ServersOnOneDatabaseShareSessionsWithoutStickiness) {
    test::RunningServer a(db_->Open(), Options());
    test::RunningServer b(*other_, Options());
    auto httpA = a.Client();
    auto httpB = b.Client();
    auto withSession = [](const std::string& id) { return httplib::Headers{{"Pragma", "dssession=" + id}}; };

    // Requests without a session, and with a session that identified nobody,
    // leave nothing in the database.
    std::string anonymous;
    for (int i = 0; i < 20; ++i)
        anonymous = SessionOf(httpA.Get((kMethods + "EchoString/x/").c_str()));
    ASSERT_FALSE(anonymous.empty());
    for (int i = 0; i < 20; ++i) {
        auto r = (i % 2 ? httpA : httpB).Get((kMethods + "EchoString/x/").c_str(), withSession(anonymous));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 200) << "request " << i;
    }
    const auto nowMs = [] {
        return std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::system_clock::now().time_since_epoch())
            .count();
    };
    EXPECT_EQ(db_->Open().CountSessions(nowMs(), 3600000), 0u);

    // Given by A, identified through B, counted through A.
    const std::string id = SessionOf(httpA.Get((kMethods + "EchoString/x/").c_str()));
    auto r = httpB.Get(Select(kUsersSql).c_str(), withSession(id));
    ASSERT_TRUE(r);
    ASSERT_EQ(r->status, 200) << r->body;
    EXPECT_EQ(db_->Open().CountSessions(nowMs(), 3600000), 1u);
    r = httpA.Get(Select(kCountSql).c_str(), withSession(id));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body;
    EXPECT_NE(r->body.find("2"), std::string::npos) << r->body;

    // A forged id, or a real one with another signature, is unknown to both.
    std::string forged = id;
    forged.back() = forged.back() == '0' ? '1' : '0';
    for (auto* http : {&httpA, &httpB}) {
        r = http->Get(Select(kCountSql).c_str(), withSession(forged));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 403);
    }

    // Used through B every 15 minutes it stays alive on A too; ended through
    // B, it is over on A once A looks again (at most a second later).
    *minutes_ += 15;
    r = httpB.Get(Select(kCountSql).c_str(), withSession(id));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body;
    *minutes_ += 15;
    r = httpA.Get(Select(kCountSql).c_str(), withSession(id));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200) << r->body;
    r = httpB.Get("/datasnap/rest/CloseSession/", withSession(id));
    ASSERT_TRUE(r);
    *minutes_ += 1;
    r = httpA.Get(Select(kCountSql).c_str(), withSession(id));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 403) << r->body;

    // Unused anywhere for longer than allowed, a session is gone on both.
    const std::string idle = SessionOf(httpA.Get(Select(kUsersSql).c_str()));
    *minutes_ += 21;
    for (auto* http : {&httpB, &httpA}) {
        r = http->Get(Select(kCountSql).c_str(), withSession(idle));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, 403) << r->body;
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, SharedSessionsTest, testing::Values(Backend::Sqlite, Backend::Postgres),
                         test::BackendName);

}  // namespace
}  // namespace kqz::server
