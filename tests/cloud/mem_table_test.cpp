#include "cloud/mem_table.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace kqz::cloud {
namespace {

using codec::DataType;

// One row with a column per kind of value the server sends.
codec::Dataset Kinds() {
    codec::Dataset ds;
    ds.name = "qry";
    auto add = [&ds](const char* name, DataType type, codec::Value value) {
        ds.columns.push_back(codec::Column{name, type, type == DataType::WideString ? 20 : 0, 0, 0, true});
        if (ds.rows.empty()) {
            ds.rows.emplace_back();
        }
        ds.rows[0].push_back(std::move(value));
    };
    add("INTEIRO", DataType::Int32, std::int64_t{-42});
    add("GRANDE", DataType::Int64, std::int64_t{5'000'000'000});
    add("TEXTO_NUM", DataType::WideString, std::string{" 12"});
    add("TEXTO", DataType::WideString, std::string{"abc"});
    add("TEXTO_VAZIO", DataType::WideString, std::string{});
    add("REAL", DataType::Double, 1234.5);
    add("METADE", DataType::Double, 2.5);
    add("MINUSCULO", DataType::Double, 0.00001);
    add("ENORME", DataType::Double, 1e20);
    add("DECIMAL", DataType::FmtBCD, codec::Decimal{"-12.50"});
    add("DECIMAL_INT", DataType::FmtBCD, codec::Decimal{"7.000"});
    add("DATA", DataType::Date, codec::Date{737'911});                            // 2021-05-01
    add("DATA_HORA", DataType::DateTime, codec::DateTime{63'844'983'907'000.0});  // 2024-03-01 13:45:07
    add("DATA_FORA", DataType::Date, codec::Date{0});                             // before 0001-01-01
    add("LOGICO", DataType::Boolean, true);
    add("NULO", DataType::WideString, codec::Value{});
    return ds;
}

TEST(Field, ConvertsLikeFireDAC) {
    struct Case {
        const char* field;
        std::string asString;
        std::optional<std::int32_t> asInteger;  // nullopt: conversion error
        std::optional<double> asFloat;          // nullopt: conversion error
        bool isNull;
    };
    const std::vector<Case> cases = {
        {"INTEIRO", "-42", -42, -42.0, false},
        {"GRANDE", "5000000000", std::nullopt, 5e9, false},
        {"TEXTO_NUM", " 12", 12, 12.0, false},
        {"TEXTO", "abc", std::nullopt, std::nullopt, false},
        {"TEXTO_VAZIO", "", std::nullopt, std::nullopt, false},
        {"REAL", "1234.5", 1234, 1234.5, false},
        {"METADE", "2.5", 2, 2.5, false},
        {"MINUSCULO", "1E-5", 0, 0.00001, false},
        {"ENORME", "1E20", std::nullopt, 1e20, false},
        {"DECIMAL", "-12.5", -12, -12.5, false},
        {"DECIMAL_INT", "7", 7, 7.0, false},
        {"DATA", "01/05/2021", std::nullopt, 44317.0, false},
        {"DATA_HORA", "01/03/2024 13:45:07", std::nullopt, 45352.0 + 49507.0 / 86400.0, false},
        {"DATA_FORA", "0", std::nullopt, -693594.0, false},
        {"LOGICO", "True", 1, 1.0, false},
        {"NULO", "", 0, 0.0, true},
    };
    MemTable table("memTable_Teste");
    table.AppendData(Kinds());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.field);
        const Field field = table.FieldByName(c.field);
        EXPECT_EQ(field.IsNull(), c.isNull);
        EXPECT_EQ(field.AsString(), c.asString);
        if (c.asInteger) {
            EXPECT_EQ(field.AsInteger(), *c.asInteger);
        } else {
            try {
                field.AsInteger();
                ADD_FAILURE() << "AsInteger did not fail";
            } catch (const MemTableError& e) {
                EXPECT_NE(std::string(e.what()).find(std::string("memTable_Teste: campo ") + c.field),
                          std::string::npos)
                    << e.what();
            }
        }
        if (c.asFloat) {
            EXPECT_NEAR(field.AsFloat(), *c.asFloat, 1e-9);
        } else {
            EXPECT_THROW(field.AsFloat(), MemTableError);
        }
    }
    EXPECT_EQ(table.FieldByName("GRANDE").AsLargeInt(), 5'000'000'000);
    EXPECT_THROW(table.FieldByName("TEXTO").AsBoolean(), MemTableError);
    EXPECT_TRUE(table.FieldByName("LOGICO").AsBoolean());
    EXPECT_FALSE(table.FieldByName("NULO").AsBoolean());
}

TEST(MemTable, FieldsByNameIgnoreCaseAndMissingOnesNameTheField) {
    MemTable table("memTable_Usuarios");
    table.AppendData(Kinds());
    EXPECT_EQ(table.FieldByName("inteiro").Index(), 0u);
    EXPECT_EQ(table.FieldByName("Data_Hora").FieldName(), "DATA_HORA");
    EXPECT_FALSE(table.FindField("AU_CNPJ").has_value());
    try {
        table.FieldByName("AU_CNPJ");
        FAIL() << "missing field found";
    } catch (const MemTableError& e) {
        EXPECT_NE(std::string(e.what()).find("'AU_CNPJ'"), std::string::npos) << e.what();
    }
    EXPECT_THROW(table.Fields(table.FieldCount()), MemTableError);

    table.Close();
    EXPECT_FALSE(table.Active());
    EXPECT_EQ(table.FieldCount(), 0u);
    EXPECT_EQ(table.RecordCount(), 0u);
    // A closed table has no first column: reading it fails.
    EXPECT_THROW(table.Fields(0), MemTableError);
}

TEST(MemTable, CursorWalksTheRowsInOrder) {
    codec::Dataset ds;
    ds.columns.push_back(codec::Column{"N", DataType::Int32});
    for (std::int64_t n : {10, 20, 30}) {
        ds.rows.push_back(codec::Row{n});
    }
    MemTable table;
    table.AppendData(std::move(ds));
    EXPECT_TRUE(table.Active());
    EXPECT_EQ(table.RecordCount(), 3u);
    std::vector<std::int32_t> seen;
    std::vector<std::size_t> recNos;
    for (table.First(); !table.Eof(); table.Next()) {
        seen.push_back(table.Fields(0).AsInteger());
        recNos.push_back(table.RecNo());
    }
    EXPECT_EQ(seen, (std::vector<std::int32_t>{10, 20, 30}));
    EXPECT_EQ(recNos, (std::vector<std::size_t>{1, 2, 3}));
    EXPECT_EQ(table.RecNo(), 3u);  // Eof stays on the last row

    // An open table takes more rows of the same columns, not others.
    codec::Dataset more;
    more.columns.push_back(codec::Column{"n", DataType::Int32});
    more.rows.push_back(codec::Row{std::int64_t{40}});
    table.AppendData(std::move(more));
    EXPECT_EQ(table.RecordCount(), 4u);
    codec::Dataset other;
    other.columns.push_back(codec::Column{"X", DataType::WideString, 5});
    EXPECT_THROW(table.AppendData(std::move(other)), MemTableError);
    EXPECT_EQ(table.RecordCount(), 4u);

    MemTable empty;
    codec::Dataset none;
    none.columns.push_back(codec::Column{"N", DataType::Int32});
    empty.AppendData(std::move(none));
    EXPECT_TRUE(empty.Active());
    EXPECT_TRUE(empty.Eof());
    EXPECT_EQ(empty.RecNo(), 0u);
    EXPECT_TRUE(empty.Fields(0).IsNull());
}

}  // namespace
}  // namespace kqz::cloud
