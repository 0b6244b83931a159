#include "cloud/server_methods.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "cloud/codec/dataset_list.hpp"
#include "tests/cloud/fake_server.hpp"
#include "tests/cloud/test_tables.hpp"

namespace kqz::cloud {
namespace {

using testing::Answer;
using testing::FakeServer;
using testing::Received;
using Field = TServerMethods1Client::CommandField;

// Answers like the application server: the cache form with a reference, a
// dataset list for the list methods (one row: the request's number), a
// Boolean or a text for the others.
Answer ServerLike(const Received& request, std::size_t index) {
    if (request.target.rfind("/datasnap/cache/", 0) == 0) {
        return {200,
                testing::ListBody(testing::TextTable({"ORIGEM"}, {{"cache " + request.target.substr(16)}}))};
    }
    if (request.accept == "application/rest") {
        return {200, R"({"result":["0/0/0"],"cacheId":0,"cmdIndex":0})"};
    }
    for (const char* method :
         {"RetornaGrid", "IncluirPedido", "RetornaCapaPedidoCliente", "RetornaEndereco", "SelectCloud"}) {
        if (request.target.find(method) != std::string::npos) {
            return {200, testing::ListBody(testing::TextTable({"N"}, {{std::to_string(index)}}))};
        }
    }
    for (const char* method : {"ValidarCpf", "ValidaCNPJ", "ExecuteCloud", "UpdateImagem"}) {
        if (request.target.find(method) != std::string::npos) {
            return {200, R"({"result":[true]})"};
        }
    }
    if (request.target.find("AtualizarValidade") != std::string::npos) {
        return {200, R"({"result":[]})"};
    }
    return {200, R"({"result":["eco"]})"};
}

std::string Summary(const DataSetsPtr& list) {
    if (!list) {
        return "nil";
    }
    std::string text = "list";
    for (std::size_t i = 0; i < list->Count(); ++i) {
        text += " " + list->Name(i) + ":" + std::to_string(list->DataSet(i).rows.size());
    }
    return text;
}

TEST(TServerMethods1Client, EveryMethodSendsItsRequestAndReadsItsResult) {
    struct Case {
        Field field;
        std::function<std::string(TServerMethods1Client&)> call;
        std::string result;
        std::string method;
        std::string target;
        std::string accept;
    };
    const std::string rest = "/datasnap/rest/TServerMethods1/";
    const std::string json = "application/JSON";
    const std::string cache = "application/rest";
    auto ref = [](const IDSRestCachedTFDJSONDataSetsPtr& h) { return "ref " + h->CacheReference(); };
    const std::vector<Case> cases = {
        {Field::EchoString, [](auto& p) { return p.EchoString("olá mundo"); }, "eco", "GET",
         rest + "EchoString/ol%C3%A1%20mundo/", json},
        {Field::ReverseString, [](auto& p) { return p.ReverseString("abc"); }, "eco", "GET",
         rest + "ReverseString/abc/", json},
        {Field::RetornaGrid, [](auto& p) { return Summary(p.RetornaGrid("T", "C", "", "1", "E")); },
         "list qry:1", "GET", rest + "RetornaGrid/T/C//1/E/", json},
        {Field::RetornaGrid_Cache, [&](auto& p) { return ref(p.RetornaGrid_Cache("T", "C", "x", "1", "E")); },
         "ref 0/0/0", "GET", rest + "RetornaGrid/T/C/x/1/E/", cache},
        {Field::RetornaCapaPedidoCliente,
         [](auto& p) { return Summary(p.RetornaCapaPedidoCliente("E1", "IMEI")); }, "list qry:1", "GET",
         rest + "RetornaCapaPedidoCliente/E1/IMEI/", json},
        {Field::RetornaCapaPedidoCliente_Cache,
         [&](auto& p) { return ref(p.RetornaCapaPedidoCliente_Cache("E1", "IMEI")); }, "ref 0/0/0", "GET",
         rest + "RetornaCapaPedidoCliente/E1/IMEI/", cache},
        {Field::AtualizarValidade,
         [](auto& p) {
             p.AtualizarValidade("7", "31/01/2024");
             return std::string("done");
         },
         "done", "GET", rest + "AtualizarValidade/7/31%2F01%2F2024/", json},
        {Field::RetornaEndereco, [](auto& p) { return Summary(p.RetornaEndereco("E1", "01001-000")); },
         "list qry:1", "GET", rest + "RetornaEndereco/E1/01001-000/", json},
        {Field::RetornaEndereco_Cache,
         [&](auto& p) { return ref(p.RetornaEndereco_Cache("E1", "01001-000")); }, "ref 0/0/0", "GET",
         rest + "RetornaEndereco/E1/01001-000/", cache},
        {Field::ValidarCpf, [](auto& p) { return p.ValidarCpf("123") ? "true" : "false"; }, "true", "GET",
         rest + "ValidarCpf/123/", json},
        {Field::ValidaCNPJ, [](auto& p) { return p.ValidaCNPJ("456", "ss.c=1") ? "true" : "false"; }, "true",
         "GET", rest + "ValidaCNPJ/456/?ss.c=1", json},
        {Field::SelectCloud, [](auto& p) { return Summary(p.SelectCloud("SELECT 1")); }, "list qry:1", "GET",
         rest + "SelectCloud/SELECT%201/", json},
        {Field::SelectCloud_Cache, [&](auto& p) { return ref(p.SelectCloud_Cache("SELECT 1")); }, "ref 0/0/0",
         "GET", rest + "SelectCloud/SELECT%201/", cache},
        {Field::ExecuteCloud, [](auto& p) { return p.ExecuteCloud("DELETE") ? "true" : "false"; }, "true",
         "GET", rest + "ExecuteCloud/DELETE/", json},
        {Field::IncluirPedido,
         [](auto& p) {
             std::unique_ptr<TFDJSONDataSets> none;
             return Summary(p.IncluirPedido(none));
         },
         "list qry:1", "POST", rest + "%22IncluirPedido%22/", json},
        {Field::IncluirPedido_Cache,
         [&](auto& p) {
             std::unique_ptr<TFDJSONDataSets> none;
             return ref(p.IncluirPedido_Cache(none));
         },
         "ref 0/0/0", "POST", rest + "%22IncluirPedido%22/", cache},
        {Field::UpdateImagem,
         [](auto& p) {
             auto object = std::make_unique<TJSONObject>(TJSONObject{{"a", 1}});
             return p.UpdateImagem(object, "E1", "logo") ? "true" : "false";
         },
         "true", "POST", rest + "%22UpdateImagem%22/", json},
    };
    FakeServer server(ServerLike);
    RestConnection connection(ParseServerUrl(server.Url()));
    TServerMethods1Client proxy(connection);
    for (std::size_t i = 0; i < TServerMethods1Client::kCommandCount; ++i) {
        EXPECT_EQ(proxy.Command(static_cast<Field>(i)), nullptr)
            << "command " << i << " made before its call";
    }
    std::set<const RestCommand*> commands;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const auto& c = cases[i];
        SCOPED_TRACE(c.target);
        EXPECT_EQ(c.call(proxy), c.result);
        const auto requests = server.Requests();
        ASSERT_EQ(requests.size(), i + 1);
        EXPECT_EQ(requests.back().method, c.method);
        EXPECT_EQ(requests.back().target, c.target);
        EXPECT_EQ(requests.back().accept, c.accept);
        const RestCommand* command = proxy.Command(c.field);
        ASSERT_NE(command, nullptr);
        EXPECT_EQ(command->ExecutionCount(), 1u);
        commands.insert(command);
    }
    // A _Cache variant and its base method keep separate commands: 17 in all.
    EXPECT_EQ(commands.size(), TServerMethods1Client::kCommandCount);
}

TEST(TServerMethods1Client, SecondCallReusesTheCommandAndFreesTheFirstList) {
    FakeServer server(ServerLike);
    RestConnection connection(ParseServerUrl(server.Url()));
    TServerMethods1Client proxy(connection);
    DataSetsPtr first = proxy.SelectCloud("SELECT 1");
    ASSERT_NE(first, nullptr);
    const RestCommand* command = proxy.Command(Field::SelectCloud);
    ASSERT_NE(command, nullptr);
    EXPECT_TRUE(command->Owns(first.get()));
    EXPECT_FALSE(first.get_deleter().owns);
    const TFDJSONDataSets* firstRaw = first.get();
    first.reset();  // the caller's pointer does not free the command's list
    EXPECT_TRUE(command->Owns(firstRaw));

    DataSetsPtr second = proxy.SelectCloud("SELECT 2");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(proxy.Command(Field::SelectCloud), command);
    EXPECT_EQ(command->ExecutionCount(), 2u);
    EXPECT_FALSE(command->Owns(firstRaw));
    EXPECT_TRUE(command->Owns(second.get()));
    EXPECT_EQ(command->OwnedCount(), 1u);
    EXPECT_EQ(std::get<std::string>(second->DataSet(0).rows[0][0]), "1");
    EXPECT_EQ(server.Requests().back().target, "/datasnap/rest/TServerMethods1/SelectCloud/SELECT%202/");
}

TEST(TServerMethods1Client, NonOwningProxyHandsListsOver) {
    FakeServer server(ServerLike);
    RestConnection connection(ParseServerUrl(server.Url()));
    TServerMethods1Client proxy(connection, false);
    DataSetsPtr list = proxy.RetornaEndereco("E", "C");
    ASSERT_NE(list, nullptr);
    EXPECT_TRUE(list.get_deleter().owns);
    EXPECT_EQ(proxy.Command(Field::RetornaEndereco)->OwnedCount(), 0u);
}

TEST(TServerMethods1Client, NullListGivesNoObject) {
    FakeServer server(testing::Always({200, R"({"result":[null]})"}));
    RestConnection connection(ParseServerUrl(server.Url()));
    for (bool owner : {true, false}) {
        TServerMethods1Client proxy(connection, owner);
        EXPECT_EQ(proxy.SelectCloud("SELECT 1"), nullptr);
        EXPECT_EQ(proxy.Command(Field::SelectCloud)->OwnedCount(), 0u);
    }
}

TEST(TServerMethods1Client, IncluirPedidoSendsTheListAndTakesItOnlyWhenOwner) {
    struct Case {
        bool owner;
        bool withList;
        bool callerKeepsList;
    };
    for (const Case c : {Case{true, true, false}, Case{false, true, true}, Case{true, false, false}}) {
        SCOPED_TRACE(std::string("owner ") + (c.owner ? "yes" : "no") + ", list " +
                     (c.withList ? "yes" : "no"));
        FakeServer server(ServerLike);
        RestConnection connection(ParseServerUrl(server.Url()));
        TServerMethods1Client proxy(connection, c.owner);
        std::unique_ptr<TFDJSONDataSets> pedido;
        if (c.withList) {
            pedido = std::make_unique<TFDJSONDataSets>();
            pedido->Add("itens", testing::TextTable({"ITEM", "QTD"}, {{"café", "2"}, {"pão", "\\N"}}));
        }
        proxy.IncluirPedido(pedido);
        EXPECT_EQ(pedido != nullptr, c.callerKeepsList);

        const auto requests = server.Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].method, "POST");
        EXPECT_EQ(requests[0].contentType, "text/plain;charset=UTF-8");
        const auto sent = codec::ParseDataSetList(nlohmann::json::parse(requests[0].body));
        if (!c.withList) {
            EXPECT_FALSE(sent.has_value());
            continue;
        }
        ASSERT_TRUE(sent.has_value());
        ASSERT_EQ(sent->size(), 1u);
        EXPECT_EQ((*sent)[0].name, "itens");
        const codec::Dataset table = codec::ReadAdbs((*sent)[0].adbs);
        ASSERT_EQ(table.rows.size(), 2u);
        EXPECT_EQ(std::get<std::string>(table.rows[0][0]), "café");
        EXPECT_TRUE(std::holds_alternative<std::monostate>(table.rows[1][1]));
    }
}

