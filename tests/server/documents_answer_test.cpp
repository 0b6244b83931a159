// The documents answer streamed from storage: the same body the server's
// whole-answer path sends, on both databases, from one snapshot even while
// documents are imported in the middle of a download.

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "cloud/codec/dataset_list.hpp"
#include "server/documents.hpp"
#include "server/storage.hpp"
#include "summary/synth/cfe_synth.hpp"
#include "tests/server/support.hpp"

namespace kqz::server {
namespace {

using test::Backend;

constexpr const char* kCnpj = "11222333000181";
constexpr const char* kEmail = "contador@exemplo.com.br";

std::vector<StoredDocument> Month(int count, int firstNumber, std::uint64_t seed) {
    namespace synth = kqz::summary::synth;
    synth::MonthSpec spec;
    spec.emitter.cnpj = kCnpj;
    spec.emitter.fantasy = "PADARIA SÃO JOÃO";
    spec.count = count;
    spec.first_number = firstNumber;
    spec.seed = seed;
    spec.cancel_permille = 100;
    std::vector<StoredDocument> docs;
    synth::GenerateMonth(spec, [&](synth::Document&& d) {
        std::string reason;
        auto doc = ReadCfe(d.xml, reason);
        if (!doc)
            throw std::runtime_error(d.name + ": " + reason);
        docs.push_back(std::move(*doc));
    });
    return docs;
}

std::string Pull(DocumentsAnswer& answer, std::size_t piece) {
    std::string body;
    std::vector<char> buf(piece);
    for (std::size_t n; (n = answer.Next(buf.data(), buf.size())) != 0;)
        body.append(buf.data(), n);
    return body;
}

std::string DocumentsSql(const std::string& month) {
    return std::string("SELECT *,LEFT(right(AD_NUMERO,16),6) as X_NUMERO FROM KQZ_SAD where AD_CNPJ='") +
           kCnpj + "' AND AD_DATA='" + month + "'";
}

// The answer as the server sends it, in a session that identified `kEmail`
// (none for `identify` false).
httplib::Result ServerAnswer(Storage& storage, const std::string& month, bool identify = true) {
    test::RunningServer server(storage, {});
    httplib::Client http = server.Client();
    auto get = [&](const std::string& sql, const std::string& session) {
        httplib::Headers headers;
        if (!session.empty())
            headers.emplace("Pragma", "dssession=" + session);
        auto r =
            http.Get(("/datasnap/rest/TServerMethods1/SelectCloud/" + test::EncodeSegment(sql) + "/").c_str(),
                     headers);
        if (!r)
            throw std::runtime_error("no answer: " + sql);
        return r;
    };
    if (!identify)
        return get(DocumentsSql(month), "");
    auto users = get(std::string("SELECT * FROM KQZ_SADu WHERE AU_EMAIL ='") + kEmail + "'", "");
    std::smatch m;
    const std::string pragma = users->get_header_value("Pragma");
    if (!std::regex_search(pragma, m, std::regex("dssession=([0-9A-F-]+)")))
        throw std::runtime_error("no session in \"" + pragma + "\"");
    return get(DocumentsSql(month), m[1]);
}

// The whole answer, written from the whole table as the server once did.
std::string WholeBody(Storage& storage, const std::string& month) {
    codec::Dataset table = DocumentsTable("X_NUMERO");
    storage.Documents(kCnpj, month, [&](codec::Row&& row) { table.rows.push_back(std::move(row)); });
    codec::FitStringSizes(table);
    return codec::WriteResultBody({{"Query", &table}});
}

class DocumentsAnswerTest : public testing::TestWithParam<Backend> {
  protected:
    void SetUp() override {
        db_ = std::make_unique<test::TempDatabase>(GetParam());
        if (db_->Skipped())
            GTEST_SKIP() << "KQZ_TEST_PG_URL não definido: casos PostgreSQL pulados";
        db_->Open().AddUser(kEmail, kCnpj);
    }
    std::unique_ptr<test::TempDatabase> db_;
};

TEST_P(DocumentsAnswerTest, SameBodyAsTheWholeAnswer) {
    Storage& s = db_->Open();
    s.Import(Month(400, 999800, 7));  // numbers wrap at 999999: order by coupon number
    for (const unsigned threads : {1u, 2u}) {
        const codec::WriteOptions options{1, threads};
        for (const char* month : {"2103", "2104"}) {  // 400 documents, none
            SCOPED_TRACE(std::string(month) + ", threads " + std::to_string(threads));
            DocumentsAnswer answer(s, kCnpj, month, "X_NUMERO", options);
            const std::string body = Pull(answer, 3000);
            EXPECT_EQ(answer.Produced(), body.size());
            const std::string expected = WholeBody(s, month);  // with the default options
            const auto a = codec::ScanResultBody(body);
            const auto b = codec::ScanResultBody(expected);
            ASSERT_TRUE(a && b);
            ASSERT_EQ(a->size(), 1u);
            ASSERT_EQ(b->size(), 1u);
            EXPECT_TRUE(codec::InflateDataSet(a->front()) == codec::InflateDataSet(b->front()));
            if (options.level == codec::WriteOptions{}.level &&
                options.threads == codec::WriteOptions{}.threads) {
                EXPECT_TRUE(body == expected);
            }
            const auto list = codec::ScanResultBody(body);
            ASSERT_TRUE(list);
            const codec::Dataset ds = codec::DecodeDataSet(list->front());
            EXPECT_EQ(ds.rows.size(), std::string(month) == "2103" ? 400u : 0u);
        }
    }
}

TEST_P(DocumentsAnswerTest, TheServerStreamsTheWholeAnswersBytesAndRefusesWithTheUsualError) {
    Storage& s = db_->Open();
    s.Import(Month(300, 1, 5));
    for (const char* month : {"2103", "2104"}) {
        SCOPED_TRACE(month);
        const auto served = ServerAnswer(s, month);
        ASSERT_EQ(served->status, 200) << served->body.substr(0, 300);
        EXPECT_EQ(served->get_header_value("Transfer-Encoding"), "chunked");
        EXPECT_TRUE(served->body == WholeBody(s, month));
    }
    // Refused before the first byte: a whole error answer, as any other query's.
    const auto refused = ServerAnswer(s, "2103", false);
    EXPECT_EQ(refused->status, 500);
    EXPECT_FALSE(refused->has_header("Transfer-Encoding"));
    EXPECT_EQ(refused->get_header_value("Content-Length"), std::to_string(refused->body.size()));
    EXPECT_NE(refused->body.find("{\"error\":\"o CNPJ 11222333000181 não foi liberado"), std::string::npos)
        << refused->body;
}

TEST_P(DocumentsAnswerTest, DocumentsImportedDuringTheDownloadWaitForTheNextOne) {
    Storage& s = db_->Open();
    s.Import(Month(120, 1, 11));
    DocumentsAnswer answer(s, kCnpj, "2103", "X_NUMERO", codec::WriteOptions{1, 2});
    std::vector<char> first(100);
    ASSERT_NE(answer.Next(first.data(), first.size()), 0u);  // rows measured, stream begun
    EXPECT_EQ(s.Import(Month(80, 500, 12)).inserted, 80u);
    const std::string body = std::string(first.data(), 100) + Pull(answer, 1 << 16);
    const auto list = codec::ScanResultBody(body);
    ASSERT_TRUE(list);
    EXPECT_EQ(codec::DecodeDataSet(list->front()).rows.size(), 120u);
    DocumentsAnswer next(s, kCnpj, "2103", "X_NUMERO", codec::WriteOptions{1, 2});
    const std::string nextBody = Pull(next, 1 << 16);
    const auto again = codec::ScanResultBody(nextBody);
    ASSERT_TRUE(again);
    EXPECT_EQ(codec::DecodeDataSet(again->front()).rows.size(), 200u);
}

INSTANTIATE_TEST_SUITE_P(Backends, DocumentsAnswerTest, testing::Values(Backend::Sqlite, Backend::Postgres),
                         test::BackendName);

}  // namespace
}  // namespace kqz::server
