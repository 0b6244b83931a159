#include "cloud/remote_query.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/cloud/fake_server.hpp"
#include "tests/cloud/test_tables.hpp"

namespace kqz::cloud {
namespace {

using testing::Always;
using testing::Answer;
using testing::FakeServer;
using testing::ListBody;
using testing::TextTable;

// The table as a caller sees it: columns, rows, state and current row.
std::string Snapshot(const MemTable& table) {
    std::string text = table.Active() ? "open" : "closed";
    text += " recno=" + std::to_string(table.RecNo()) + " cols=";
    for (const auto& column : table.Columns()) {
        text += column.name + ",";
    }
    text += " rows=" + std::to_string(table.RecordCount());
    return text;
}

TEST(SelectMemTable, LoadsTheSingleDatasetAndEmptiesClientREST) {
    FakeServer server(Always(
        {200, ListBody(TextTable({"M00_FANT", "M00_CNPJ"}, {{"Padaria Pão Quente", "11222333000181"},
                                                            {"Mercado Bom Preço", "44555666000199"}}))}));
    RestConnection connection(ParseServerUrl(server.Url()));
    RemoteQuery helper(connection);
    MemTable table("memTable_Empresas");
    const std::string sql = "SELECT M00_FANT, M00_CNPJ FROM M00 WHERE M00_CNPJ IN ('11222333000181')";
    EXPECT_TRUE(helper.SelectMemTable(sql, table));
    EXPECT_EQ(helper.ClientREST(), nullptr);
    EXPECT_EQ(helper.LastError(), "");
    EXPECT_EQ(Snapshot(table), "open recno=1 cols=M00_FANT,M00_CNPJ, rows=2");
    EXPECT_EQ(table.FieldByName("m00_fant").AsString(), "Padaria Pão Quente");
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(
        requests[0].target,
        "/datasnap/rest/TServerMethods1/SelectCloud/"
        "SELECT%20M00_FANT%2C%20M00_CNPJ%20FROM%20M00%20WHERE%20M00_CNPJ%20IN%20%28%2711222333000181%27%29/");
}

TEST(SelectMemTable, FailuresLeaveTheTableAsItWas) {
    struct Case {
        const char* what;
        Answer answer;
        std::string error;  // in LastError
    };
    const std::vector<Case> cases = {
        {"two datasets",
         {200, ListBody({TextTable({"A"}, {{"1"}}), TextTable({"B"}, {{"2"}})})},
         "Assertion failure"},
        {"no dataset", {200, R"({"result":[{}]})"}, "Assertion failure"},
        {"null list", {200, R"({"result":[null]})"}, "nenhuma lista"},
        {"SQL error", {500, R"({"error":"no such table: KQZ_SADX"})"}, "no such table: KQZ_SADX"},
        {"unreadable answer", {200, R"({"result":[{"qry":"!!"}]})"}, "ilegível"},
        {"unreachable server", {}, "falha ao acessar o servidor"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const bool unreachable = c.answer.body.empty();
        FakeServer server([&c](const testing::Received& request, std::size_t) {
            if (request.target.find("antes") != std::string::npos) {
                return Answer{200, ListBody(TextTable({"AD_NUMERO"}, {{"CFe1"}, {"CFe2"}, {"CFe3"}}))};
            }
            return c.answer;
        });
        RestConnection connection(ParseServerUrl(server.Url()));
        RemoteQuery helper(connection);
        MemTable table("mem_ArquivosXML");
        // An earlier result, positioned on its second row.
        ASSERT_TRUE(helper.SelectMemTable("SELECT antes", table)) << helper.LastError();
        table.Next();
        const std::string before = Snapshot(table);
        ASSERT_EQ(before, "open recno=2 cols=AD_NUMERO, rows=3");
        if (unreachable) {
            connection.Port = 1;  // nobody listens there
        }
        EXPECT_FALSE(helper.SelectMemTable("SELECT depois", table));
        EXPECT_EQ(Snapshot(table), before);
        EXPECT_EQ(table.Fields(0).AsString(), "CFe2");
        EXPECT_NE(helper.LastError().find(c.error), std::string::npos) << helper.LastError();
        EXPECT_EQ(helper.ClientREST(), nullptr);
    }
}

TEST(SelectMemTable, SuccessiveLoadsReplaceColumnsAndRows) {
    const std::vector<std::pair<codec::Dataset, std::string>> answers = {
        {TextTable({"AP_CONTEUDO_INT", "AP_CONTEUDO_STR", "AP_DESCR"}, {{"104", "http://x", "1.0.4"}}),
         "open recno=1 cols=AP_CONTEUDO_INT,AP_CONTEUDO_STR,AP_DESCR, rows=1"},
        {TextTable({"QuantidadeDeRegistros"}, {{"17"}}), "open recno=1 cols=QuantidadeDeRegistros, rows=1"},
        {TextTable({"AD_NUMERO", "AD_XML", "X_NUMERO"}, {{"CFe1", "<CFe/>", "1"}, {"CFe2", "<CFe/>", "2"}}),
         "open recno=1 cols=AD_NUMERO,AD_XML,X_NUMERO, rows=2"},
        {TextTable({"AD_NUMERO"}, {}), "open recno=0 cols=AD_NUMERO, rows=0"},
    };
    FakeServer server([&answers](const testing::Received&, std::size_t i) {
        return Answer{200, ListBody(answers[i].first)};
    });
    RestConnection connection(ParseServerUrl(server.Url()));
    RemoteQuery helper(connection);
    MemTable table("mem_ArquivosXML");
    for (const auto& [dataset, expected] : answers) {
        EXPECT_TRUE(helper.SelectMemTable("SELECT", table)) << helper.LastError();
        EXPECT_EQ(Snapshot(table), expected);
        EXPECT_EQ(helper.ClientREST(), nullptr);
    }
    EXPECT_TRUE(table.Eof());
    EXPECT_THROW(table.FieldByName("QuantidadeDeRegistros"), MemTableError);
}

TEST(ExecuteSQL, FailureEscapesAndLeavesTheProxyUntilTheNextCall) {
    FakeServer server([](const testing::Received& request, std::size_t) {
        if (request.target.find("ExecuteCloud/FALHA") != std::string::npos) {
            return Answer{500, R"({"error":"ExecuteCloud desativado"})"};
        }
        if (request.target.find("ExecuteCloud") != std::string::npos) {
            return Answer{200, R"({"result":[false]})"};
        }
        return Answer{200, ListBody(TextTable({"A"}, {{"1"}}))};
    });
    RestConnection connection(ParseServerUrl(server.Url()));
    RemoteQuery helper(connection);

    helper.LiberarClientREST();  // nothing to free
    EXPECT_EQ(helper.ClientREST(), nullptr);

    EXPECT_NO_THROW(helper.ExecuteSQL("UPDATE ok"));  // its false result is ignored
    EXPECT_EQ(helper.ClientREST(), nullptr);

    try {
        helper.ExecuteSQL("FALHA");
        FAIL() << "no error raised";
    } catch (const RestError& e) {
        EXPECT_NE(std::string(e.what()).find("ExecuteCloud desativado"), std::string::npos);
    }
    EXPECT_NE(helper.ClientREST(), nullptr);

    MemTable table;
    EXPECT_TRUE(helper.SelectMemTable("SELECT", table));
    EXPECT_EQ(helper.ClientREST(), nullptr);

    EXPECT_THROW(helper.ExecuteSQL("FALHA"), RestError);
    ASSERT_NE(helper.ClientREST(), nullptr);
    helper.LiberarClientREST();
    EXPECT_EQ(helper.ClientREST(), nullptr);
}

}  // namespace
}  // namespace kqz::cloud
