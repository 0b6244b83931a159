#include <gtest/gtest.h>
#include <httplib.h>

#include <nlohmann/json.hpp>

#include <atomic>
#include <map>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "cloud/codec/dataset_list.hpp"
#include "server/documents.hpp"
#include "server/server.hpp"
#include "tests/server/support.hpp"

namespace kqz::server {
namespace {

using test::Backend;
using test::EncodeSegment;

constexpr const char* kCnpjA = "08723218000186";  // the public samples' shop
constexpr const char* kCnpjB = "44555666000199";
constexpr const char* kCnpjC = "11222333000181";  // seen only by another e-mail

std::string Literal(const std::string& v) {
    std::string out = "'";
    for (char c : v) {
        out += c;
        if (c == '\'')
            out += '\'';
    }
    return out + "'";
}

std::string UsersSql(const std::string& email) {
    return "SELECT * FROM KQZ_SADu WHERE AU_EMAIL =" + Literal(email);
}
std::string CountSql(const std::string& cnpj, const std::string& month) {
    return "SELECT COUNT(*) AS QuantidadeDeRegistros FROM KQZ_SAD where AD_CNPJ=" + Literal(cnpj) +
           " AND AD_DATA=" + Literal(month);
}
std::string DocumentsSql(const std::string& cnpj, const std::string& month) {
    return "SELECT *,LEFT(right(AD_NUMERO,16),6) as X_NUMERO FROM KQZ_SAD where AD_CNPJ=" + Literal(cnpj) +
           " AND AD_DATA=" + Literal(month);
}
std::string CompaniesSql(const std::vector<std::string>& cnpjs) {
    std::string set = "'xx'";
    for (const auto& c : cnpjs)
        set += "," + Literal(c);
    return "SELECT M00_FANT,M00_CNPJ FROM M00 where M00_CNPJ IN(" + set + ")  GROUP BY M00_FANT,M00_CNPJ";
}
const std::string kVersionSql =
    "SELECT AP_CONTEUDO_INT,AP_CONTEUDO_STR,AP_DESCR from KQZ_SADp WHERE AP_PARAMETRO='P_VERATU'";
const std::string kAdminSql = "SELECT AD_CNPJ AS AU_CNPJ FROM KQZ_SAD GROUP BY AD_CNPJ ORDER BY AD_CNPJ";

std::string SelectPath(const std::string& sql) {
    return "/datasnap/rest/TServerMethods1/SelectCloud/" + EncodeSegment(sql) + "/";
}

// One DataSnap session as a client keeps it: the id from the last answer's
// Pragma goes back on the next request.
struct ClientSession {
    explicit ClientSession(const test::RunningServer& server) : http(server.Client()) {}

    httplib::Result Send(const std::string& verb, const std::string& path, httplib::Headers headers = {},
                         const std::string& body = "") {
        if (!id.empty() && via == "pragma")
            headers.emplace("Pragma", "dssession=" + id);
        std::string target = path;
        if (!id.empty() && via != "pragma")
            target += "?" + via + "=" + id;
        httplib::Result r = verb == "GET"      ? http.Get(target.c_str(), headers)
                            : verb == "DELETE" ? http.Delete(target.c_str(), headers)
                            : verb == "PUT"
                                ? http.Put(target.c_str(), headers, body, "text/plain")
                                : http.Post(target.c_str(), headers, body, "text/plain;charset=UTF-8");
        if (r) {
            static const std::regex pragma(R"(dssession=([0-9A-F-]+),dssessionexpires=(\d+))");
            std::smatch m;
            const std::string value = r->get_header_value("Pragma");
            if (std::regex_match(value, m, pragma)) {
                id = m[1];
            } else if (r->status == 200 || r->status == 500) {
                ADD_FAILURE() << "answer without a proper Pragma: \"" << value << "\"";
            }
        }
        return r;
    }

    httplib::Result Select(const std::string& sql, httplib::Headers headers = {}) {
        return Send("GET", SelectPath(sql), std::move(headers));
    }

