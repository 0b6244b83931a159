#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "summary/numbers.hpp"

namespace kqz::summary {
namespace {

TEST(LerDecimal, CfeTextsReadAsTheirNumberAndNothingElse) {
    struct Case {
        const char* text;
        std::optional<double> value;
    };
    const std::vector<Case> cases{
        {"45.90", 45.9},
        {"0.00", 0.0},
        {"1234.56", 1234.56},
        {" 2.50\n", 2.5},
        {"-0.50", -0.5},
        {"+3", 3.0},
        {".5", 0.5},
        {"5.", 5.0},
        {"1e2", 100.0},
        {"654.320", 654.32},
        {"", std::nullopt},
        {"  ", std::nullopt},
        {"1,50", std::nullopt},
        {"1.234.56", std::nullopt},
        {"nan", std::nullopt},
        {"inf", std::nullopt},
        {"0x10", std::nullopt},
        {"1e999", std::nullopt},
        {"abc", std::nullopt},
        {"1 000", std::nullopt},
        {".", std::nullopt},
        {"1e", std::nullopt},
        {"+-1", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("[") + c.text + "]");
        const std::optional<double> v = LerDecimal(c.text);
        ASSERT_EQ(v.has_value(), c.value.has_value());
        if (v) {
            EXPECT_DOUBLE_EQ(*v, *c.value);
        }
    }
}

TEST(LerInteiro, DecimalWholeNumbers) {
    struct Case {
        const char* text;
        std::optional<std::int64_t> value;
    };
    const std::vector<Case> cases{
        {"000001", 1},
        {"999999999", 999999999},
        {"-5", -5},
        {"+7", 7},
        {"", std::nullopt},
        {" 7", std::nullopt},
        {"7 ", std::nullopt},
        {"12a", std::nullopt},
        {"1.0", std::nullopt},
        {"99999999999999999999", std::nullopt},
        {"+-1", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("[") + c.text + "]");
        EXPECT_EQ(LerInteiro(c.text), c.value);
    }
}

TEST(FormatarValor, RoundingGroupingAndSigns) {
    const NumberFormat br = BrazilianNumberFormat();
    const NumberFormat us{".", ","};
    const NumberFormat plain{",", ""};
    struct Case {
        double value;
        const NumberFormat* format;
        const char* text;
    };
    const std::vector<Case> cases{
        {0.0, &br, "0,00"},
        {1234.56, &br, "1.234,56"},
        {45.9, &br, "45,90"},
        {1.005, &br, "1,01"},  // 1.00499999999999989... in binary
        {2.675, &br, "2,68"},
        {0.125, &br, "0,13"},
        {-0.125, &br, "-0,13"},  // half away from zero
        {0.1 + 0.2, &br, "0,30"},
        {999.995, &br, "1.000,00"},  // carry into a new group
        {-1234567.891, &br, "-1.234.567,89"},
        {-0.001, &br, "0,00"},  // no "-0,00"
        {-0.0, &br, "0,00"},
        {0.004, &br, "0,00"},
        {0.005, &br, "0,01"},
        {123456789012.34, &br, "123.456.789.012,34"},
        {1e-300, &br, "0,00"},
        {100.0, &br, "100,00"},
        {1000.0, &br, "1.000,00"},
        {1234.5, &us, "1,234.50"},
        {1234.5, &plain, "1234,50"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(FormatarValor(c.value, *c.format), c.text);
    }
}

TEST(FormatarNumero, SixDigitsAtLeast) {
    EXPECT_EQ(FormatarNumero(4), "000004");
    EXPECT_EQ(FormatarNumero(0), "000000");
    EXPECT_EQ(FormatarNumero(1234567), "1234567");
    EXPECT_EQ(FormatarNumero(-4), "-000004");
}

TEST(Espacar, WidensByTheDifferencePlusOne) {
    struct Case {
        const char* text;
        const char* tipo;
        int tam;
        const char* result;
    };
    const std::vector<Case> cases{
        {"abc", "D", 5, "   abc"},    {"abc", "E", 5, "abc   "},  {"abcde", "D", 5, " abcde"},
        {"abcdef", "D", 5, "abcdef"}, {"", "D", 9, "          "}, {"ação", "E", 5, "ação  "},
        {"x", "d", 2, "x  "},  // only "D" aligns right
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(Espacar(c.text, c.tipo, c.tam), c.result);
    }
}

TEST(NumberFormatOf, CAndUnknownLocalesAreBrazilian) {
    for (const char* name : {"", "C", "POSIX", "C.UTF-8", "xx_YY.nonexistent"}) {
        SCOPED_TRACE(name);
        const NumberFormat f = NumberFormatOf(name);
        EXPECT_EQ(f.decimal, ",");
        EXPECT_EQ(f.thousands, ".");
    }
}

}  // namespace
}  // namespace kqz::summary
