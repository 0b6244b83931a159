#include "cloud/rest_connection.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "cloud/server_address.hpp"
#include "cloud/server_methods.hpp"
#include "tests/cloud/fake_server.hpp"

namespace kqz::cloud {
namespace {

using testing::Always;
using testing::Answer;
using testing::FakeServer;

std::string ReadData(const std::string& name) {
    std::ifstream in(std::string(KQZ_TEST_DATA) + "/cloud/" + name, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(MethodUrl, BuildsPathFromCommandTextArgumentsAndFilter) {
    struct Case {
        const char* what;
        ServerAddress address;
        std::string commandText;
        std::vector<std::string> arguments;
        std::string filter;
        std::string expected;
    };
    const ServerAddress local{"http", "localhost", 8080, ""};
    const std::vector<Case> cases = {
        {"no arguments",
         local,
         "TServerMethods1.EchoString",
         {},
         "",
         "http://localhost:8080/datasnap/rest/TServerMethods1/EchoString/"},
        {"SQL text",
         local,
         "TServerMethods1.SelectCloud",
         {"SELECT * FROM M00 WHERE M00_CNPJ = 'a''b'"},
         "",
         "http://localhost:8080/datasnap/rest/TServerMethods1/SelectCloud/"
         "SELECT%20%2A%20FROM%20M00%20WHERE%20M00_CNPJ%20%3D%20%27a%27%27b%27/"},
        {"empty string is an empty segment",
         local,
         "TServerMethods1.RetornaEndereco",
         {"", "x"},
         "",
         "http://localhost:8080/datasnap/rest/TServerMethods1/RetornaEndereco//x/"},
        {"slash, percent, plus and UTF-8",
         local,
         "TServerMethods1.EchoString",
         {"a/b%c+dç"},
         "",
         "http://localhost:8080/datasnap/rest/TServerMethods1/EchoString/a%2Fb%25c%2Bd%C3%A7/"},
        {"unsafe characters",
         local,
         "TServerMethods1.EchoString",
         {"`|{}^\\?#:"},
         "",
         "http://localhost:8080/datasnap/rest/TServerMethods1/EchoString/%60%7C%7B%7D%5E%5C%3F%23%3A/"},
        {"unreserved characters stay",
         local,
         "TServerMethods1.EchoString",
         {"AZaz09-._~"},
         "",
         "http://localhost:8080/datasnap/rest/TServerMethods1/EchoString/AZaz09-._~/"},
        {"quoted method name",
         local,
         "TServerMethods1.\"IncluirPedido\"",
         {},
         "",
         "http://localhost:8080/datasnap/rest/TServerMethods1/%22IncluirPedido%22/"},
        {"only the first dot becomes a slash",
         local,
         "A.B.C",
         {"1"},
         "",
         "http://localhost:8080/datasnap/rest/A/B.C/1/"},
        {"request filter",
         local,
         "TServerMethods1.EchoString",
         {"x"},
         "ss.c=3",
         "http://localhost:8080/datasnap/rest/TServerMethods1/EchoString/x/?ss.c=3"},
        {"https, port and URL path",
         {"https", "nuvem.example", 8443, "/kqz/api/"},
         "TServerMethods1.EchoString",
         {"x"},
         "",
         "https://nuvem.example:8443/kqz/api/datasnap/rest/TServerMethods1/EchoString/x/"},
        {"IPv6 host", {"http", "::1", 8080, ""}, "C.M", {}, "", "http://[::1]:8080/datasnap/rest/C/M/"},
    };
    for (const auto& c : cases) {
        RestConnection connection(c.address);
        EXPECT_EQ(connection.MethodUrl(c.commandText, c.arguments, c.filter), c.expected) << c.what;
    }
}

TEST(MethodUrl, ContextsAndCacheUrlFollowTheSettings) {
    RestConnection connection;
    EXPECT_EQ(connection.CacheUrl("0/0/1"), "http://localhost:8080/datasnap/cache/0/0/1");
    connection.Context = "ds/";
    connection.RESTContext = "r/";
    connection.CacheContext = "c/";
    EXPECT_EQ(connection.MethodUrl("C.M", {"a"}), "http://localhost:8080/ds/r/C/M/a/");
    EXPECT_EQ(connection.CacheUrl("3/1/0", "json=true"), "http://localhost:8080/ds/c/3/1/0?json=true");
}

TEST(ServerAddress, ParsesUrlsAndRefusesBadOnes) {
    struct Case {
        std::string url;
        std::optional<ServerAddress> expected;  // nullopt: must be refused
    };
    const std::vector<Case> cases = {
        {"http://localhost:8080", ServerAddress{"http", "localhost", 8080, ""}},
        {"https://nuvem.example:8443/kqz/api/", ServerAddress{"https", "nuvem.example", 8443, "kqz/api"}},
        {"HTTP://10.0.0.5:9000", ServerAddress{"http", "10.0.0.5", 9000, ""}},
        {"servidor:81", ServerAddress{"http", "servidor", 81, ""}},
        {"http://servidor", ServerAddress{"http", "servidor", 8080, ""}},
        {"http://[::1]:8081", ServerAddress{"http", "::1", 8081, ""}},
        {"ftp://servidor:21", std::nullopt},
        {"http://:8080", std::nullopt},
        {"http://servidor:0", std::nullopt},
        {"http://servidor:65536", std::nullopt},
        {"http://servidor:80a", std::nullopt},
        {"http://servidor:", std::nullopt},
        {"http://user:pw@servidor:8080", std::nullopt},
        {"http://servidor:8080/?x=1", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) {
        if (c.expected) {
            EXPECT_EQ(ParseServerUrl(c.url), *c.expected) << c.url;
            EXPECT_EQ(ParseServerUrl(FormatServerUrl(*c.expected)), *c.expected) << c.url;
        } else {
            try {
                ParseServerUrl(c.url);
                ADD_FAILURE() << "accepted " << c.url;
            } catch (const std::invalid_argument& e) {
                EXPECT_NE(std::string(e.what()).find("\"" + c.url + "\""), std::string::npos) << e.what();
            }
        }
    }
}

TEST(ServerAddress, OptionBeatsEnvironmentBeatsDefault) {
    const char* saved = std::getenv(kServerEnvironmentVariable);
    const std::string savedValue = saved != nullptr ? saved : "";
    ::unsetenv(kServerEnvironmentVariable);
    EXPECT_EQ(ResolveServerUrl(), kDefaultServerUrl);
    EXPECT_EQ(ResolveServerAddress(), (ServerAddress{"http", "localhost", 8080, ""}));
    ::setenv(kServerEnvironmentVariable, "http://env-host:9090", 1);
    EXPECT_EQ(ResolveServerUrl(), "http://env-host:9090");
    EXPECT_EQ(ResolveServerUrl("https://opt-host:1"), "https://opt-host:1");
    ::setenv(kServerEnvironmentVariable, "", 1);
    EXPECT_EQ(ResolveServerUrl(), kDefaultServerUrl);
    if (saved != nullptr) {
        ::setenv(kServerEnvironmentVariable, savedValue.c_str(), 1);
    } else {
        ::unsetenv(kServerEnvironmentVariable);
    }
}

TEST(SessionIdFromPragma, ReadsTheDssessionItem) {
    struct Case {
        std::string pragma;
        std::string id;
    };
    const std::vector<Case> cases = {
        {"dssession=123.456,dssessionexpires=1200000", "123.456"},
        {"dssessionexpires=1200000, DSSESSION = abc ", "abc"},
        {"no-cache", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(SessionIdFromPragma(c.pragma), c.id) << c.pragma;
    }
}

// What a call through the proxy gives for each kind of answer.
TEST(Answers, EachKindOfBodyGivesItsResultOrError) {
    enum class Outcome { DataSets, NoList, Error };
    struct Case {
        const char* what;
        std::vector<Answer> answers;  // one per request; the last repeats
        Outcome outcome;
        int status;             // of the error
        std::string text;       // in the error message, or name of the dataset
        std::size_t requests;   // sent in all
        const char* errorType;  // "rest", "expired", "format"
    };
    const std::string strBuffer = ReadData("result_strbuffer_layout.json");
    const std::string fValue = ReadData("result_fvalue_layout.json");
    const std::string plain = R"({"result":[)" + ReadData("datasets_plain_object.json") + "]}";
    const std::string html =
        "<html><head><title>404 Not Found</title></head><body><h1>Not Found</h1>"
        "<p>The requested URL was not found.</p></body></html>";
    const std::vector<Case> cases = {
        {"null list", {{200, R"({"result":[null]})"}}, Outcome::NoList, 0, "", 1, ""},
        {"bare array", {{200, "[null]"}}, Outcome::NoList, 0, "", 1, ""},
        {"FStrBuffer layout", {{200, strBuffer}}, Outcome::DataSets, 0, "qry", 1, ""},
        {"FValue layout", {{200, fValue}}, Outcome::DataSets, 0, "qry", 1, ""},
        {"plain object", {{200, plain}}, Outcome::DataSets, 0, "qry", 1, ""},
        {"201 counts as success", {{201, plain}}, Outcome::DataSets, 0, "qry", 1, ""},
        {"error object with 500",
         {{500, R"({"error":"Tabela KQZ_X inexistente"})"}},
         Outcome::Error,
         500,
         "Tabela KQZ_X inexistente",
         1,
         "rest"},
        {"bare JSON string with 500",
         {{500, R"("Falha ao converter o resultado")"}},
         Outcome::Error,
         500,
         "Falha ao converter o resultado",
         1,
         "rest"},
        {"error object inside a 200",
         {{200, R"({"error":"SQL inválido"})"}},
         Outcome::Error,
         200,
         "SQL inválido",
         1,
         "rest"},
        {"HTML error page",
         {{404, html, "text/html"}},
         Outcome::Error,
         404,
         "Not Found: 404 Not Found Not Found The requested URL was not found.",
         1,
         "rest"},
        {"plain text error",
         {{409, "Parametro desconhecido: x", "text/plain"}},
         Outcome::Error,
         409,
         "Parametro desconhecido: x",
         1,
         "rest"},
        {"session expired, then success",
         {{403, R"({"SessionExpired":"Sessão expirada"})"}, {200, plain}},
         Outcome::DataSets,
         0,
         "qry",
         2,
         ""},
        {"session expired twice",
         {{403, R"({"SessionExpired":"Sessão expirada"})"}},
         Outcome::Error,
         403,
         "Sessão expirada",
         2,
         "expired"},
        {"success body that is not JSON",
         {{200, "<html>ok</html>", "text/html"}},
         Outcome::Error,
         200,
         "ilegível",
         1,
         "format"},
        {"dataset that does not decode",
         {{200, R"({"result":[{"qry":"eJzz@@@"}]})"}},
         Outcome::Error,
         200,
         "ilegível",
         1,
         "format"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeServer server([&c](const testing::Received&, std::size_t i) {
            return c.answers[std::min(i, c.answers.size() - 1)];
        });
        RestConnection connection(ParseServerUrl(server.Url()));
        TServerMethods1Client proxy(connection, false);
        try {
            DataSetsPtr list = proxy.SelectCloud("SELECT 1", "");
            ASSERT_NE(c.outcome, Outcome::Error) << "no error raised";
            if (c.outcome == Outcome::NoList) {
                EXPECT_EQ(list, nullptr);
            } else {
                ASSERT_NE(list, nullptr);
                ASSERT_EQ(list->Count(), 1u);
                EXPECT_EQ(list->Name(0), c.text);
                ASSERT_EQ(list->DataSet(0).rows.size(), 2u);
                EXPECT_EQ(std::get<std::string>(list->DataSet(0).rows[0][1]), "Empresa Ação Ltda");
            }
        } catch (const RestError& e) {
            ASSERT_EQ(c.outcome, Outcome::Error) << e.what();
            EXPECT_EQ(e.Status(), c.status) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.text), std::string::npos) << e.what();
            const std::string type = dynamic_cast<const SessionExpiredError*>(&e)   ? "expired"
                                     : dynamic_cast<const ResponseFormatError*>(&e) ? "format"
                                                                                    : "rest";
            EXPECT_EQ(type, c.errorType) << e.what();
        }
        EXPECT_EQ(server.Requests().size(), c.requests);
    }
}

TEST(Answers, ServerTextIsKeptApartFromTheMessage) {
    FakeServer server(Always({500, R"({"error":"ORA-00942: tabela não existe"})"}));
    RestConnection connection(ParseServerUrl(server.Url()));
    TServerMethods1Client proxy(connection);
    try {
        proxy.ExecuteCloud("DELETE FROM X", "");
        FAIL() << "no error raised";
    } catch (const RestError& e) {
        EXPECT_EQ(e.ServerText(), "ORA-00942: tabela não existe");
        EXPECT_EQ(e.Status(), 500);
    }
}

TEST(Transport, UnreachableOrSilentServerGivesTransportError) {
    struct Case {
        const char* what;
        bool listening;
    };
    for (const Case c : {Case{"refused", false}, Case{"time-out", true}}) {
        SCOPED_TRACE(c.what);
        std::optional<FakeServer> server;
        ServerAddress address{"http", "127.0.0.1", 1, ""};
        if (c.listening) {
            server.emplace([](const testing::Received&, std::size_t) {
                std::this_thread::sleep_for(std::chrono::milliseconds(600));
                return Answer{200, R"({"result":[true]})"};
            });
            address.port = static_cast<std::uint16_t>(server->Port());
        } else {
            // Take a free port and let it go again: nobody listens there.
            FakeServer probe(Always({}));
            address.port = static_cast<std::uint16_t>(probe.Port());
        }
        RestConnection connection(address);
        connection.TimeoutMs = 100;
        TServerMethods1Client proxy(connection);
        try {
            proxy.EchoString("x");
            FAIL() << "no error raised";
        } catch (const TransportError& e) {
            EXPECT_EQ(e.Status(), 0);
            EXPECT_NE(std::string(e.what()).find("127.0.0.1"), std::string::npos) << e.what();
        }
    }
}

TEST(Transport, AnswerLargerThanTheLimitIsRefused) {
    FakeServer server(Always({200, R"({"result":[")" + std::string(4096, 'x') + R"("]})"}));
    RestConnection connection(ParseServerUrl(server.Url()));
    connection.MaxResponseBytes = 1024;
    TServerMethods1Client proxy(connection);
    EXPECT_THROW(proxy.EchoString("x"), TransportError);
    connection.MaxResponseBytes = 1 << 20;
    EXPECT_EQ(proxy.EchoString("x"), std::string(4096, 'x'));
}

TEST(Session, IdFromEveryAnswerIsSentBackAndHeadersAreThePlatforms) {
    FakeServer server([](const testing::Received&, std::size_t i) {
        Answer answer{200, R"({"result":["ok"]})"};
        if (i == 0) {
            answer.pragma = "dssession=111.222,dssessionexpires=1200000";
        } else if (i == 2) {
            answer.pragma = "dssession=333.444,dssessionexpires=1199000";
        }
        return answer;
    });
    RestConnection connection(ParseServerUrl(server.Url()));
    TServerMethods1Client proxy(connection);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(proxy.EchoString("é"), "ok");
    }
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].pragma, "");
    EXPECT_EQ(requests[1].pragma, "dssession=111.222");
    EXPECT_EQ(requests[2].pragma, "dssession=111.222");  // an answer without an id keeps the last one
    EXPECT_EQ(requests[3].pragma, "dssession=333.444");
    EXPECT_EQ(connection.SessionId(), "333.444");
    for (const auto& request : requests) {
        EXPECT_EQ(request.method, "GET");
        EXPECT_EQ(request.target, "/datasnap/rest/TServerMethods1/EchoString/%C3%A9/");
        EXPECT_EQ(request.accept, "application/JSON");
        EXPECT_EQ(request.contentType, "text/plain;charset=UTF-8");
        EXPECT_EQ(request.ifModifiedSince, "Mon, 1 Oct 1990 05:00:00 GMT");
    }
}

TEST(Session, ExpiredSessionIsDroppedAndTheCallRepeatedWithout) {
    FakeServer server([](const testing::Received& request, std::size_t) {
        if (request.pragma == "dssession=velha") {
            return Answer{403, R"({"SessionExpired":"Sessão expirada"})"};
        }
        return Answer{200, R"({"result":[true]})", "application/json", "dssession=nova,dssessionexpires=10"};
    });
    RestConnection connection(ParseServerUrl(server.Url()));
    connection.SetSessionId("velha");
    TServerMethods1Client proxy(connection);
    EXPECT_TRUE(proxy.ValidarCpf("123"));
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].pragma, "dssession=velha");
    EXPECT_EQ(requests[1].pragma, "");
    EXPECT_EQ(connection.SessionId(), "nova");
}

}  // namespace
}  // namespace kqz::cloud

