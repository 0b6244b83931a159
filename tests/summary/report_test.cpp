#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <vector>

#include "summary/error.hpp"
#include "summary/ler_xml.hpp"
#include "summary/resumo.hpp"
#include "tests/summary/helpers.hpp"

namespace kqz::summary {
namespace {

using testing::ReadBytes;
using testing::ReadLines;
using testing::RecordingProgress;

constexpr const char* kExemplo = KQZ_TEST_DATA "/summary/exemplo";
constexpr std::array<const char*, 4> kArquivosExemplo{"1-venda-000001.XML", "2-venda-000002.XML",
                                                      "3-CFeCanc-000003.XML", "4-venda-000005.XML"};

std::vector<std::string> Cabecalho() {
    return LinhasDeCabecalho("08723218000186", "PADARIA EXEMPLO");
}

// The four documents of the example, read from disk and from memory, give the
// expected report byte for byte, after the two heading lines.
TEST(ComporResumo, WorkedExampleByteForByte) {
    std::vector<std::string> esperado = Cabecalho();
    for (std::string& linha : ReadLines(std::string(kExemplo) + "/esperado.txt")) {
        esperado.push_back(std::move(linha));
    }
    for (const bool em_memoria : {false, true}) {
        SCOPED_TRACE(em_memoria ? "from memory" : "from disk");
        SummaryTables t;
        for (const char* nome : kArquivosExemplo) {
            const std::string path = std::string(kExemplo) + "/" + nome;
            if (em_memoria) {
                LerXml(t, path, ReadBytes(path));
            } else {
                LerXml(t, path);
            }
        }
        std::vector<std::string> memo2 = Cabecalho();
        RecordingProgress progress;
        ComporResumo(t, memo2, BrazilianNumberFormat(), progress);
        EXPECT_EQ(memo2, esperado);
        EXPECT_EQ(progress.max, 13);  // 4 documents + 3 x 3 items of the first
        EXPECT_EQ(progress.value, 4);
        EXPECT_EQ(progress.last_text, "Aguarde - Preparando relatorio...4/13");
        // The third document shows 3/13; the first document's sub-line keeps 1/13.
        EXPECT_NE(std::find(progress.calls.begin(), progress.calls.end(),
                            "text Aguarde - Preparando relatorio...3/13"),
                  progress.calls.end());
        // One text per document (4), per CFOP sub-line (1), per total line (2).
        EXPECT_EQ(progress.calls.size(), 7U);
        EXPECT_EQ(progress.pumps, 7);
        // Afterwards the item view is not narrowed and the documents stand on the last row.
        EXPECT_FALSE(t.memTable_CFOP.Filtered());
        EXPECT_TRUE(t.memTable_Docto.Eof());
        EXPECT_EQ(t.memTable_Docto.Current().CZ_NUMDOC, "000005");
    }
}

struct Doc {
    Doc(std::string n, std::optional<double> v, std::string d = "19/03/2021", std::string o = "")
        : numdoc(std::move(n)), valor(v), data(std::move(d)), observ(std::move(o)) {}
    std::string numdoc;
    std::optional<double> valor;
    std::string data;
    std::string observ;
};
struct It {
    std::string numero;
    std::string cfop;
    double valor;
};

void Encher(SummaryTables& t, const std::vector<Doc>& docs, const std::vector<It>& itens) {
    for (const It& i : itens) {
        CfopRow row;
        row.Numero = i.numero;
        row.CFOP = i.cfop;
        row.ValTot = i.valor;
        t.memTable_CFOP.Append(row);
    }
    for (const Doc& d : docs) {
        DoctoRow row;
        row.CZ_NUMDOC = d.numdoc;
        row.CZ_VALORCFE = d.valor;
        row.CZ_DATA = d.data;
        row.CZ_OBSERV = d.observ;
        t.memTable_Docto.Append(row);
    }
}

std::vector<std::string> Compor(const std::vector<Doc>& docs, const std::vector<It>& itens,
                                const NumberFormat& f = BrazilianNumberFormat()) {
    SummaryTables t;
    Encher(t, docs, itens);
    std::vector<std::string> memo2;
    NoProgress none;
    ComporResumo(t, memo2, f, none);
    return memo2;
}

std::size_t Contar(const std::vector<std::string>& linhas, const std::string& trecho) {
    return static_cast<std::size_t>(std::count_if(linhas.begin(), linhas.end(), [&](const std::string& l) {
        return l.find(trecho) != std::string::npos;
    }));
}

bool Tem(const std::vector<std::string>& linhas, const std::string& linha) {
    return std::find(linhas.begin(), linhas.end(), linha) != linhas.end();
}

struct ReportCase {
    const char* name;
    std::vector<Doc> docs;
    std::vector<It> itens;
    std::vector<std::string> linhas;                             // each must appear as a whole line
    std::vector<std::pair<std::string, std::size_t>> contagens;  // fragment -> lines holding it
};

TEST(ComporResumo, TableOfCases) {
    const std::vector<ReportCase> cases{
        {"28-character note fills its column",
         {{"000002", 0.0, "19/03/2021", "CANCELADO PELO DO CFE 000003"}},
         {},
         {"| 19/03/2021 |     000002 |          0,00 |      |          0,00 | CANCELADO PELO DO CFE 000003 "
          "|"},
         {}},
        {"longer note pushes the closing bar",
         {{"000002", 0.0, "19/03/2021", "CANCELADO PELO DO CFE 0000031"}},
         {},
         {"| 19/03/2021 |     000002 |          0,00 |      |          0,00 | CANCELADO PELO DO CFE 0000031 "
          "|"},
         {}},
        {"short CFOP: padded in the document line only",
         {{"000001", 3.0}},
         {{"000001", "510", 1.0}, {"000001", "5405", 2.0}},
         {"| 19/03/2021 |     000001 |          3,00 | 510  |          1,00 |                              |",
          "|            |            |               | 5405 |          2,00 |", "|  510 |          1,00 |",
          "|  5405 |          2,00 |"},
         {}},
        {"big gap: 489 lines in the table and in the sequence",
         {{"000010", 1.0}, {"000500", 1.0}},
         {},
         {"|            |     000011 |  ** FALTA **  |      |               |                              |",
          "|            |     000499 |  ** FALTA **  |      |               |                              |",
          "|     000011 | ***FALTA *** |", "|     000499 | ***FALTA *** |", "|     000010 | Primeiro     |",
          "|     000500 | Ultimo       |"},
         {{"** FALTA **", 489}, {"***FALTA ***", 489}}},
        {"equal numbers: no gap, both show the shared items",
         {{"000007", 5.0}, {"000007", 6.0}},
         {{"000007", "5102", 2.5}},
         {"|  5102 |          2,50 |", "|       |          2,50 |"},
         {{"FALTA", 0}, {"| 5102 |          2,50 |", 2}}},
        {"numbers sort as text: 100 before 99, no gap",
         {{"99", 1.0}, {"100", 1.0}},
         {},
         {"|        100 | Primeiro     |", "|         99 | Ultimo       |"},
         {{"FALTA", 0}}},
        {"money: rounding half away from zero, grouping, negative, empty total",
         {{"000001", 1.005}, {"000002", -1234567.891}, {"000003", std::nullopt}, {"000004", 999.995}},
         {{"000001", "5102", 0.1}, {"000001", "5102", 0.2}},
         {"| 19/03/2021 |     000001 |          1,01 | 5102 |          0,30 |                              |",
          "| 19/03/2021 |     000002 | -1.234.567,89 |      |          0,00 |                              |",
          "| 19/03/2021 |     000003 |          0,00 |      |          0,00 |                              |",
          "| 19/03/2021 |     000004 |      1.000,00 |      |          0,00 |                              "
          "|"},
         {}},
        {"items without a document row still count in the totals",
         {{"000001", 1.0}},
         {{"000001", "5102", 1.0}, {"000009", "5102", 2.0}, {"000009", "5933", 3.0}},
         {"|  5102 |          3,00 |", "|  5933 |          3,00 |", "|       |          6,00 |"},
         {}},
        {"empty tables: headers, grand total 0,00 and empty sequence numbers", {}, {}, {}, {}},
    };
    for (const ReportCase& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<std::string> r = Compor(c.docs, c.itens);
        for (const std::string& l : c.linhas) {
            EXPECT_TRUE(Tem(r, l)) << "missing line: [" << l << "]";
        }
        for (const auto& [frag, n] : c.contagens) {
            EXPECT_EQ(Contar(r, frag), n) << frag;
        }
    }
}

TEST(ComporResumo, EmptyTablesExactly) {
    const std::vector<std::string> esperado{
        "+------------+------------+---------------+------+---------------+------------------------------+",
        "| DATA       | NUMERO CFe |   VALOR TOTAL | CFOP | VALOR P/ CFOP | OBSERVACOES                  |",
        "+------------+------------+---------------+------+---------------+------------------------------+",
        "+-----------------------+ ",
        "|    TOTAIS POR CFOP    |",
        "+-------+---------------+",
        "|  5102 |          4,00 |",
        "+-------+---------------+",
        "|       |          4,00 |",
        "+-------+---------------+ ",
        "",
        "",
        "+---------------------------+",
        "|    SEQUENCIA DE CUPONS    |",
        "+------------+--------------+",
        "|            | Primeiro     |",
        "|            | Ultimo       |",
        "+------------+--------------+",
    };
    EXPECT_EQ(Compor({}, {{"000001", "5102", 4.0}}), esperado);
    std::vector<std::string> sem_itens = esperado;
    sem_itens.erase(sem_itens.begin() + 6);
    sem_itens[7] = "|       |          0,00 |";
    EXPECT_EQ(Compor({}, {}), sem_itens);
}

TEST(ComporResumo, OtherLocaleSeparators) {
    const std::vector<std::string> r = Compor({{"000001", 1234.5}}, {}, NumberFormat{".", ","});
    EXPECT_TRUE(Tem(
        r,
        "| 19/03/2021 |     000001 |      1,234.50 |      |          0.00 |                              |"));
}

TEST(ComporResumo, ProgressMaximumCountsOnlyTheFirstDocumentsItems) {
    SummaryTables t;
    Encher(t, {{"000001", 1.0}, {"000002", 1.0}, {"000003", 1.0}, {"000004", 1.0}},
           {{"000001", "5102", 1.0},
            {"000001", "5405", 1.0},
            {"000002", "5102", 1.0},
            {"000003", "5102", 1.0},
            {"000003", "5102", 1.0},
            {"000003", "5405", 1.0}});
    std::vector<std::string> memo2;
    RecordingProgress p;
    ComporResumo(t, memo2, BrazilianNumberFormat(), p);
    EXPECT_EQ(p.max, 10);
    EXPECT_EQ(p.value, 4);
}

TEST(ComporResumo, NumberThatIsNotWholeStopsWithItsNameAndKeepsLines) {
    for (const std::string& ruim : {std::string(""), std::string("12a"), std::string(" 7")}) {
        SCOPED_TRACE("[" + ruim + "]");
        SummaryTables t;
        Encher(t, {{ruim, 1.0}, {"zzz", 2.0}}, {});
        std::vector<std::string> memo2{"Empresa: x - y", ""};
        NoProgress none;
        try {
            ComporResumo(t, memo2, BrazilianNumberFormat(), none);
            ADD_FAILURE() << "no error";
        } catch (const ResumoError& e) {
            EXPECT_NE(std::string(e.what()).find("\"" + ruim + "\""), std::string::npos) << e.what();
        }
        // Headings, table header, the first document's line and its separator stay.
        ASSERT_EQ(memo2.size(), 7U);
        EXPECT_EQ(memo2[0], "Empresa: x - y");
        EXPECT_NE(memo2[5].find("|          1,00 |"), std::string::npos);
    }
}

TEST(ComporResumo, ImpossibleGapIsAnErrorNotABillionLines) {
    SummaryTables t;
    Encher(t, {{"1", 1.0}, {"999999999", 1.0}}, {});
    std::vector<std::string> memo2;
    NoProgress none;
    EXPECT_THROW(ComporResumo(t, memo2, BrazilianNumberFormat(), none), ResumoError);
    EXPECT_LT(memo2.size(), 10U);
}

}  // namespace
}  // namespace kqz::summary
