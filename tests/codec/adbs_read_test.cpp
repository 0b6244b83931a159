// Decoding real FireDAC streams (written by FireDAC itself, taken from public
// form files) and one constructed stream with every common type and NULLs.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cloud/codec/adbs.hpp"
#include "codec_test_util.hpp"

namespace kqz::codec {
namespace {

using testing::At;
using testing::Day;

struct ExpectedColumn {
    std::string name;
    DataType type;
    std::int32_t size;
    bool allowNull;
};

struct Cell {
    std::size_t row;
    std::size_t column;
    Value value;
};

struct StreamCase {
    const char* file;
    std::string table;
    std::string sourceName;
    std::vector<ExpectedColumn> columns;
    std::size_t rows;
    std::vector<Cell> cells;
    std::uint32_t savePoint;
    bool priorStateUnchanged;
    friend void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.file; }
};

const std::vector<StreamCase>& Cases() {
    static const std::vector<StreamCase> cases = {
        {"fdbin_memtable_date_double.bin",
         "ExchangeMemTable",
         "Table",
         {{"Date", DataType::Date, 0, true},
          {"USD_BTC", DataType::Double, 0, true},
          {"USD_ETH", DataType::Double, 0, true}},
         12,
         {{0, 0, Date{737911}},
          {0, 1, 57823.174976},
          {0, 2, 2946.507205},
          {11, 0, Day(2020, 6, 1)},
          {11, 2, 247.11512}},
         62,
         true},
        {"fdbin_memtable_int32_widestring.bin",
         "fdmLkpWarehouses",
         "Table",
         {{"anagraph_id", DataType::Int32, 0, false}, {"an_last_name", DataType::WideString, 128, false}},
         27,
         {{0, 0, std::int64_t{242457}},
          {0, 1, std::string("ARMONIA")},
          {3, 1, std::string("F.LLI CHIESURA C/O TAILOR")},
          {26, 0, std::int64_t{137482}},
          {26, 1, std::string("WENDLAND")}},
         54,
         false},
        {"fdbin_memtable_meta_autoinc_memo.bin",
         "FDMemTable1",
         "Table",
         {{"id", DataType::Int32, 0, true},
          {"tipo", DataType::AnsiString, 20, false},
          {"dataHora", DataType::DateTime, 0, false},
          {"responsavel", DataType::AnsiString, 30, false},
          {"observacoes", DataType::Memo, 0, false}},
         0,
         {},
         2,
         false},
        {"constructed_fdbin_types.bin",
         "qry",
         "",
         {{"ID", DataType::Int32, 0, false},
          {"NOME", DataType::WideString, 60, false},
          {"EMISSAO", DataType::Date, 0, true},
          {"VALOR", DataType::Currency, 0, true},
          {"ATUALIZADO", DataType::DateTime, 0, true},
          {"ATIVO", DataType::Boolean, 0, true},
          {"OBS", DataType::WideMemo, 0, true}},
         2,
         {{0, 1, std::string("Empresa A\xC3\xA7\xC3\xA3o Ltda")},
          {0, 2, Day(2024, 3, 1)},
          {0, 3, Decimal{"1234.5"}},
          {0, 4, At(2024, 3, 1, 13, 45, 7)},
          {0, 5, true},
          {0, 6, std::string("linha 1\r\nlinha 2")},
          {1, 0, std::int64_t{2}},
          {1, 2, std::monostate{}},
          {1, 3, std::monostate{}},
          {1, 4, std::monostate{}},
          {1, 5, false},
          {1, 6, std::monostate{}}},
         0,
         false},
    };
    return cases;
}

class ReadStream : public ::testing::TestWithParam<StreamCase> {};

TEST_P(ReadStream, DecodesTableColumnsAndCells) {
    const StreamCase& c = GetParam();
    const Dataset ds = ReadAdbs(testing::ReadFixture(c.file));
    EXPECT_EQ(ds.name, c.table);
    EXPECT_EQ(ds.sourceName, c.sourceName);
    EXPECT_EQ(ds.savePoint, c.savePoint);
    EXPECT_EQ(ds.priorStateUnchanged, c.priorStateUnchanged);
    ASSERT_EQ(ds.columns.size(), c.columns.size());
    for (std::size_t i = 0; i < c.columns.size(); ++i) {
        SCOPED_TRACE(c.columns[i].name);
        EXPECT_EQ(ds.columns[i].name, c.columns[i].name);
        EXPECT_EQ(ds.columns[i].type, c.columns[i].type) << DataTypeName(ds.columns[i].type);
        EXPECT_EQ(ds.columns[i].size, c.columns[i].size);
        EXPECT_EQ(ds.columns[i].allowNull, c.columns[i].allowNull);
    }
    ASSERT_EQ(ds.rows.size(), c.rows);
    for (const Row& row : ds.rows) {
        ASSERT_EQ(row.size(), c.columns.size());
    }
    for (const Cell& cell : c.cells) {
        EXPECT_EQ(ds.rows[cell.row][cell.column], cell.value)
            << "row " << cell.row << ", column " << cell.column;
    }
}

INSTANTIATE_TEST_SUITE_P(Fixtures, ReadStream, ::testing::ValuesIn(Cases()),
                         [](const auto& p) { return std::string(p.param.table); });

// The visitor sees the columns before any row and every row once, in order.
TEST(ReadAdbsVisitor, HandsRowsOneByOneAfterTheColumns) {
    struct Recorder : AdbsVisitor {
        std::vector<std::string> events;
        void OnTable(const Dataset& header) override {
            events.push_back("table " + header.name + " " + std::to_string(header.columns.size()) + " " +
                             std::to_string(header.rows.size()));
        }
        void OnRow(Row& row) override { events.push_back("row " + std::get<std::string>(row[1])); }
        void OnEnd(const Dataset& header) override {
            events.push_back("end " + std::to_string(header.savePoint));
        }
    } recorder;
    ReadAdbs(testing::ReadFixture("fdbin_memtable_int32_widestring.bin"), recorder);
    ASSERT_EQ(recorder.events.size(), 29u);
    EXPECT_EQ(recorder.events.front(), "table fdmLkpWarehouses 2 0");
    EXPECT_EQ(recorder.events[1], "row ARMONIA");
    EXPECT_EQ(recorder.events[27], "row WENDLAND");
    EXPECT_EQ(recorder.events.back(), "end 54");
}

}  // namespace
}  // namespace kqz::codec
