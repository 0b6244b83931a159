// The text form of tables printed by `kqz decode` and `kqz sql`.

#include <gtest/gtest.h>

#include <sstream>

#include "cloud/codec/print.hpp"
#include "codec_test_util.hpp"

namespace kqz::codec {
namespace {

using testing::At;
using testing::Day;

TEST(FormatValue, EachKindOfValue) {
    const std::pair<Value, std::string> cases[] = {
        {std::monostate{}, "\\N"},
        {true, "true"},
        {false, "false"},
        {std::int64_t{-42}, "-42"},
        {std::uint64_t{18446744073709551615ULL}, "18446744073709551615"},
        {0.1, "0.1"},
        {57823.174976, "57823.174976"},
        {1e21, "1e+21"},
        {-0.0, "-0"},
        {std::string("a\tb\nc\rd\\e \xC3\xA7"), "a\\tb\\nc\\rd\\\\e \xC3\xA7"},
        {Bytes{std::string("\x01\xFF", 2)}, std::string("\x01\xFF", 2)},
        {Day(2021, 5, 1), "2021-05-01"},
        {Day(1, 1, 1), "0001-01-01"},
        {Day(2024, 2, 29), "2024-02-29"},
        {Time{45296789}, "12:34:56.789"},
        {At(2024, 3, 1, 13, 45, 7, 5), "2024-03-01T13:45:07.005"},
        {At(1999, 12, 31, 23, 59, 59, 999), "1999-12-31T23:59:59.999"},
        {Decimal{"-1234.56"}, "-1234.56"},
    };
    for (const auto& [value, text] : cases) {
        EXPECT_EQ(FormatValue(value), text);
    }
}

TEST(PrintDataset, TitleHeaderAndRowsSeparatedByTabs) {
    Dataset ds;
    ds.columns = {Column{"AD_NUMERO", DataType::WideString, 20}, Column{"X\tY", DataType::Int32}};
    ds.rows = {Row{std::string("CFe1"), std::int64_t{7}}, Row{std::monostate{}, std::monostate{}}};
    std::ostringstream out;
    PrintDataset(out, "qry", ds);
    EXPECT_EQ(out.str(), "# qry\nAD_NUMERO\tX\\tY\nCFe1\t7\n\\N\t\\N\n");
}

}  // namespace
}  // namespace kqz::codec