namespace kqz::cloud {
namespace {

// A success answer's body reaches the callback in pieces and nowhere else;
// error answers are thrown without touching it; an expired session is
// repeated once; what the callback throws ends the call.
TEST(CallStreaming, BodyGoesToTheCallbackOnlyForSuccess) {
    const std::string big(300000, 'x');
    struct Case {
        const char* what;
        std::vector<Answer> answers;
        bool throwInSink;
        const char* error;  // nullptr: success
        std::string streamed;
        std::size_t requests;
    };
    const Case cases[] = {
        {"success",
         {{200, "{\"result\":[\"" + big + "\"]}"}},
         false,
         nullptr,
         "{\"result\":[\"" + big + "\"]}",
         1},
        {"server error", {{500, R"({"error":"tabela bloqueada"})"}}, false, "tabela bloqueada", "", 1},
        {"expired, then success",
         {{403, R"({"SessionExpired":"Sessão expirada"})"}, {200, R"({"result":[1]})"}},
         false,
         nullptr,
         R"({"result":[1]})",
         2},
        {"callback fails", {{200, "{\"result\":[\"" + big + "\"]}"}}, true, "leitor recusou", "", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FakeServer server([&c](const testing::Received&, std::size_t i) {
            return c.answers[std::min(i, c.answers.size() - 1)];
        });
        RestConnection connection(ParseServerUrl(server.Url()));
        RestRequest request;
        request.url = connection.MethodUrl("TServerMethods1.SelectCloud", {"SELECT 1"});
        std::string streamed;
        std::size_t pieces = 0;
        try {
            const RestReply reply = connection.CallStreaming(request, [&](std::string_view piece) {
                if (c.throwInSink)
                    throw std::runtime_error("leitor recusou");
                streamed.append(piece);
                ++pieces;
            });
            ASSERT_EQ(c.error, nullptr) << "no error raised";
            EXPECT_EQ(reply.status, 200);
            EXPECT_TRUE(reply.body.empty());
        } catch (const std::exception& e) {
            ASSERT_NE(c.error, nullptr) << e.what();
            EXPECT_NE(std::string(e.what()).find(c.error), std::string::npos) << e.what();
        }
        EXPECT_TRUE(streamed == c.streamed);
        if (c.streamed.size() > 100000) {
            EXPECT_GT(pieces, 1u);
        }
        EXPECT_EQ(server.Requests().size(), c.requests);
    }
}

}  // namespace
}  // namespace kqz::cloud
