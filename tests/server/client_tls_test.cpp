// The client library against kqz-server speaking HTTPS itself, with a
// throw-away certificate authority made for the test: the job works when the
// client is told to trust that authority, and an unknown authority is refused
// with a message that says what to do.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "cloud/mem_table.hpp"
#include "cloud/remote_query.hpp"
#include "cloud/rest_connection.hpp"
#include "download/queries.hpp"
#include "server/documents.hpp"
#include "tests/server/support.hpp"

namespace kqz::server {
namespace {

namespace fs = std::filesystem;

// A certificate authority and a certificate for 127.0.0.1 signed by it, made
// with the openssl command.
struct Authority {
    fs::path ca;
    fs::path cert;
    fs::path key;
};

Authority MakeAuthority(const fs::path& dir, const std::string& name) {
    const std::string d = (dir / name).string();
    fs::create_directories(d);
    const std::string ec = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes ";
    const std::string commands =
        "cd '" + d + "' && openssl req -x509" + ec + "-keyout ca.key -out ca.pem -days 2 -subj '/CN=" + name +
        "' -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign && " +
        "openssl req" + ec + "-keyout server.key -out server.csr -subj /CN=127.0.0.1 && " +
        "printf 'subjectAltName=IP:127.0.0.1\\nextendedKeyUsage=serverAuth\\n' > ext.cnf && " +
        "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 "
        "-extfile ext.cnf";
    if (std::system(("(" + commands + ") >/dev/null 2>&1").c_str()) != 0)
        throw std::runtime_error("openssl could not make the test certificates in " + d);
    return {fs::path(d) / "ca.pem", fs::path(d) / "server.pem", fs::path(d) / "server.key"};
}

TEST(ClientTls, TheJobRunsOverHttpsAndAnUnknownAuthorityIsRefused) {
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
    const Authority ours = MakeAuthority(db.Folder(), "Autoridade do Teste");
    const Authority other = MakeAuthority(db.Folder(), "Outra Autoridade");

    ServerOptions options;
    options.tlsCert = ours.cert.string();
    options.tlsKey = ours.key.string();
    test::RunningServer server(storage, options);

    struct Case {
        const char* name;
        std::string caFile;  // --ca
        std::string caEnv;   // KQZ_CA
        bool works;
        const char* error;
    };
    const Case cases[] = {
        {"the authority given with --ca", ours.ca.string(), "", true, nullptr},
        {"the authority given in KQZ_CA", "", ours.ca.string(), true, nullptr},
        {"only the system's store", "", "", false, "não é confiável"},
        {"another authority", other.ca.string(), "", false, "--ca ARQUIVO ou KQZ_CA"},
        {"a file that holds no certificate", ours.key.string(), "", false, "não consegui ler certificados"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.caEnv.empty()) {
            unsetenv("KQZ_CA");
        } else {
            setenv("KQZ_CA", c.caEnv.c_str(), 1);
        }
        cloud::RestConnection connection;
        connection.Protocol = "https";
        connection.Host = "127.0.0.1";
        connection.Port = server.Port();
        connection.CaFile = c.caFile;
        cloud::RemoteQuery helper(connection);
        cloud::MemTable table;
        const bool identified =
            helper.SelectMemTable(download::ConsultaUsuarios("contador@exemplo.com.br"), table);
        if (!c.works) {
            EXPECT_FALSE(identified);
            EXPECT_NE(helper.LastError().find(c.error), std::string::npos) << helper.LastError();
            continue;
        }
        ASSERT_TRUE(identified) << helper.LastError();
        ASSERT_TRUE(helper.SelectMemTable(download::ConsultaEmpresas({"08723218000186"}), table))
            << helper.LastError();
        EXPECT_EQ(table.FieldByName("M00_FANT").AsString(), "LOJA DOS TESTES");
        ASSERT_TRUE(helper.SelectMemTable(download::ConsultaQuantidade("08723218000186", "1509"), table))
            << helper.LastError();
        EXPECT_EQ(table.Fields(0).AsInteger(), 2);
        ASSERT_TRUE(helper.SelectMemTable(download::ConsultaDocumentos("08723218000186", "1509"), table))
            << helper.LastError();
        ASSERT_EQ(table.RecordCount(), 2u);
        table.First();
        EXPECT_EQ(table.FieldByName("AD_XML").AsString(), test::ReadTestFile("venda-linha-unica.xml"));
    }
    unsetenv("KQZ_CA");
}

}  // namespace
}  // namespace kqz::server
