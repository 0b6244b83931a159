// Answer bodies decoded while they arrive: whatever the pieces, the rows are
// those of the whole-body decoder, for our server's bodies, the layouts a
// FireDAC server sends and the real FireDAC streams (dictionary at the end);
// bad bodies give clear errors.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "cloud/codec/adbs.hpp"
#include "cloud/codec/base64.hpp"
#include "cloud/codec/body_decoder.hpp"
#include "cloud/codec/dataset_list.hpp"
#include "cloud/codec/zlib.hpp"
#include "codec_test_util.hpp"

namespace kqz::codec {
namespace {

using ::testing::HasSubstr;

struct Collected : AdbsVisitor {
    std::vector<Column> columns;
    std::vector<Row> rows;
    int tables = 0;
    int ends = 0;
    void OnTable(const Dataset& h) override {
        ++tables;
        columns = h.columns;
    }
    void OnRow(Row& row) override { rows.push_back(std::move(row)); }
    void OnEnd(const Dataset&) override { ++ends; }
};

Collected Stream(const std::string& body, std::size_t piece, std::uint64_t* spooled = nullptr) {
    StreamingBodyDecoder decoder;
    for (std::size_t at = 0; at < body.size(); at += piece)
        decoder.Feed(std::string_view(body).substr(at, piece));
    Collected c;
    decoder.Finish(c);
    EXPECT_EQ(decoder.BodyBytes(), body.size());
    if (spooled != nullptr)
        *spooled = decoder.SpooledBytes();
    return c;
}

// A body in the plain-object layout around a given FireDAC stream.
std::string PlainBody(const std::string& adbs, const std::string& name = "qry") {
    return "{\"result\":[{\"" + name + "\":\"" + Base64Encode(ZlibCompress(adbs), false) + "\"}]}";
}

Dataset Wide(std::size_t rows, std::size_t chars, std::uint32_t seed) {
    Dataset ds;
    ds.name = "Query";
    Column id;
    id.name = "ID";
    id.type = DataType::Int32;
    Column text;
    text.name = "TEXTO";
    text.type = DataType::WideMemo;
    ds.columns = {id, text};
    std::mt19937 rng(seed);
    for (std::size_t r = 0; r < rows; ++r) {
        std::string s;
        for (std::size_t k = 0; k < chars; ++k)
            s.push_back(static_cast<char>('!' + rng() % 90));
        s += "\xC3\xA7\xE2\x82\xAC";
        ds.rows.push_back({static_cast<std::int64_t>(r), std::move(s)});
    }
    return ds;
}

TEST(StreamingBodyDecoder, SameRowsAsTheWholeBodyDecoder) {
    struct Case {
        std::string name;
        std::string body;
    };
    std::vector<Case> cases;
    cases.push_back(
        {"StrBuffer", testing::ReadFixture("constructed_rest_result_fdjsondatasets_strbuffer.json")});
    cases.push_back({"FValue", testing::ReadFixture("constructed_rest_result_fdjsondatasets_fvalue.json")});
    for (const char* real : {"fdbin_memtable_date_double.bin", "fdbin_memtable_int32_widestring.bin",
                             "fdbin_memtable_meta_autoinc_memo.bin", "constructed_fdbin_types.bin"}) {
        cases.push_back({real, PlainBody(testing::ReadFixture(real))});
    }
    const Dataset many = Wide(3000, 300, 1);
    cases.push_back({"OurServerManyRows", WriteResultBody({{"Query", &many}}, WriteOptions{1, 2})});
    Dataset empty = Wide(0, 0, 1);
    cases.push_back({"OurServerEmpty", WriteResultBody({{"Query", &empty}}, WriteOptions{1, 1})});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto list = ScanResultBody(c.body);
        ASSERT_TRUE(list);
        const Dataset expected = DecodeDataSet(list->front());
        for (const std::size_t piece : {std::size_t{1}, std::size_t{77}, std::size_t{65536}, c.body.size()}) {
            if (piece == 1 && c.body.size() > 200000)
                continue;
            SCOPED_TRACE("pieces of " + std::to_string(piece));
            const Collected got = Stream(c.body, piece);
            EXPECT_EQ(got.tables, 1);
            EXPECT_EQ(got.ends, 1);
            EXPECT_EQ(got.columns, expected.columns);
            EXPECT_EQ(got.rows, expected.rows);
        }
    }
}

// More than 8 MB of compressed stream goes through the temporary file.
TEST(StreamingBodyDecoder, BigAnswerGoesThroughTheTemporaryFile) {
    const Dataset table = Wide(200, 60000, 2);  // random text: about 9 MB deflated
    const std::string body = WriteResultBody({{"Query", &table}}, WriteOptions{1, 2});
    std::uint64_t spooled = 0;
    const Collected got = Stream(body, 1 << 20, &spooled);
    EXPECT_GT(spooled, std::uint64_t{8} << 20);
    EXPECT_EQ(got.rows, table.rows);
}

TEST(StreamingBodyDecoder, BadBodiesGiveClearErrors) {
    const std::string good = PlainBody(testing::ReadFixture("fdbin_memtable_int32_widestring.bin"));
    const std::string text = good.substr(good.find(":\"") + 2, good.rfind('"') - good.find(":\"") - 2);
    std::string corrupt = good;
    corrupt[good.find(":\"") + 2 + text.size() / 2] = '#';
    std::string badAdler = PlainBody(testing::ReadFixture("fdbin_memtable_int32_widestring.bin"));
    {
        std::string z = ZlibCompress(testing::ReadFixture("fdbin_memtable_int32_widestring.bin"));
        z.back() = static_cast<char>(z.back() ^ 1);
        badAdler = "{\"result\":[{\"qry\":\"" + Base64Encode(z, false) + "\"}]}";
    }
    const std::string longError = std::string(600, 'x');
    const struct {
        const char* name;
        std::string body;
        const char* message;
    } cases[] = {
        {"ServerError", "{\"error\":\"tabela bloqueada: " + longError + "\"}", "tabela bloqueada"},
        {"NullList", std::string(kNullResultBody), "nenhuma lista de dados"},
        {"TwoDatasets", "{\"result\":[{\"a\":\"" + text + "\",\"b\":\"" + text + "\"}]}",
         "esperava exatamente um"},
        {"CorruptBase64", corrupt, "base64 inválido"},
        {"WrongChecksum", badAdler, "Adler-32"},
        {"TruncatedStream", "{\"result\":[{\"qry\":\"" + text.substr(0, text.size() / 2 / 4 * 4) + "\"}]}",
         "truncado"},
        {"BodyEndsInText", good.substr(0, good.size() / 2), "termina dentro de um texto"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        try {
            Stream(c.body, 100);
            FAIL() << "no error";
        } catch (const CodecError& e) {
            EXPECT_THAT(e.what(), HasSubstr(c.message));
        }
    }
}

}  // namespace
}  // namespace kqz::codec
