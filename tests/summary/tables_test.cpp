#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "summary/tables.hpp"

namespace kqz::summary {
namespace {

void Doc(SummaryTables& t, const std::string& numero, double valor) {
    DoctoRow r;
    r.CZ_NUMDOC = numero;
    r.CZ_VALORCFE = valor;
    t.memTable_Docto.Append(r);
}
void Item(SummaryTables& t, const std::string& numero, const std::string& cfop, double valor) {
    CfopRow r;
    r.Numero = numero;
    r.CFOP = cfop;
    r.ValTot = valor;
    t.memTable_CFOP.Append(r);
}

// The item view, as "cfop=value" in walk order.
std::vector<std::string> Vista(CfopTable& c) {
    std::vector<std::string> out;
    for (; !c.Eof(); c.Next()) {
        out.push_back(c.Current().CFOP + "=" + std::to_string(static_cast<int>(c.Current().ValTot)));
    }
    return out;
}

using V = std::vector<std::string>;

// The item view follows the current document: first, next, locate, append;
// items come in CFOP order with equal CFOPs in arrival order.
TEST(SummaryTables, ItemViewFollowsTheCurrentDocument) {
    SummaryTables t;
    Item(t, "000002", "5405", 1);
    Item(t, "000001", "5405", 2);
    Item(t, "000001", "5102", 3);
    Item(t, "000001", "5102", 4);
    Doc(t, "000002", 0);
    Doc(t, "000003", 0);  // no items
    Doc(t, "000001", 0);

    struct Step {
        const char* name;
        void (*move)(SummaryTables&);
        const char* numdoc;
        V items;
    };
    const std::vector<Step> steps{
        {"first",
         [](SummaryTables& s) { s.memTable_Docto.First(); },
         "000001",
         {"5102=3", "5102=4", "5405=2"}},
        {"next", [](SummaryTables& s) { s.memTable_Docto.Next(); }, "000002", {"5405=1"}},
        {"next onto a document without items",
         [](SummaryTables& s) { s.memTable_Docto.Next(); },
         "000003",
         {}},
        {"next past the last keeps the last",
         [](SummaryTables& s) { s.memTable_Docto.Next(); },
         "000003",
         {}},
        {"locate",
         [](SummaryTables& s) { ASSERT_TRUE(s.memTable_Docto.Locate("000002")); },
         "000002",
         {"5405=1"}},
        {"append", [](SummaryTables& s) { Doc(s, "000001", 9); }, "000001", {"5102=3", "5102=4", "5405=2"}},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.name);
        s.move(t);
        EXPECT_EQ(t.memTable_Docto.Current().CZ_NUMDOC, s.numdoc);
        EXPECT_EQ(Vista(t.memTable_CFOP), s.items);
    }
    EXPECT_FALSE(t.memTable_Docto.Locate("000009"));
}

TEST(SummaryTables, DocumentsInTextOrderEqualNumbersInArrivalOrder) {
    SummaryTables t;
    Doc(t, "99", 1);
    Doc(t, "000002", 2);
    Doc(t, "100", 3);
    Doc(t, "000002", 4);
    V order;
    for (t.memTable_Docto.First(); !t.memTable_Docto.Eof(); t.memTable_Docto.Next()) {
        const DoctoRow& d = t.memTable_Docto.Current();
        order.push_back(d.CZ_NUMDOC + "=" + std::to_string(static_cast<int>(*d.CZ_VALORCFE)));
    }
    EXPECT_EQ(order, (V{"000002=2", "000002=4", "100=3", "99=1"}));
    // FindFirst gives the first in number order among equal numbers.
    DoctoRow* first = t.memTable_Docto.FindFirst("000002");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(*first->CZ_VALORCFE, 2);
    EXPECT_EQ(t.memTable_Docto.FindFirst("00000"), nullptr);  // no partial match
    EXPECT_EQ(t.memTable_Docto.RecordCount(), 4U);
}

TEST(SummaryTables, DeleteCountAndEmpty) {
    SummaryTables t;
    Item(t, "1", "5102", 1);
    Item(t, "2", "5102", 2);
    Item(t, "1", "5405", 3);
    EXPECT_EQ(t.memTable_CFOP.CountNumero("1"), 2U);
    EXPECT_EQ(t.memTable_CFOP.DeleteNumero("1"), 2U);
    EXPECT_EQ(t.memTable_CFOP.DeleteNumero("1"), 0U);
    EXPECT_EQ(t.memTable_CFOP.RecordCount(), 1U);
    t.memTable_CFOP.ClearFilter();
    t.memTable_CFOP.First();
    EXPECT_EQ(Vista(t.memTable_CFOP), (V{"5102=2"}));
    Doc(t, "1", 0);
    t.Empty();
    EXPECT_EQ(t.memTable_Docto.RecordCount(), 0U);
    EXPECT_EQ(t.memTable_CFOP.RecordCount(), 0U);
    t.memTable_Docto.First();
    EXPECT_TRUE(t.memTable_Docto.Eof());
}

}  // namespace
}  // namespace kqz::summary
