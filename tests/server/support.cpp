#include "tests/server/support.hpp"

#include "server/documents.hpp"

#include <libpq-fe.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace kqz::server::test {
namespace {

std::string RandomSuffix() {
    std::random_device rd;
    std::ostringstream out;
    out << std::hex << rd() << rd();
    return out.str();
}

void RunOnPostgres(const std::string& url, const std::string& sql) {
    PGconn* c = PQconnectdb(url.c_str());
    if (PQstatus(c) != CONNECTION_OK) {
        const std::string why = PQerrorMessage(c);
        PQfinish(c);
        throw std::runtime_error("PostgreSQL de teste inacessível: " + why);
    }
    PQclear(PQexec(c, "SET client_min_messages = warning"));
    PGresult* r = PQexec(c, sql.c_str());
    const bool ok = PQresultStatus(r) == PGRES_COMMAND_OK;
    const std::string why = PQresultErrorMessage(r);
    PQclear(r);
    PQfinish(c);
    if (!ok)
        throw std::runtime_error(sql + ": " + why);
}

}  // namespace

TempDatabase::TempDatabase(Backend backend) {
    folder_ = std::filesystem::temp_directory_path() / ("kqz-server-test-" + RandomSuffix());
    std::filesystem::create_directories(folder_);
    if (backend == Backend::Sqlite) {
        target_ = (folder_ / "kqz.sqlite").string();
        return;
    }
    const char* url = std::getenv("KQZ_TEST_PG_URL");
    if (!url || !*url) {
        skipped_ = true;
        return;
    }
    adminUrl_ = url;
    schema_ = "kqz_t_" + RandomSuffix();
    RunOnPostgres(adminUrl_, "CREATE SCHEMA " + schema_);
    target_ = adminUrl_ + (adminUrl_.find('?') == std::string::npos ? "?" : "&") +
              "options=-csearch_path%3D" + schema_;
}

TempDatabase::~TempDatabase() {
    storage_.reset();
    if (!schema_.empty()) {
        try {
            RunOnPostgres(adminUrl_, "DROP SCHEMA " + schema_ + " CASCADE");
        } catch (...) {
        }
    }
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
}

Storage& TempDatabase::Open() {
    if (!storage_)
        storage_ = Storage::Open(target_);
    return *storage_;
}

RunningServer::RunningServer(Storage& storage, ServerOptions options)
    : server_(storage, [&] {
          options.listen = "127.0.0.1";
          options.port = 0;
          if (!options.log)
              options.log = [](const std::string&) {};
          return options;
      }()) {
    port_ = server_.Bind();
    thread_ = std::thread([this] { server_.Run(); });
}

RunningServer::~RunningServer() {
    server_.Stop();
    thread_.join();
}

httplib::Client RunningServer::Client() const {
    httplib::Client c("127.0.0.1", port_);
    c.set_keep_alive(true);
    c.set_tcp_nodelay(true);
    c.set_read_timeout(60);
    return c;
}

std::string ReadTestFile(const std::string& name) {
    std::ifstream in(std::string(KQZ_TEST_DATA) + "/server/" + name, std::ios::binary);
    if (!in)
        throw std::runtime_error("arquivo de teste ausente: " + name);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string EncodeSegment(const std::string& text) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
            c == '_' || c == '.' || c == '~') {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

void FillSampleStore(Storage& storage, const std::string& email) {
    std::vector<StoredDocument> docs;
    for (const char* f : {"venda-1item.xml", "venda-linha-unica.xml"}) {
        std::string reason;
        docs.push_back(*ReadCfe(ReadTestFile(f), reason));
    }
    storage.Import(docs);
    storage.AddCompany("08723218000186", "LOJA DOS TESTES");
    storage.AddUser(email, "08723218000186");
}

}  // namespace kqz::server::test
