// Dataset lists in method results: every layout a server may send, the body
// our server writes, and the streaming decode of big answers.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "cloud/codec/adbs.hpp"
#include "cloud/codec/dataset_list.hpp"
#include "cloud/codec/dataset_list_internal.hpp"
#include "codec_test_util.hpp"

namespace kqz::codec {
namespace {

using nlohmann::ordered_json;
using ::testing::HasSubstr;

// The stream every constructed fixture carries.
const std::string& ReferenceStream() {
    static const std::string bytes = testing::ReadFixture("constructed_fdbin_types.bin");
    return bytes;
}

ordered_json StrBufferBody() {
    return ordered_json::parse(testing::ReadFixture("constructed_rest_result_fdjsondatasets_strbuffer.json"));
}

// The strbuffer body with a second pair named `second` whose value refers back
// to the first pair's value string object (id 6).
std::string BodyWithRef(const std::string& second) {
    ordered_json body = StrBufferBody();
    ordered_json& members = body["result"][0]["fields"]["FDataSets"]["fields"]["FMembers"];
    ordered_json pair = members[0];
    pair["id"] = 8;
    pair["fields"]["FJsonString"]["id"] = 9;
    pair["fields"]["FJsonString"]["fields"]["FStrBuffer"]["id"] = 10;
    pair["fields"]["FJsonString"]["fields"]["FStrBuffer"]["fields"]["FData"] = second;
    pair["fields"]["FJsonValue"] = {{"type", "System.JSON.TJSONString"}, {"ref", 6}};
    members.push_back(pair);
    return body.dump();
}

// FValue holding a TStringBuilder object instead of a string.
std::string BodyWithBuilderInFValue() {
    ordered_json body =
        ordered_json::parse(testing::ReadFixture("constructed_rest_result_fdjsondatasets_fvalue.json"));
    ordered_json& value =
        body["result"][0]["fields"]["FDataSets"]["fields"]["FMembers"][0]["fields"]["FJsonValue"];
    const std::string data = value["fields"]["FValue"];
    value["fields"]["FValue"] = {{"type", "System.SysUtils.TStringBuilder"},
                                 {"id", 99},
                                 {"fields", {{"FData", data}, {"FLength", data.size()}}}};
    return body.dump();
}

struct BodyCase {
    const char* label;
    std::string body;
    bool listValue;                  // the text is a bare list value, not a response body
    std::vector<std::string> names;  // expected datasets (all carry the reference stream)
    bool null;
    friend void PrintTo(const BodyCase& c, std::ostream* os) { *os << c.label; }
};

std::vector<BodyCase> BodyCases() {
    return {
        {"Null", R"({"result":[null]})", false, {}, true},
        {"NullWithSpaces", "{ \"result\" : [ null ] }", false, {}, true},
        {"Plain", testing::ReadFixture("constructed_fdjsondatasets_plain.json"), true, {"qry"}, false},
        {"PlainInResult",
         "{\"result\":[" + testing::ReadFixture("constructed_fdjsondatasets_plain.json") + "]}",
         false,
         {"qry"},
         false},
        {"StrBuffer",
         testing::ReadFixture("constructed_rest_result_fdjsondatasets_strbuffer.json"),
         false,
         {"qry"},
         false},
        {"FValue",
         testing::ReadFixture("constructed_rest_result_fdjsondatasets_fvalue.json"),
         false,
         {"qry"},
         false},
        {"FValueBuilder", BodyWithBuilderInFValue(), false, {"qry"}, false},
        {"RefBackReference", BodyWithRef("c\xC3\xB3pia"), false, {"qry", "c\xC3\xB3pia"}, false},
        {"EscapedSlashes",
         std::regex_replace(StrBufferBody().dump(), std::regex("/"), "\\/"),
         false,
         {"qry"},
         false},
        {"BareArray", StrBufferBody()["result"].dump(), false, {"qry"}, false},
    };
}

class ResultBodies : public ::testing::TestWithParam<BodyCase> {};

TEST_P(ResultBodies, YieldTheListOrNothing) {
    const BodyCase& c = GetParam();
    const auto scanned = c.listValue ? ScanDataSetList(c.body) : ScanResultBody(c.body);
    const auto viaTree = ParseDataSetList(c.listValue ? nlohmann::json::parse(c.body)
                                          : nlohmann::json::parse(c.body).is_array()
                                              ? nlohmann::json::parse(c.body)[0]
                                              : nlohmann::json::parse(c.body)["result"][0]);
    if (c.null) {
        EXPECT_FALSE(scanned.has_value());
        EXPECT_FALSE(viaTree.has_value());
        return;
    }
    ASSERT_TRUE(scanned.has_value());
    ASSERT_TRUE(viaTree.has_value());
    ASSERT_EQ(scanned->size(), c.names.size());
    ASSERT_EQ(viaTree->size(), c.names.size());
    const Dataset reference = ReadAdbs(ReferenceStream());
    for (std::size_t i = 0; i < c.names.size(); ++i) {
        EXPECT_EQ((*scanned)[i].name, c.names[i]);
        EXPECT_EQ(InflateDataSet((*scanned)[i]), ReferenceStream());
        const Dataset ds = DecodeDataSet((*scanned)[i]);
        EXPECT_EQ(ds.rows, reference.rows);
        EXPECT_EQ(ds.columns, reference.columns);
        EXPECT_EQ((*viaTree)[i].adbs, ReferenceStream());
    }
    if (!c.listValue) {
        const auto parsed = ParseResultBody(c.body);
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(parsed->front().adbs, ReferenceStream());
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, ResultBodies, ::testing::ValuesIn(BodyCases()),
                         [](const auto& p) { return std::string(p.param.label); });

// What `kqz decode` reads: a saved body or a bare list value, told apart.
TEST(ScanDataSetJson, TellsBodiesFromBareLists) {
    const std::string bareText = testing::ReadFixture("constructed_fdjsondatasets_plain.json");
    const std::string bodyText = testing::ReadFixture("constructed_rest_result_fdjsondatasets_fvalue.json");
    const auto bare = ScanDataSetJson(bareText);  // the datasets point into the texts
    const auto body = ScanDataSetJson(bodyText);
    ASSERT_TRUE(bare && body);
    ASSERT_EQ(bare->size(), 1u);
    ASSERT_EQ(body->size(), 1u);
    EXPECT_EQ(InflateDataSet(bare->front()), ReferenceStream());
    EXPECT_EQ(InflateDataSet(body->front()), ReferenceStream());
    EXPECT_FALSE(ScanDataSetJson(kNullResultBody).has_value());
    EXPECT_FALSE(ScanDataSetJson("null").has_value());
    try {
        ScanDataSetJson(R"({"error":"Falha no banco"})");
        FAIL() << "no error";
    } catch (const CodecError& e) {
        EXPECT_THAT(e.what(), HasSubstr("Falha no banco"));
    }
}

// Datasets of a plain object come in the order they were sent.
TEST(ParseDataSetList, PlainObjectKeepsTheOrderSent) {
    const std::string b64 =
        ordered_json::parse(testing::ReadFixture("constructed_fdjsondatasets_plain.json"))["qry"];
    const std::string text = ordered_json{{"zeta", b64}, {"alfa", b64}}.dump();
    const auto scanned = ScanDataSetList(text);
    const auto parsed = ParseDataSetList(ordered_json::parse(text));
    ASSERT_TRUE(scanned && parsed);
    ASSERT_EQ(scanned->size(), 2u);
    ASSERT_EQ(parsed->size(), 2u);
    EXPECT_EQ((*scanned)[0].name, "zeta");
    EXPECT_EQ((*parsed)[0].name, "zeta");
    EXPECT_EQ((*parsed)[1].name, "alfa");
    EXPECT_EQ((*parsed)[1].adbs, ReferenceStream());
}

struct BadBodyCase {
    const char* label;
    std::string body;
    const char* message;
    friend void PrintTo(const BadBodyCase& c, std::ostream* os) { *os << c.label; }
};

std::string Mutated(const std::function<void(ordered_json&)>& change) {
    ordered_json body = StrBufferBody();
    change(body);
    return body.dump();
}

ordered_json& FirstPair(ordered_json& body) {
    return body["result"][0]["fields"]["FDataSets"]["fields"]["FMembers"][0];
}

class BadBodies : public ::testing::TestWithParam<BadBodyCase> {};

TEST_P(BadBodies, GiveAClearError) {
    const BadBodyCase& c = GetParam();
    try {
        const auto list = ScanResultBody(c.body);
        if (list) {
            for (const auto& ds : *list)
                DecodeDataSet(ds);
        }
        FAIL() << "no error";
    } catch (const CodecError& e) {
        EXPECT_THAT(e.what(), HasSubstr(c.message));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Errors, BadBodies,
    ::testing::Values(
        BadBodyCase{"ServerError", R"({"error":"Tabela KQZ_SAD inexistente"})", "Tabela KQZ_SAD inexistente"},
        BadBodyCase{"SessionExpired", R"({"SessionExpired":"Sessão expirou"})", "Sessão expirou"},
        BadBodyCase{"NotJson", "<html>502 Bad Gateway</html>", "JSON inválida"},
        BadBodyCase{"Truncated", StrBufferBody().dump().substr(0, 900), "JSON inválida"},
        BadBodyCase{"NoElement", R"({"result":[]})", "elemento 0"},
        BadBodyCase{"NotAList", R"({"result":[42]})", "lista de datasets inválida"},
        BadBodyCase{"OtherType",
                    Mutated([](ordered_json& b) { b["result"][0]["type"] = "System.JSON.TJSONObject"; }),
                    "TJSONObject"},
        BadBodyCase{"MissingMembers", Mutated([](ordered_json& b) {
                        b["result"][0]["fields"]["FDataSets"]["fields"].erase("FMembers");
                    }),
                    "FMembers"},
        BadBodyCase{
            "DanglingRef", Mutated([](ordered_json& b) {
                FirstPair(b)["fields"]["FJsonValue"] = {{"type", "System.JSON.TJSONString"}, {"ref", 77}};
            }),
            "77"},
        BadBodyCase{"DuplicateId",
                    Mutated([](ordered_json& b) { FirstPair(b)["fields"]["FJsonValue"]["id"] = 4; }),
                    "repetido"},
        BadBodyCase{"Base64Garbage", Mutated([](ordered_json& b) {
                        std::string& d =
                            FirstPair(b)["fields"]["FJsonValue"]["fields"]["FStrBuffer"]["fields"]["FData"]
                                .get_ref<std::string&>();
                        d[100] = '*';
                    }),
                    "'*'"},
        BadBodyCase{"WrongChecksum", Mutated([](ordered_json& b) {
                        std::string& d =
                            FirstPair(b)["fields"]["FJsonValue"]["fields"]["FStrBuffer"]["fields"]["FData"]
                                .get_ref<std::string&>();
                        // The last group ("x?==") holds the Adler-32's last byte: change its top bits.
                        d[d.size() - 4] = d[d.size() - 4] == 'A' ? 'B' : 'A';
                    }),
                    "Adler-32"}),
    [](const auto& p) { return std::string(p.param.label); });

Dataset SampleTable(std::size_t rows, std::size_t memoSize) {
    Dataset ds;
    ds.name = "qry";
    ds.columns = {Column{"AD_CNPJ", DataType::WideString, 14}, Column{"AD_XML", DataType::WideMemo},
                  Column{"X_NUMERO", DataType::Int32}};
    for (std::size_t i = 0; i < rows; ++i) {
        std::string xml = "<CFe><n>" + std::to_string(i) + "</n><obs>a\xC3\xA7\xC3\xA3o</obs>";
        while (xml.size() < memoSize)
            xml += "<det nItem=\"" + std::to_string(xml.size() * 7919 % 1000) + "\"/>";
        ds.rows.push_back(Row{std::string("12345678000199"), xml, std::int64_t(i)});
    }
    return ds;
}

// The body our server writes: the marshalled FStrBuffer layout with ids
// depth-first from 1, and datasets that decode back to the tables written.
TEST(WriteResultBody, MarshalledLayoutAndRoundTrip) {
    const Dataset a = SampleTable(3, 100);
    Dataset b = ReadAdbs(ReferenceStream());
    const std::string body = WriteResultBody({{"qry", &a}, {"s\xC3\xA9rie", &b}}, WriteOptions{6, 1});

    const auto doc = nlohmann::json::parse(body);
    const auto& root = doc.at("result").at(0);
    EXPECT_EQ(root.at("type"), "Data.FireDACJSONReflect.TFDJSONDataSets");
    EXPECT_EQ(root.at("id"), 1);
    const auto& object = root.at("fields").at("FDataSets");
    EXPECT_EQ(object.at("type"), "System.JSON.TJSONObject");
    EXPECT_EQ(object.at("id"), 2);
    EXPECT_EQ(object.at("fields").at("FOwned"), true);
    const auto& members = object.at("fields").at("FMembers");
    ASSERT_EQ(members.size(), 2u);
    int expectedId = 3;
    for (const auto& pair : members) {
        EXPECT_EQ(pair.at("type"), "System.JSON.TJSONPair");
        EXPECT_EQ(pair.at("id"), expectedId++);
        EXPECT_EQ(pair.at("fields").at("FOwned"), true);
        for (const char* field : {"FJsonString", "FJsonValue"}) {
            const auto& str = pair.at("fields").at(field);
            EXPECT_EQ(str.at("type"), "System.JSON.TJSONString");
            EXPECT_EQ(str.at("id"), expectedId++);
            EXPECT_EQ(str.at("fields").at("FOwned"), true);
            const auto& builder = str.at("fields").at("FStrBuffer");
            EXPECT_EQ(builder.at("type"), "System.SysUtils.TStringBuilder");
            EXPECT_EQ(builder.at("id"), expectedId++);
            const auto& f = builder.at("fields");
            EXPECT_EQ(f.at("FMaxCapacity"), 2147483647);
            const std::string data = f.at("FData");
            std::size_t units = 0;
            for (const char ch : data)
                units += (static_cast<unsigned char>(ch) & 0xC0) != 0x80 ? 1 : 0;
            EXPECT_EQ(f.at("FLength"), units) << field;
        }
        // Base64 in lines of 76 characters joined by CR LF.
        const std::string data =
            pair.at("fields").at("FJsonValue").at("fields").at("FStrBuffer").at("fields").at("FData");
        std::size_t start = 0;
        for (std::size_t end = data.find("\r\n"); end != std::string::npos; end = data.find("\r\n", start)) {
            EXPECT_EQ(end - start, 76u);
            start = end + 2;
        }
        EXPECT_LE(data.size() - start, 76u);
        EXPECT_GT(data.size() - start, 0u);
    }
    EXPECT_EQ(
        members[1].at("fields").at("FJsonString").at("fields").at("FStrBuffer").at("fields").at("FData"),
        "s\xC3\xA9rie");

    const auto list = ScanResultBody(body);
    ASSERT_TRUE(list.has_value());
    ASSERT_EQ(list->size(), 2u);
    EXPECT_EQ((*list)[0].name, "qry");
    EXPECT_EQ((*list)[1].name, "s\xC3\xA9rie");
    EXPECT_EQ(DecodeDataSet((*list)[0]).rows, a.rows);
    EXPECT_EQ(InflateDataSet((*list)[1]), WriteAdbs(b));
    EXPECT_EQ(WriteMarshalledDataSets({{"qry", &a}}, WriteOptions{6, 1}),
              ordered_json::parse(WriteResultBody({{"qry", &a}}, WriteOptions{6, 1}))["result"][0].dump());
}

// Big answers: deflated on several threads in blocks, decoded while inflating
// (two passes) and handed over row by row; all give the table written.
TEST(WriteResultBody, BigTableOnSeveralThreadsDecodesInBothModes) {
    const Dataset table = SampleTable(700, 5000);  // about 7 MB of UTF-16: several deflate blocks
    const std::string body = WriteResultBody({{"qry", &table}}, WriteOptions{1, 2});
    const auto list = ScanResultBody(body);
    ASSERT_TRUE(list.has_value());
    ASSERT_EQ(list->size(), 1u);
    EXPECT_EQ(InflateDataSet(list->front()), WriteAdbs(table));

    struct Rows : AdbsVisitor {
        std::vector<Row> rows;
        std::size_t columns = 0;
        bool ended = false;
        void OnTable(const Dataset& h) override { columns = h.columns.size(); }
        void OnRow(Row& row) override { rows.push_back(std::move(row)); }
        void OnEnd(const Dataset&) override { ended = true; }
    };
    for (const std::uint64_t onePass : {detail::kOnePassLimit, std::uint64_t{0}}) {
        SCOPED_TRACE(onePass == 0 ? "two passes" : "one pass");
        Rows rows;
        detail::DecodeDataSetWith(list->front(), rows, kDefaultInflateLimit, onePass);
        EXPECT_EQ(rows.columns, 3u);
        EXPECT_TRUE(rows.ended);
        EXPECT_EQ(rows.rows, table.rows);
    }
}

TEST(DecodeDataSet, StopsAtTheInflateLimit) {
    const Dataset table = SampleTable(50, 2000);
    const std::string body = WriteResultBody({{"qry", &table}});
    const auto list = ScanResultBody(body);
    ASSERT_TRUE(list.has_value());
    try {
        DecodeDataSet(list->front(), 10000);
        FAIL() << "no error";
    } catch (const CodecError& e) {
        EXPECT_THAT(e.what(), HasSubstr("limite de 10000"));
        EXPECT_THAT(e.what(), HasSubstr("\"qry\""));
    }
}

TEST(WriteResultBody, NilListAndEmptyList) {
    EXPECT_FALSE(ScanResultBody(kNullResultBody).has_value());
    const auto empty = ScanResultBody(WriteResultBody({}));
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->empty());
}

}  // namespace
}  // namespace kqz::codec