    httplib::Client http;
    std::string id;
    std::string via = "pragma";
};

std::string CellText(const codec::Value& v) {
    if (std::holds_alternative<std::monostate>(v))
        return "<null>";
    if (const auto* s = std::get_if<std::string>(&v))
        return *s;
    if (const auto* i = std::get_if<std::int64_t>(&v))
        return std::to_string(*i);
    if (const auto* d = std::get_if<codec::Decimal>(&v))
        return d->text;
    if (const auto* d = std::get_if<double>(&v))
        return std::to_string(*d);
    return "<?>";
}

codec::Dataset DecodeBody(const std::string& body) {
    auto sets = codec::ScanResultBody(body);
    if (!sets || sets->size() != 1)
        throw std::runtime_error("expected one dataset in " + body.substr(0, 200));
    return codec::DecodeDataSet(sets->front());
}

// A database with the public samples of one shop, a generated month of
// another, users, companies and the version row.
class HttpTest : public testing::TestWithParam<Backend> {
  protected:
    void SetUp() override {
        db_ = std::make_unique<test::TempDatabase>(GetParam());
        if (db_->Skipped())
            GTEST_SKIP() << "KQZ_TEST_PG_URL não definido: casos PostgreSQL pulados";
        Storage& s = db_->Open();
        std::vector<StoredDocument> docs;
        for (const char* f : {"venda-1item.xml", "venda-linha-unica.xml", "cancelamento.xml"}) {
            std::string reason;
            docs.push_back(*ReadCfe(test::ReadTestFile(f), reason));
        }
        // A document of another shop, so that CNPJ C has something to count.
        StoredDocument other = docs[0];
        other.cnpj = kCnpjC;
        other.numero = "CFe35150711222333000181599000040190000215133401-VD";
        docs.push_back(other);
        s.Import(docs);
        s.AddCompany(kCnpjA, "LOJA DOS TESTES");
        s.AddCompany(kCnpjB, "PADARIA SÃO JOÃO");
        s.AddCompany(kCnpjC, "OUTRA EMPRESA");
        s.AddUser("contador@exemplo.com.br", kCnpjA);
        s.AddUser("contador@exemplo.com.br", kCnpjB);
        s.AddUser("outro@exemplo.com.br", kCnpjC);
        s.SetVersion(4, "https://www.exemplo.com.br/kqz.zip", "VERSÃO:  1.0.3 - 210408");
    }

    std::unique_ptr<test::RunningServer> Start(ServerOptions options = {}) {
        return std::make_unique<test::RunningServer>(db_->Open(), std::move(options));
    }

