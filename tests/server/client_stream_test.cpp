// The documents query through the client's streaming path against a real
// kqz-server: every document comes back row by row, in order; a refused
// query is an error and hands over no row.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cloud/mem_table.hpp"
#include "cloud/remote_query.hpp"
#include "cloud/rest_connection.hpp"
#include "cloud/rest_error.hpp"
#include "server/documents.hpp"
#include "summary/synth/cfe_synth.hpp"
#include "tests/server/support.hpp"

namespace kqz::server {
namespace {

constexpr const char* kCnpj = "11222333000181";

struct Rows : codec::AdbsVisitor {
    std::vector<std::string> columns;
    std::vector<std::pair<std::string, std::string>> numeroXml;
    int ends = 0;
    void OnTable(const codec::Dataset& h) override {
        for (const auto& c : h.columns)
            columns.push_back(c.name);
    }
    void OnRow(codec::Row& row) override {
        numeroXml.emplace_back(std::get<std::string>(row[2]), std::get<std::string>(row[4]));
    }
    void OnEnd(const codec::Dataset&) override { ++ends; }
};

std::string DocumentsSql(const std::string& month) {
    return std::string("SELECT *,LEFT(right(AD_NUMERO,16),6) as X_NUMERO FROM KQZ_SAD where AD_CNPJ='") +
           kCnpj + "' AND AD_DATA='" + month + "'";
}

TEST(ClientStream, DocumentsArriveRowByRowInOrder) {
    test::TempDatabase db(test::Backend::Sqlite);
    Storage& storage = db.Open();
    namespace synth = kqz::summary::synth;
    synth::MonthSpec spec;
    spec.emitter.cnpj = kCnpj;
    spec.emitter.fantasy = "PADARIA SÃO JOÃO";
    spec.count = 500;
    spec.cancel_permille = 80;
    std::vector<StoredDocument> docs;
    synth::GenerateMonth(spec, [&](synth::Document&& d) {
        std::string reason;
        auto doc = ReadCfe(d.xml, reason);
        ASSERT_TRUE(doc) << reason;
        docs.push_back(std::move(*doc));
    });
    storage.Import(docs);
    storage.AddUser("contador@exemplo.com.br", kCnpj);
    std::vector<std::pair<std::string, std::string>> expected;
    storage.Documents(kCnpj, "2103", [&](codec::Row&& r) {
        expected.emplace_back(std::get<std::string>(r[2]), std::get<std::string>(r[4]));
    });
    ASSERT_EQ(expected.size(), 500u);
    test::RunningServer server(storage, {});

    cloud::RestConnection connection;
    connection.Host = "127.0.0.1";
    connection.Port = server.Port();
    cloud::RemoteQuery helper(connection);

    // Refused before the e-mail is identified: an error, no row.
    Rows refused;
    try {
        helper.SelectStream(DocumentsSql("2103"), refused, db.Folder().string());
        FAIL() << "no error";
    } catch (const cloud::RestError& e) {
        EXPECT_THAT(e.what(), ::testing::HasSubstr("não foi liberado"));
    }
    EXPECT_TRUE(refused.numeroXml.empty());

    cloud::MemTable table;
    ASSERT_TRUE(
        helper.SelectMemTable("SELECT * FROM KQZ_SADu WHERE AU_EMAIL ='contador@exemplo.com.br'", table))
        << helper.LastError();
    Rows rows;
    const std::uint64_t bytes = helper.SelectStream(DocumentsSql("2103"), rows, db.Folder().string());
    EXPECT_GT(bytes, 0u);
    EXPECT_EQ(rows.columns, (std::vector<std::string>{"AD_CNPJ", "AD_DATA", "AD_NUMERO", "AD_VALOR", "AD_XML",
                                                      "X_NUMERO"}));
    EXPECT_EQ(rows.ends, 1);
    EXPECT_TRUE(rows.numeroXml == expected);

    Rows none;
    helper.SelectStream(DocumentsSql("2104"), none);
    EXPECT_EQ(none.ends, 1);
    EXPECT_TRUE(none.numeroXml.empty());
}

}  // namespace
}  // namespace kqz::server
