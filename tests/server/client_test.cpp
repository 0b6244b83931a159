// The client library's road against a real kqz-server: identification,
// version, companies, counts and documents through SelectMemTable, the way
// the windows run it.

#include <gtest/gtest.h>

#include <cstdio>

#include "cloud/mem_table.hpp"
#include "cloud/remote_query.hpp"
#include "cloud/rest_connection.hpp"
#include "download/queries.hpp"
#include "server/documents.hpp"
#include "tests/server/support.hpp"

namespace kqz::server {
namespace {

TEST(ClientRoad, SelectMemTableLoadsEveryAnswerOfTheServer) {
    test::TempDatabase db(test::Backend::Sqlite);
    Storage& storage = db.Open();
    std::vector<StoredDocument> docs;
    for (const char* f : {"venda-1item.xml", "venda-linha-unica.xml", "cancelamento.xml"}) {
        std::string reason;
        docs.push_back(*ReadCfe(test::ReadTestFile(f), reason));
    }
    storage.Import(docs);
    storage.AddCompany("08723218000186", "LOJA DOS TESTES");
    storage.AddUser("contador@exemplo.com.br", "08723218000186");
    storage.SetVersion(4, "https://www.exemplo.com.br/kqz.zip", "VERSÃO:  1.0.3 - 210408");
    test::RunningServer server(storage, {});

    cloud::RestConnection connection;
    connection.Host = "127.0.0.1";
    connection.Port = server.Port();
    cloud::RemoteQuery helper(connection);
    cloud::MemTable table;

    ASSERT_TRUE(helper.SelectMemTable(
        "SELECT AP_CONTEUDO_INT,AP_CONTEUDO_STR,AP_DESCR from KQZ_SADp WHERE AP_PARAMETRO='P_VERATU'", table))
        << helper.LastError();
    EXPECT_EQ(table.Fields(0).AsInteger(), 4);
    EXPECT_EQ(table.Fields(2).AsString(), "VERSÃO:  1.0.3 - 210408");

    // Counts are refused until the e-mail is identified in this session.
    EXPECT_FALSE(
        helper.SelectMemTable("SELECT COUNT(*) AS QuantidadeDeRegistros FROM KQZ_SAD where "
                              "AD_CNPJ='08723218000186' AND AD_DATA='1509'",
                              table));
    ASSERT_TRUE(
        helper.SelectMemTable("SELECT * FROM KQZ_SADu WHERE AU_EMAIL ='contador@exemplo.com.br'", table))
        << helper.LastError();
    EXPECT_EQ(table.RecordCount(), 1u);
    EXPECT_EQ(table.FieldByName("AU_CNPJ").AsString(), "08723218000186");

    ASSERT_TRUE(
        helper.SelectMemTable("SELECT M00_FANT,M00_CNPJ FROM M00 where M00_CNPJ IN('xx','08723218000186')  "
                              "GROUP BY M00_FANT,M00_CNPJ",
                              table))
        << helper.LastError();
    EXPECT_EQ(table.FieldByName("M00_FANT").AsString(), "LOJA DOS TESTES");

    ASSERT_TRUE(
        helper.SelectMemTable("SELECT COUNT(*) AS QuantidadeDeRegistros FROM KQZ_SAD where "
                              "AD_CNPJ='08723218000186' AND AD_DATA='1509'",
                              table))
        << helper.LastError();
    EXPECT_EQ(table.Fields(0).AsInteger(), 2);
    EXPECT_EQ(table.Fields(0).AsString(), "2");

    ASSERT_TRUE(helper.SelectMemTable(
        "SELECT *,LEFT(right(AD_NUMERO,16),6) as X_NUMERO FROM KQZ_SAD where AD_CNPJ='08723218000186' AND "
        "AD_DATA='1509'",
        table))
        << helper.LastError();
    ASSERT_EQ(table.RecordCount(), 2u);
    table.First();
    EXPECT_EQ(table.FieldByName("AD_NUMERO").AsString(),
              "CFe35150908723218000186599000040190000007972068-VD");
    EXPECT_DOUBLE_EQ(table.FieldByName("AD_VALOR").AsFloat(), 654.32);
    EXPECT_EQ(table.FieldByName("X_NUMERO").AsInteger(), 0);
    EXPECT_EQ(table.FieldByName("AD_XML").AsString(), test::ReadTestFile("venda-linha-unica.xml"));
    table.Next();
    EXPECT_EQ(table.FieldByName("X_NUMERO").AsString(), "000037");
    EXPECT_EQ(table.FieldByName("X_NUMERO").AsInteger(), 37);
    EXPECT_EQ(table.FieldByName("AD_XML").AsString(), test::ReadTestFile("cancelamento.xml"));
}

// An accountant with thousands of client companies: every CNPJ travels in the
// request line of the companies query, which keeps its GET form. Past the
// server's limit the client reports the server's own reason.
TEST(ClientRoad, TheCompaniesOfFiveThousandCnpjsTravelInOneRequestLine) {
    test::TempDatabase db(test::Backend::Sqlite);
    Storage& storage = db.Open();
    std::vector<std::string> cnpjs;
    for (int i = 0; i < 5000; ++i) {
        char cnpj[16];
        std::snprintf(cnpj, sizeof cnpj, "%014d", 11000000 + i * 7);
        cnpjs.emplace_back(cnpj);
        storage.AddUser("contador@exemplo.com.br", cnpj);
        storage.AddCompany(cnpj, "EMPRESA " + std::to_string(i));
    }
    const std::string companies = download::ConsultaEmpresas(cnpjs);
    ASSERT_GT(test::EncodeSegment(companies).size(), std::size_t{100} << 10);

    struct Case {
        const char* name;
        std::size_t maxHeadBytes;  // 0: the server's default
        std::size_t rows;
        const char* error;
    };
    const Case cases[] = {
        {"the default limit takes them", 0, 5000, nullptr},
        // The whole line reaches the server before it refuses it.
        {"a server with a smaller limit says why", std::size_t{96} << 10, 0,
         "linha da requisição longa demais"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ServerOptions options;
        if (c.maxHeadBytes)
            options.maxHeadBytes = c.maxHeadBytes;
        test::RunningServer server(storage, options);
        cloud::RestConnection connection;
        connection.Host = "127.0.0.1";
        connection.Port = server.Port();
        cloud::RemoteQuery helper(connection);
        cloud::MemTable table;
        ASSERT_TRUE(helper.SelectMemTable(download::ConsultaUsuarios("contador@exemplo.com.br"), table))
            << helper.LastError();
        ASSERT_EQ(table.RecordCount(), 5000u);
        const bool loaded = helper.SelectMemTable(companies, table);
        if (!c.error) {
            ASSERT_TRUE(loaded) << helper.LastError();
            EXPECT_EQ(table.RecordCount(), c.rows);
        } else {
            EXPECT_FALSE(loaded);
            EXPECT_NE(helper.LastError().find(c.error), std::string::npos) << helper.LastError();
        }
    }
}

}  // namespace
}  // namespace kqz::server
