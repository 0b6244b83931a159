#include <gtest/gtest.h>

#include <pugixml.hpp>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "summary/ler_xml.hpp"
#include "summary/numbers.hpp"
#include "summary/resumo.hpp"
#include "summary/synth/cfe_synth.hpp"

namespace kqz::summary {
namespace {

namespace sy = synth;

TEST(Synth, CheckDigitOfTheManualsExampleAndBadInput) {
    EXPECT_EQ(sy::CheckDigit("5206043300991100250655012000000780026730161"), 5);
    EXPECT_THROW(sy::CheckDigit("123"), std::invalid_argument);
    EXPECT_THROW(sy::CheckDigit(std::string(42, '1') + "x"), std::invalid_argument);
    EXPECT_THROW(sy::AccessKey(35, {2021, 3, 1}, "123", "900004019", 1, 1), std::invalid_argument);
    EXPECT_THROW(sy::AccessKey(35, {2021, 3, 1}, "08723218000186", "900004019", 1000000, 1),
                 std::invalid_argument);
}

// Every generated document is well-formed, its key carries its own ide fields
// with a correct check digit, and each cancellation points at a sale made before.
TEST(Synth, MonthIsConsistent) {
    sy::MonthSpec spec;
    spec.count = 400;
    spec.cancel_permille = 100;
    spec.gap_permille = 50;
    spec.layout = sy::Layout::kIndented;
    std::set<std::string> sale_keys;
    std::size_t bytes = 0;
    int cancellations = 0;
    int previous = 0;
    const std::vector<sy::Document> docs = sy::MakeMonth(spec);
    ASSERT_EQ(docs.size(), 400U);
    for (const sy::Document& d : docs) {
        SCOPED_TRACE(d.name);
        pugi::xml_document x;
        ASSERT_TRUE(x.load_string(d.xml.c_str()));
        const pugi::xml_node inf = x.document_element().child("infCFe");
        const pugi::xml_node ide = inf.child("ide");
        const std::string key = d.key;
        ASSERT_EQ(key.size(), 44U);
        EXPECT_EQ(std::string(inf.attribute("Id").value()), "CFe" + key);
        EXPECT_EQ(key.substr(43), std::to_string(sy::CheckDigit(key.substr(0, 43))));
        EXPECT_EQ(key.substr(0, 2), ide.child_value("cUF"));
        EXPECT_EQ(key.substr(2, 4), std::string(ide.child_value("dEmi")).substr(2, 4));
        EXPECT_EQ(key.substr(6, 14), inf.child("emit").child_value("CNPJ"));
        EXPECT_EQ(key.substr(22, 9), ide.child_value("nserieSAT"));
        EXPECT_EQ(key.substr(31, 6), ide.child_value("nCFe"));
        EXPECT_EQ(key.substr(37, 6), ide.child_value("cNF"));
        EXPECT_EQ(key.substr(43, 1), ide.child_value("cDV"));
        EXPECT_GT(d.number, previous);
        previous = d.number;
        // The stored name: only cancellations contain "CFeC"; the number is the
        // first six of the last sixteen characters.
        EXPECT_EQ(d.name.find("CFeC") != std::string::npos, d.cancellation);
        EXPECT_EQ(d.name.substr(d.name.size() - 16, 6), ide.child_value("nCFe"));
        if (d.cancellation) {
            ++cancellations;
            const std::string ch = inf.attribute("chCanc").value();
            EXPECT_EQ(sale_keys.count(ch.substr(3)), 1U) << ch;
            EXPECT_EQ(std::string(x.document_element().name()), "CFeCanc");
        } else {
            sale_keys.insert(key);
            EXPECT_GE(inf.select_nodes("det").size(), 1U);
        }
        bytes += d.xml.size();
    }
    EXPECT_GT(cancellations, 0);
    // Indented documents are a little larger than the one-line ones (5-6 KB).
    EXPECT_GT(bytes / docs.size(), 5000U);
    EXPECT_LT(bytes / docs.size(), 9000U);
}

TEST(Synth, DeterministicFromTheSeed) {
    sy::MonthSpec a;
    a.count = 20;
    sy::MonthSpec b = a;
    sy::MonthSpec c = a;
    c.seed = 43;
    const auto da = sy::MakeMonth(a);
    const auto db = sy::MakeMonth(b);
    const auto dc = sy::MakeMonth(c);
    ASSERT_EQ(da.size(), db.size());
    for (std::size_t i = 0; i < da.size(); ++i) {
        EXPECT_EQ(da[i].xml, db[i].xml);
    }
    EXPECT_NE(da[0].xml, dc[0].xml);
}

// A generated month read through LerXml (from memory, as the download does):
// one document row per document, each cancellation voids its sale, and the
// grand total is the sum of the sales that stand.
TEST(Synth, MonthThroughTheReaderAndReport) {
    sy::MonthSpec spec;
    spec.count = 300;
    spec.cancel_permille = 80;
    spec.gap_permille = 20;
    SummaryTables t;
    std::map<int, std::int64_t> standing;  // number -> cents
    std::int64_t total = 0;
    int docs = 0;
    sy::GenerateMonth(spec, [&](sy::Document&& d) {
        ++docs;
        if (d.cancellation) {
            // The sale cancelled is the one just before it.
            auto last = std::prev(standing.end());
            total -= last->second;
            standing.erase(last);
        } else {
            standing[d.number] = d.total_cents;
            total += d.total_cents;
        }
        LerXml(t, "/nowhere/" + d.name + ".XML", std::move(d.xml));
    });
    EXPECT_EQ(t.memTable_Docto.RecordCount(), static_cast<std::size_t>(docs));
    std::vector<std::string> memo2;
    NoProgress none;
    ComporResumo(t, memo2, BrazilianNumberFormat(), none);
    const std::string esperado =
        "|       | " +
        Espacar(FormatarValor(static_cast<double>(total) / 100.0, BrazilianNumberFormat()), "D", 12) + " |";
    bool found = false;
    for (const std::string& l : memo2) {
        found = found || l == esperado;
    }
    EXPECT_TRUE(found) << esperado;
}

}  // namespace
}  // namespace kqz::summary
