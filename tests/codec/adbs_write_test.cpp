// Encoding FireDAC streams: the bytes of real streams, every column type the
// server uses through writer and reader, and values the format cannot carry.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cloud/codec/adbs.hpp"
#include "codec_test_util.hpp"

namespace kqz::codec {
namespace {

using testing::At;
using testing::Day;
using ::testing::HasSubstr;

// Re-encoding a stream from its decoded values gives FireDAC's own bytes
// (header bytes 6-7 are uninitialised padding in FireDAC's output).
class ReencodeStream : public ::testing::TestWithParam<const char*> {};

TEST_P(ReencodeStream, ReproducesTheBytes) {
    const std::string original = testing::ReadFixture(GetParam());
    const std::string written = WriteAdbs(ReadAdbs(original));
    ASSERT_EQ(written.size(), original.size());
    for (std::size_t i = 0; i < original.size(); ++i) {
        if (i == 6 || i == 7)
            continue;
        ASSERT_EQ(static_cast<unsigned char>(written[i]), static_cast<unsigned char>(original[i]))
            << "byte " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(RealStreams, ReencodeStream,
                         ::testing::Values("fdbin_memtable_int32_widestring.bin",
                                           "fdbin_memtable_date_double.bin", "constructed_fdbin_types.bin"));

struct TypeCase {
    const char* label;
    Column column;
    std::vector<Value> written;
    std::vector<Value> read;  // what comes back (empty: the same)
    friend void PrintTo(const TypeCase& c, std::ostream* os) { *os << c.label; }
};

const std::vector<TypeCase>& TypeCases() {
    const std::string accents = "S\xC3\xA3o Jo\xC3\xA3o \xE2\x82\xAC";  // "São João €"
    static const std::vector<TypeCase> cases = {
        {"Int32",
         {"AD_ID", DataType::Int32},
         {std::int64_t{0}, std::int64_t{-2147483647 - 1}, std::int64_t{2147483647}, std::monostate{}},
         {}},
        {"Int64",
         {"AD_BIG", DataType::Int64},
         {std::int64_t{INT64_MIN}, std::int64_t{INT64_MAX}, std::int64_t{-1}, std::monostate{}},
         {}},
        {"SmallIntegers",
         {"AD_SMALL", DataType::Int16},
         {std::int64_t{-32768}, std::uint64_t{32767}, std::monostate{}, std::int64_t{5}},
         {std::int64_t{-32768}, std::int64_t{32767}, std::monostate{}, std::int64_t{5}}},
        {"UInt64",
         {"AD_U", DataType::UInt64},
         {std::uint64_t{UINT64_MAX}, std::int64_t{7}},
         {std::uint64_t{UINT64_MAX}, std::uint64_t{7}}},
        {"WideString",
         {"AD_NOME", DataType::WideString, 12},
         {std::string(""), accents, std::string("\xF0\x9F\x98\x80 emoji"), std::monostate{}},
         {}},
        {"WideMemo",
         {"AD_XML", DataType::WideMemo},
         {std::string("<CFe>\r\n\t<x>\xC3\xA7</x></CFe>"), std::string(""), std::monostate{},
          std::string(70000, 'x')},
         {}},
        {"AnsiString",
         {"AD_OBS", DataType::AnsiString, 20},
         {accents, std::string(""), std::monostate{}},
         {}},
        {"Memo",
         {"AD_MEMO", DataType::Memo},
         {std::string("\xE2\x80\x9C"
                      "cita\xC3\xA7\xC3\xA3o\xE2\x80\x9D"),
          std::monostate{}},
         {}},
        {"FmtBCD",
         {"AD_VALOR", DataType::FmtBCD, 0, 18, 2},
         {Decimal{"1234.56"}, Decimal{"-0.05"}, Decimal{"0"}, Decimal{"10.50"}, Decimal{"-0.00"},
          Decimal{"12345678901234567890.123456789"}, std::int64_t{42}, 2.5, std::monostate{}},
         {Decimal{"1234.56"}, Decimal{"-0.05"}, Decimal{"0"}, Decimal{"10.5"}, Decimal{"0"},
          Decimal{"12345678901234567890.123456789"}, Decimal{"42"}, Decimal{"2.5"}, std::monostate{}}},
        {"Currency",
         {"AD_PRECO", DataType::Currency},
         {Decimal{"922337203685477.5807"}, Decimal{"-922337203685477.5808"}, Decimal{"0.1"},
          std::monostate{}},
         {}},
        {"Double",
         {"AD_TOTAL", DataType::Double},
         {0.1, -1e300, 5e-324, std::int64_t{3}, std::monostate{}},
         {0.1, -1e300, 5e-324, 3.0, std::monostate{}}},
        {"Extended", {"AD_EXT", DataType::Extended}, {0.1, -123456.789, 0.0}, {}},
        {"Single", {"AD_SGL", DataType::Single}, {0.5, -2.25}, {}},
        {"Date",
         {"AD_DATA", DataType::Date},
         {Day(2021, 3, 31), Day(1, 1, 1), Day(9999, 12, 31), std::monostate{}},
         {}},
        {"DateTime",
         {"AD_QUANDO", DataType::DateTime},
         {At(2024, 2, 29, 23, 59, 59, 999), Day(2021, 1, 1), std::monostate{}},
         {At(2024, 2, 29, 23, 59, 59, 999), At(2021, 1, 1, 0, 0, 0), std::monostate{}}},
        {"DateTimeStamp", {"AD_TS", DataType::DateTimeStamp}, {At(2023, 12, 31, 1, 2, 3, 4)}, {}},
        {"Time", {"AD_HORA", DataType::Time}, {Time{0}, Time{86399999}}, {}},
        {"Boolean",
         {"AD_ATIVO", DataType::Boolean},
         {true, false, std::monostate{}, std::int64_t{2}},
         {true, false, std::monostate{}, true}},
        {"Blob",
         {"AD_BIN", DataType::Blob},
         {Bytes{std::string("\0\xFF\r\n", 4)}, Bytes{}, std::monostate{}},
         {}},
        {"GUID", {"AD_GUID", DataType::GUID}, {Bytes{std::string(16, '\x5A')}}, {}},
    };
    return cases;
}

class WriteAndRead : public ::testing::TestWithParam<TypeCase> {};

// Each type sits between an Int32 key and a WideMemo that comes before it in
// the column order, so that values of the late types and NULLs around them
// must each land in their own column.
TEST_P(WriteAndRead, ValuesComeBackAsWritten) {
    const TypeCase& c = GetParam();
    Dataset ds;
    ds.name = "qry";
    ds.columns = {Column{"MEMO_FIRST", DataType::WideMemo}, Column{"X_NUMERO", DataType::Int32}, c.column};
    for (std::size_t i = 0; i < c.written.size(); ++i) {
        ds.rows.push_back(Row{i % 2 == 0 ? Value{std::string("m") + std::to_string(i)} : Value{},
                              std::int64_t(i), c.written[i]});
    }
    const Dataset back = ReadAdbs(WriteAdbs(ds));
    ASSERT_EQ(back.columns.size(), 3u);
    EXPECT_EQ(back.columns[2], c.column);
    const std::vector<Value>& expected = c.read.empty() ? c.written : c.read;
    ASSERT_EQ(back.rows.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("row " + std::to_string(i));
        EXPECT_EQ(back.rows[i][0], ds.rows[i][0]);
        EXPECT_EQ(back.rows[i][1], Value{std::int64_t(i)});
        EXPECT_EQ(back.rows[i][2], expected[i]);
    }
}

INSTANTIATE_TEST_SUITE_P(ColumnTypes, WriteAndRead, ::testing::ValuesIn(TypeCases()),
                         [](const auto& p) { return std::string(p.param.label); });

// Memo values travel after the other values of their row, whatever the column order.
TEST(WriteAdbs, PutsMemoValuesAfterTheOthers) {
    Dataset ds;
    ds.name = "t";
    ds.columns = {Column{"AD_XML", DataType::WideMemo}, Column{"AD_NUM", DataType::Int32}};
    ds.rows = {Row{std::string("ZZ"), std::int64_t{0x01020304}}};
    const std::string bytes = WriteAdbs(ds);
    const std::string intValue = std::string("\x01\x00\x04\x03\x02\x01", 6);  // column 1, then the Int32
    const std::string memoValue =
        std::string("\x00\x00\x04\x00\x00\x00Z\0Z\0", 10);  // column 0, length 4, "ZZ"
    const auto intAt = bytes.find(intValue);
    const auto memoAt = bytes.find(memoValue);
    ASSERT_NE(intAt, std::string::npos);
    ASSERT_NE(memoAt, std::string::npos);
    EXPECT_EQ(memoAt, intAt + intValue.size());
}

TEST(WriteAdbs, StreamingGivesTheSameBytesInPieces) {
    Dataset ds = ReadAdbs(testing::ReadFixture("constructed_fdbin_types.bin"));
    for (int i = 0; i < 300; ++i)
        ds.rows.push_back(ds.rows[static_cast<std::size_t>(i % 2)]);
    struct Pieces : ByteSink {
        std::string all;
        std::size_t count = 0;
        void Write(std::string_view b) override {
            all.append(b);
            ++count;
        }
    } pieces;
    const std::uint64_t size = WriteAdbs(ds, pieces, 1000);
    EXPECT_EQ(pieces.all, WriteAdbs(ds));
    EXPECT_EQ(size, pieces.all.size());
    EXPECT_GT(pieces.count, 10u);
}

TEST(FitStringSizes, GrowsStringColumnsToTheirLongestValue) {
    Dataset ds;
    ds.columns = {Column{"A", DataType::WideString}, Column{"B", DataType::AnsiString, 50},
                  Column{"C", DataType::WideMemo}, Column{"D", DataType::WideString}};
    ds.rows = {
        Row{std::string("\xF0\x9F\x98\x80xy"), std::string("abc"), std::string(900, 'm'), std::monostate{}},
        Row{std::string("\xC3\xA7"), std::monostate{}, std::monostate{}, std::monostate{}}};
    FitStringSizes(ds);
    EXPECT_EQ(ds.columns[0].size, 4);  // the emoji takes two UTF-16 units
    EXPECT_EQ(ds.columns[1].size, 50);
    EXPECT_EQ(ds.columns[2].size, 0);
    EXPECT_EQ(ds.columns[3].size, 1);
    EXPECT_NO_THROW(WriteAdbs(ds));
}

struct RejectCase {
    const char* label;
    Column column;
    Row row;              // the second row of the table (the first is all NULL)
    const char* message;  // part of the error
    bool namesPlace;      // the error names row 2 and the column
    friend void PrintTo(const RejectCase& c, std::ostream* os) { *os << c.label; }
};

class WriteRejects : public ::testing::TestWithParam<RejectCase> {};

TEST_P(WriteRejects, ValuesTheFormatCannotCarry) {
    const RejectCase& c = GetParam();
    Dataset ds;
    ds.name = "t";
    ds.columns = {Column{"AD_ID", DataType::Int32}, c.column};
    Row second{std::int64_t{2}};
    second.insert(second.end(), c.row.begin(), c.row.end());
    ds.rows = {Row{std::monostate{}, std::monostate{}}, second};
    try {
        WriteAdbs(ds);
        FAIL() << "no error";
    } catch (const CodecError& e) {
        EXPECT_THAT(e.what(), HasSubstr(c.message));
        if (c.namesPlace) {
            EXPECT_THAT(e.what(), HasSubstr("linha 2"));
            EXPECT_THAT(e.what(), HasSubstr("\"" + c.column.name + "\""));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    BadValues, WriteRejects,
    ::testing::Values(
        RejectCase{"TooLong",
                   {"AD_NOME", DataType::WideString, 3},
                   {std::string("abcd")},
                   "maior que o tamanho",
                   true},
        RejectCase{
            "NotCp1252", {"AD_OBS", DataType::AnsiString, 10}, {std::string("\xE4\xB8\xAD")}, "U+4E2D", true},
        RejectCase{"BadUtf8", {"AD_XML", DataType::WideMemo}, {std::string("a\xC3")}, "UTF-8", true},
        RejectCase{"OutOfRange", {"AD_N", DataType::Int32}, {std::int64_t{1} << 31}, "fora da faixa", true},
        RejectCase{"WrongKind", {"AD_N", DataType::Int64}, {std::string("12")}, "espera um inteiro", true},
        RejectCase{"BadDecimal", {"AD_V", DataType::FmtBCD}, {Decimal{"1,5"}}, "mal formado", true},
        RejectCase{"CurrencyPlaces", {"AD_V", DataType::Currency}, {Decimal{"0.00001"}}, "4 casas", true},
        RejectCase{
            "NullInNotNull", {"AD_N", DataType::Int32, 0, 0, 0, false}, {std::monostate{}}, "NULL", false},
        RejectCase{"WrongCount",
                   {"AD_N", DataType::Int32},
                   {std::int64_t{1}, std::int64_t{2}},
                   "3 valores para 2",
                   false},
        RejectCase{"NoSize", {"AD_NOME", DataType::WideString, 0}, {std::string("a")}, "tamanho", false},
        RejectCase{
            "Unwritable", {"AD_X", DataType::ParentRowRef}, {std::int64_t{1}}, "não suportado", false}),
    [](const auto& p) { return std::string(p.param.label); });

}  // namespace
}  // namespace kqz::codec