TEST(TServerMethods1Client, UpdateImagemPutsEveryParameterInTheBody) {
    for (bool owner : {true, false}) {
        SCOPED_TRACE(owner ? "owner" : "not owner");
        FakeServer server(ServerLike);
        RestConnection connection(ParseServerUrl(server.Url()));
        TServerMethods1Client proxy(connection, owner);
        auto image = std::make_unique<TJSONObject>(TJSONObject{{"png", "iVBOR"}});
        EXPECT_TRUE(proxy.UpdateImagem(image, "Empresa 1", "logo"));
        EXPECT_EQ(image == nullptr, owner);
        const auto requests = server.Requests();
        ASSERT_EQ(requests.size(), 1u);
        EXPECT_EQ(requests[0].target, "/datasnap/rest/TServerMethods1/%22UpdateImagem%22/");
        EXPECT_EQ(nlohmann::json::parse(requests[0].body),
                  nlohmann::json::parse(R"({"_parameters":[{"png":"iVBOR"},"Empresa 1","logo"]})"));
    }
}

TEST(TDSRestCachedTFDJSONDataSets, FetchesTheCachedListOnTheConnection) {
    FakeServer server(ServerLike);
    RestConnection connection(ParseServerUrl(server.Url()));
    TServerMethods1Client proxy(connection);
    IDSRestCachedTFDJSONDataSetsPtr handle = proxy.SelectCloud_Cache("SELECT 1");
    ASSERT_NE(handle, nullptr);
    for (bool owns : {true, false}) {
        DataSetsPtr list = handle->GetValue(connection, owns);
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(list.get_deleter().owns, !owns);
        ASSERT_EQ(list->Count(), 1u);
        EXPECT_EQ(std::get<std::string>(list->DataSet(0).rows[0][0]), "cache 0/0/0");
    }
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[1].target, "/datasnap/cache/0/0/0");
    EXPECT_EQ(requests[1].accept, "application/JSON");
}

}  // namespace
}  // namespace kqz::cloud