    std::unique_ptr<test::TempDatabase> db_;
};

TEST_P(HttpTest, EachClientQueryGivesItsColumnsAndRows) {
    auto server = Start();
    ClientSession session(*server);
    using T = codec::DataType;
    struct Case {
        std::string sql;
        std::vector<std::string> names;
        std::vector<T> types;
        std::vector<std::vector<std::string>> rows;
    };
    const std::string sale = test::ReadTestFile("venda-linha-unica.xml");
    const std::string canc = test::ReadTestFile("cancelamento.xml");
    const Case cases[] = {
        {kVersionSql,
         {"AP_CONTEUDO_INT", "AP_CONTEUDO_STR", "AP_DESCR"},
         {T::Int32, T::WideString, T::WideString},
         {{"4", "https://www.exemplo.com.br/kqz.zip", "VERSÃO:  1.0.3 - 210408"}}},
        {UsersSql("contador@exemplo.com.br"),
         {"AU_EMAIL", "AU_CNPJ"},
         {T::WideString, T::WideString},
         {{"contador@exemplo.com.br", kCnpjA}, {"contador@exemplo.com.br", kCnpjB}}},
        {UsersSql("ninguem@exemplo.com.br"), {"AU_EMAIL", "AU_CNPJ"}, {T::WideString, T::WideString}, {}},
        // C belongs to another e-mail: the session does not get it.
        {CompaniesSql({kCnpjA, kCnpjB, kCnpjC, "a'b"}),
         {"M00_FANT", "M00_CNPJ"},
         {T::WideString, T::WideString},
         {{"LOJA DOS TESTES", kCnpjA}, {"PADARIA SÃO JOÃO", kCnpjB}}},
        {CompaniesSql({}), {"M00_FANT", "M00_CNPJ"}, {T::WideString, T::WideString}, {}},
        {CountSql(kCnpjA, "1509"), {"QuantidadeDeRegistros"}, {T::Int32}, {{"2"}}},
        {CountSql(kCnpjB, "1509"), {"QuantidadeDeRegistros"}, {T::Int32}, {{"0"}}},
        {DocumentsSql(kCnpjA, "1509"),
         {"AD_CNPJ", "AD_DATA", "AD_NUMERO", "AD_VALOR", "AD_XML", "X_NUMERO"},
         {T::WideString, T::WideString, T::WideString, T::FmtBCD, T::WideMemo, T::WideString},
         {{kCnpjA, "1509", "CFe35150908723218000186599000040190000007972068-VD", "654.32", sale, "000000"},
          {kCnpjA, "1509", "CFeCanc35150908723218000186599000040190000378585470-CA", "0", canc, "000037"}}},
        {DocumentsSql(kCnpjA, "2103"),
         {"AD_CNPJ", "AD_DATA", "AD_NUMERO", "AD_VALOR", "AD_XML", "X_NUMERO"},
         {T::WideString, T::WideString, T::WideString, T::FmtBCD, T::WideMemo, T::WideString},
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sql);
        auto r = session.Select(c.sql);
        ASSERT_TRUE(r);
        ASSERT_EQ(r->status, 200) << r->body.substr(0, 300);
        EXPECT_EQ(r->get_header_value("Content-Type"), "application/json");
        const codec::Dataset ds = DecodeBody(r->body);
        std::vector<std::string> names;
        std::vector<T> types;
        for (const auto& col : ds.columns) {
            names.push_back(col.name);
            types.push_back(col.type);
            if (col.type == T::WideString) {
                for (const auto& row : ds.rows) {
                    EXPECT_GE(static_cast<std::size_t>(col.size), CellText(row[names.size() - 1]).size() / 2);
                }
            }
        }
        EXPECT_EQ(names, c.names);
        EXPECT_EQ(types, c.types);
        std::vector<std::vector<std::string>> rows;
        for (const auto& row : ds.rows) {
            rows.emplace_back();
            for (const auto& v : row)
                rows.back().push_back(CellText(v));
        }
        // Money compares as a number: "0", "0.00" and "0.0" are the same value.
        for (std::size_t i = 0; i < rows.size() && i < c.rows.size(); ++i) {
            for (std::size_t k = 0; k < c.names.size() && k < rows[i].size(); ++k) {
                if (c.types[k] == T::FmtBCD) {
                    EXPECT_DOUBLE_EQ(std::stod(rows[i][k]), std::stod(c.rows[i][k]));
                    rows[i][k] = c.rows[i][k];
                }
            }
        }
        EXPECT_EQ(rows, c.rows);
    }
}

TEST_P(HttpTest, SessionsAndAccessControl) {
    struct Step {
        char session;     // 'A', 'B', 'C': named sessions; 'X': an id the server never gave
        std::string sql;  // empty: the version query
        int status;
        const char* bodyPart;  // must appear in the answer
        const char* via = "pragma";
        const char* forwardedFor = nullptr;
        int minutesLater = 0;  // clock moved before the step
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
        std::size_t maxSessions = 100;
        bool trustLoopbackProxy = true;
    };
    const Case cases[] = {
        {"count before any identification is refused",
         {{'A', CountSql(kCnpjA, "1509"), 500, "não foi liberado nesta sessão"},
          {'A', DocumentsSql(kCnpjA, "1509"), 500, "não foi liberado nesta sessão"}}},
        {"identification opens its CNPJs only",
         {{'A', UsersSql("contador@exemplo.com.br"), 200, "result"},
          {'A', CountSql(kCnpjA, "1509"), 200, "result"},
          {'A', DocumentsSql(kCnpjA, "1509"), 200, "result"},
          {'A', CountSql(kCnpjC, "1507"), 500, "não foi liberado"},
          {'A', DocumentsSql(kCnpjC, "1507"), 500, "não foi liberado"}}},
        {"a quote trick in the e-mail finds nobody and opens nothing",
         {{'A', UsersSql("x' OR '1'='1"), 200, "result"},
          {'A', CountSql(kCnpjA, "1509"), 500, "não foi liberado"}}},
        {"an unknown e-mail keeps what an earlier identification opened",
         {{'A', UsersSql("contador@exemplo.com.br"), 200, "result"},
          {'A', UsersSql("ninguem@exemplo.com.br"), 200, "result"},
          {'A', CountSql(kCnpjB, "1509"), 200, "result"}}},
        {"another session gains nothing",
         {{'A', UsersSql("contador@exemplo.com.br"), 200, "result"},
          {'B', CountSql(kCnpjA, "1509"), 500, "não foi liberado"}}},
        {"session id from ?sid= and ?SESSIONID=",
         {{'A', UsersSql("contador@exemplo.com.br"), 200, "result"},
          {'A', CountSql(kCnpjA, "1509"), 200, "result", "sid"},
          {'A', CountSql(kCnpjA, "1509"), 200, "result", "SESSIONID"}}},
        {"an id the server never gave", {{'X', "", 403, "SessionExpired"}}},
        {"a session idle for longer than allowed expires",
         {{'A', UsersSql("contador@exemplo.com.br"), 200, "result"},
          {'A', CountSql(kCnpjA, "1509"), 403, "SessionExpired", "pragma", nullptr, 21}}},
        {"a session in use stays alive",
         {{'A', UsersSql("contador@exemplo.com.br"), 200, "result"},
          {'A', "", 200, "result", "pragma", nullptr, 15},
          {'A', CountSql(kCnpjA, "1509"), 200, "result", "pragma", nullptr, 15}}},
        {"a session that identified nobody goes first when the store is full",
         {{'A', UsersSql("contador@exemplo.com.br"), 200, "result"},
          {'B', "", 200, "result"},
          {'C', "", 200, "result"},
          {'B', "", 403, "SessionExpired"},
          {'A', CountSql(kCnpjA, "1509"), 200, "result"}},
         2},
        {"the least recently used identified session goes when every one identified",
         {{'A', UsersSql("contador@exemplo.com.br"), 200, "result"},
          {'B', UsersSql("contador@exemplo.com.br"), 200, "result"},
          {'C', "", 200, "result"},
          {'A', CountSql(kCnpjA, "1509"), 403, "SessionExpired"},
          {'B', CountSql(kCnpjA, "1509"), 200, "result"}},
         2},
        {"administrator from loopback sees every company",
         {{'A', kAdminSql, 200, "result"},
          {'A', CountSql(kCnpjC, "1507"), 200, "result"},
          {'A', DocumentsSql(kCnpjA, "1509"), 200, "result"}}},
        {"administrator from an outside network is refused",
         {{'A', kAdminSql, 500, "não é aceita a partir do endereço 203.0.113.7", "pragma", "203.0.113.7"},
          {'A', CountSql(kCnpjC, "1507"), 500, "não foi liberado"}}},
        {"a forwarded request from an untrusted peer is not local",
         {{'A', kAdminSql, 500, "não é aceita", "pragma", "127.0.0.1"}},
         100,
         false},
        {"ExecuteCloud is off unless the operator enables it", {{'A', "@exec", 500, "--allow-execute"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto minutes = std::make_shared<std::atomic<int>>(0);
        const auto base = Clock::now();
        ServerOptions options;
        options.service.maxSessions = c.maxSessions;
        options.service.clock = [minutes, base] { return base + std::chrono::minutes(minutes->load()); };
        if (c.trustLoopbackProxy)
            options.trustedProxies = LoopbackRanges();
        auto server = Start(options);
        std::map<char, std::unique_ptr<ClientSession>> sessions;
        int index = 0;
        for (const auto& step : c.steps) {
            SCOPED_TRACE("step " + std::to_string(index++));
            *minutes += step.minutesLater;
            auto& s = sessions[step.session];
            if (!s) {
                s = std::make_unique<ClientSession>(*server);
                if (step.session == 'X')
                    s->id = "0BAD0BAD-0000-0000-0000-000000000000";
            }
            s->via = step.via;
            httplib::Headers headers;
            if (step.forwardedFor)
                headers.emplace("X-Forwarded-For", step.forwardedFor);
            auto r = step.sql == "@exec" ? s->Send("GET", "/datasnap/rest/TServerMethods1/ExecuteCloud/" +
                                                              EncodeSegment("DELETE FROM KQZ_SAD") + "/")
                                         : s->Select(step.sql.empty() ? kVersionSql : step.sql, headers);
            ASSERT_TRUE(r);
            EXPECT_EQ(r->status, step.status) << r->body.substr(0, 300);
            EXPECT_NE(r->body.find(step.bodyPart), std::string::npos) << r->body.substr(0, 300);
        }
    }
    EXPECT_EQ(db_->Open().GetStats().documents, 4);
}

TEST_P(HttpTest, ProtocolAnswersAndErrors) {
    ServerOptions options;
    options.maxBody = 4096;
    auto server = Start(options);
    struct Case {
        const char* verb;
        std::string path;
        std::string body;
        int status;
        std::string expected;  // the whole body for 200, a part of it otherwise
    };
    const std::string m = "/datasnap/rest/TServerMethods1/";
    const Case cases[] = {
        {"GET", m + "EchoString/abc%20%C3%A7%2Fx%3F/", "", 200, R"({"result":["abc ç/x?"]})"},
        {"GET", m + "EchoString//", "", 200, R"({"result":[""]})"},
        {"GET", m + "EchoString/null/", "", 200, R"({"result":[null]})"},
        {"GET", m + "EchoString/a+b/", "", 200, R"({"result":["a+b"]})"},
        {"GET", m + "ReverseString/p%C3%A3o%201/", "", 200, R"({"result":["1 oãp"]})"},
        {"GET", m + "ValidarCpf/529.982.247-25/", "", 200, R"({"result":[true]})"},
        {"GET", m + "ValidarCpf/529.982.247-26/", "", 200, R"({"result":[false]})"},
        {"GET", m + "ValidaCNPJ/11.222.333%2F0001-81/", "", 200, R"({"result":[true]})"},
        {"GET", m + "ValidaCNPJ/11222333000182/", "", 200, R"({"result":[false]})"},
        {"POST", m + "%22EchoString%22/", R"({"_parameters":["x y"]})", 200, R"({"result":["x y"]})"},
        {"POST", m + "%22EchoString%22/", R"("sozinho")", 200, R"({"result":["sozinho"]})"},
        {"POST", m + "EchoString/", R"("x")", 500, "método desconhecido: TServerMethods1.updateEchoString"},
        {"PUT", m + "EchoString/", R"("x")", 500, "acceptEchoString"},
        {"POST", m + "%22EchoString%22/", "{não é json", 500, "não é JSON válido"},
        {"POST", m + "%22EchoString%22/", R"({"_parameters":["a","b"]})", 500,
         "recebe 1 parâmetro(s), vieram 2"},
        {"POST", m + "%22EchoString%22/", std::string(5000, 'x'), 413, "grande demais"},
        {"GET", m + "EchoString/a/b/", "", 500, "vieram 2"},
        {"GET", m + "RetornaGrid/a/b/c/d/e/", "", 500, "TServerMethods1.RetornaGrid não é suportado"},
        {"POST", m + "%22IncluirPedido%22/", "null", 500, "IncluirPedido não é suportado"},
        {"GET", m + "Nada/", "", 500, "método desconhecido: TServerMethods1.Nada"},
        {"GET", m, "", 500, "chamada sem método"},
        {"GET", "/datasnap/rest/TOutra/EchoString/x/", "", 500, "classe desconhecida: TOutra"},
        {"GET", m + "EchoString/%zz/", "", 400, "escape % malformado"},
        {"GET", m + "EchoString/%FF/", "", 500, "não é texto UTF-8 válido"},
        {"GET", "/datasnap/outro/x", "", 501, "contexto desconhecido"},
        {"GET", "/index.html", "", 404, "caminho desconhecido"},
        {"GET", m + "SelectCloud//", "", 500, "SelectCloud sem comando SQL"},
        {"GET", m + "SelectCloud/null/", "", 500, "SelectCloud sem comando SQL"},
        {"GET", SelectPath("SELECT * FROM KQZ_SADu WHERE AU_EMAIL ='a'; DROP TABLE KQZ_SAD"), "", 500,
         "comando SQL não aceito: caractere não permitido ';'"},
        {"GET", SelectPath("DELETE FROM KQZ_SAD"), "", 500, "comando SQL não aceito"},
        {"GET", "/datasnap/rest/CloseSession/", "", 200, R"({"result":[true]})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.verb) + " " + c.path.substr(0, 120));
        ClientSession session(*server);
        auto r = session.Send(c.verb, c.path, {}, c.body);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->status, c.status);
        if (c.status == 200) {
            EXPECT_EQ(r->body, c.expected);
        } else {
            EXPECT_NE(r->body.find(c.expected), std::string::npos) << r->body;
            EXPECT_TRUE(nlohmann::json::accept(r->body)) << r->body;
        }
    }
    // Nothing above changed the data, and the server still answers.
    ClientSession after(*server);
    auto r = after.Select(kVersionSql);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(db_->Open().GetStats().documents, 4);
}

TEST_P(HttpTest, CacheFormKeepsTheListInTheSession) {
    auto server = Start();
    ClientSession session(*server);
    auto plain = session.Select(kVersionSql);
    ASSERT_TRUE(plain);
    auto cached = session.Select(kVersionSql, {{"Accept", "application/rest"}});
    ASSERT_TRUE(cached);
    EXPECT_EQ(cached->status, 200);
    EXPECT_EQ(cached->body, R"({"cacheId":0,"cmdIndex":0,"result":["0/0/0"]})");
    auto second = session.Select(kVersionSql, {{"Accept", "application/rest"}});
    EXPECT_NE(second->body.find(R"("1/0/0")"), std::string::npos);

    auto item = session.Send("GET", "/datasnap/cache/0/0/0");
    ASSERT_TRUE(item);
    ASSERT_EQ(item->status, 200);
    const codec::Dataset a = DecodeBody(plain->body);
    const codec::Dataset b = DecodeBody(item->body);
    EXPECT_EQ(a.columns, b.columns);
    EXPECT_EQ(a.rows, b.rows);

    ClientSession stranger(*server);
    EXPECT_EQ(stranger.Send("GET", "/datasnap/cache/0/0/0")->status, 404);
    EXPECT_EQ(session.Send("GET", "/datasnap/cache/0/0/1")->status, 404);
    EXPECT_EQ(session.Send("GET", "/datasnap/cache/7/0/0")->status, 404);
    EXPECT_EQ(session.Send("DELETE", "/datasnap/cache/0")->body, R"({"result":[true]})");
    EXPECT_EQ(session.Send("GET", "/datasnap/cache/0/0/0")->status, 404);
    EXPECT_EQ(session.Send("GET", "/datasnap/cache/1/0/0")->status, 200);
}

TEST_P(HttpTest, AccessLogKeepsOnlyAShortPrefixOfArguments) {
    std::mutex mutex;
    std::vector<std::string> lines;
    ServerOptions options;
    options.log = [&](const std::string& l) {
        std::lock_guard lock(mutex);
        lines.push_back(l);
    };
    {
        auto server = Start(options);
        ClientSession session(*server);
        session.Select(UsersSql("segredo.longo@exemplo.com.br"));
        session.Send("GET", "/datasnap/rest/TServerMethods1/EchoString/curto/");
    }
    ASSERT_EQ(lines.size(), 2u);
    // time, peer, verb, path, status, bytes, duration
    const std::regex line(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d 127\.0\.0\.1 GET (\S+) 200 (\d+) \d+ms)");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(lines[0], m, line)) << lines[0];
    EXPECT_EQ(m[1].str(), "/datasnap/rest/TServerMethods1/SelectCloud/" +
                              EncodeSegment(UsersSql("segredo.longo@exemplo.com.br")).substr(0, 24) + ".../");
    EXPECT_EQ(lines[0].find("segredo"), std::string::npos);
    ASSERT_TRUE(std::regex_match(lines[1], m, line)) << lines[1];
    EXPECT_EQ(m[1].str(), "/datasnap/rest/TServerMethods1/EchoString/curto/");
    EXPECT_EQ(m[2].str(), std::to_string(std::string(R"({"result":["curto"]})").size()));
}

TEST_P(HttpTest, ConcurrentKeepAliveClientsGetTheirOwnAnswers) {
    ServerOptions options;
    options.workers = 4;
    auto server = Start(options);
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            ClientSession s(*server);
            const bool contador = t % 2 == 0;
            s.Select(UsersSql(contador ? "contador@exemplo.com.br" : "outro@exemplo.com.br"));
            for (int i = 0; i < 40; ++i) {
                auto r = s.Select(CountSql(contador ? kCnpjA : kCnpjC, contador ? "1509" : "1507"));
                if (!r || r->status != 200) {
                    ++wrong;
                    continue;
                }
                const auto ds = DecodeBody(r->body);
                if (CellText(ds.rows.at(0).at(0)) != (contador ? "2" : "1"))
                    ++wrong;
            }
        });
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_P(HttpTest, ExecuteCloudWhenAllowedRunsOneStatementFromAdminNetworks) {
    ServerOptions options;
    options.service.allowExecute = true;
    options.trustedProxies = LoopbackRanges();
    auto server = Start(options);
    ClientSession s(*server);
    const std::string path = "/datasnap/rest/TServerMethods1/ExecuteCloud/";
    auto r = s.Send(
        "GET",
        path + EncodeSegment("UPDATE KQZ_SADp SET AP_DESCR = 'nova' WHERE AP_PARAMETRO = 'P_VERATU'") + "/");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body, R"({"result":[true]})");
    EXPECT_EQ(CellText(DecodeBody(s.Select(kVersionSql)->body).rows.at(0).at(2)), "nova");

    r = s.Send("GET", path + EncodeSegment("DELETE FROM M00; DELETE FROM KQZ_SAD") + "/");
    EXPECT_EQ(r->status, 500);
    r = s.Send("GET", path + EncodeSegment("DELETE FROM KQZ_SAD") + "/",
               {{"X-Forwarded-For", "198.51.100.1"}});
    EXPECT_EQ(r->status, 500);
    EXPECT_NE(r->body.find("redes de administração"), std::string::npos);
    EXPECT_EQ(db_->Open().GetStats().documents, 4);
    EXPECT_EQ(db_->Open().GetStats().companies, 3);
}

INSTANTIATE_TEST_SUITE_P(Backends, HttpTest, testing::Values(Backend::Sqlite, Backend::Postgres),
                         test::BackendName);

TEST(ClientAddress, ForwardedForIsBelievedOnlyFromTrustedProxies) {
    const std::vector<Cidr> proxies = {Cidr::Parse("10.0.0.0/8")};
    struct Case {
        const char* peer;
        const char* forwarded;
        bool has;
        const char* expected;
    };
    const Case cases[] = {
        {"192.0.2.1", "", false, "192.0.2.1"},
        {"192.0.2.1", "127.0.0.1", true, ""},
        {"10.1.2.3", "203.0.113.9", true, "203.0.113.9"},
        {"10.1.2.3", "127.0.0.1, 203.0.113.9", true, "203.0.113.9"},
        {"::ffff:10.1.2.3", " 198.51.100.4 ", true, "198.51.100.4"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ClientAddress(c.peer, c.forwarded, c.has, proxies), c.expected)
            << c.peer << " " << c.forwarded;
    }
}

TEST(Cidr, RangesAndAddresses) {
    struct Case {
        const char* range;
        const char* address;
        bool inside;
    };
    const Case cases[] = {
        {"127.0.0.0/8", "127.10.0.1", true},
        {"127.0.0.0/8", "128.0.0.1", false},
        {"127.0.0.0/8", "::ffff:127.0.0.1", true},
        {"192.168.1.0/24", "192.168.1.255", true},
        {"192.168.1.0/24", "192.168.2.0", false},
        {"10.0.0.1", "10.0.0.1", true},
        {"10.0.0.1", "10.0.0.2", false},
        {"::1", "::1", true},
        {"2001:db8::/32", "2001:db8:ffff::1", true},
        {"2001:db8::/32", "2001:db9::1", false},
        {"0.0.0.0/0", "8.8.8.8", true},
        {"127.0.0.0/8", "", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Cidr::Parse(c.range).Contains(c.address), c.inside) << c.range << " " << c.address;
    }
    for (const char* bad : {"", "10.0.0.0/33", "10.0.0.0/", "abc", "10.0.0.0/8x", "::1/129"}) {
        EXPECT_THROW(Cidr::Parse(bad), std::invalid_argument) << bad;
    }
}

}  // namespace
}  // namespace kqz::server
