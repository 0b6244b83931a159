#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "summary/cupom.hpp"
#include "summary/ler_xml.hpp"
#include "summary/sequencia.hpp"
#include "summary/synth/cfe_synth.hpp"

namespace kqz::summary {
namespace {

namespace sy = synth;

constexpr const char* kCnpj = "08723218000186";

// A coupon as the generator writes it, read back through LerXml: the facts
// the sequences use come from the reader, as in the program.
struct Emissor {
    std::string serie;
    sy::Emitter emitter() const {
        sy::Emitter e;
        e.cnpj = kCnpj;
        e.serie = serie;
        return e;
    }
};

sy::SaleSpec Venda(const std::string& serie, int numero, sy::Date data, std::int64_t centavos) {
    sy::SaleSpec s;
    s.emitter = Emissor{serie}.emitter();
    s.number = numero;
    s.date = data;
    s.items = {{"5102", centavos, ""}};
    s.signing = sy::Signing::kRandomFiller;  // the sequences do not look at signatures
    return s;
}

Cupom Ler(const std::string& nome, std::string xml) {
    SummaryTables t;
    return LerXml(t, "/pasta/" + nome + ".xml", std::move(xml)).cupom;
}

Cupom LerVenda(const sy::SaleSpec& s) {
    return Ler(sy::SaleName(sy::SaleKey(s)), sy::MakeSale(s));
}

Cupom LerCancelamento(const sy::CancSpec& c) {
    return Ler(sy::CancName(sy::CancKey(c)), sy::MakeCancellation(c));
}

std::vector<std::string> Faixas(const SequenciaSat& s) {
    std::vector<std::string> out;
    for (const FaixaFaltante& f : s.faixas) {
        out.push_back(FormatarFaixa(f));
    }
    return out;
}

TEST(Sequencias, EachUnitNumbersOnItsOwn) {
    struct Caso {
        const char* nome;
        std::vector<std::pair<std::string, int>> vendas;  // unit, number
        std::vector<std::vector<std::string>> faixas;     // per unit, in serial order
        std::vector<std::pair<int, int>> primeiro_ultimo;
    };
    const std::vector<Caso> casos{
        {"two units, a gap in one: the other's numbers neither fill nor make gaps",
         {{"900000001", 1},
          {"900000002", 1},
          {"900000001", 2},
          {"900000002", 2},
          {"900000001", 6},
          {"900000002", 3},
          {"900000001", 3}},
         {{"000004-000005"}, {}},
         {{1, 6}, {1, 3}}},
        {"one missing number is shown alone",
         {{"900000001", 10}, {"900000001", 12}},
         {{"000011"}},
         {{10, 12}}},
        {"restart after 999999 is not a gap",
         {{"900000001", 999998}, {"900000001", 1}, {"900000001", 999999}, {"900000001", 2}},
         {{}},
         {{999998, 2}}},
        {"a gap across the restart is split at 999999",
         {{"900000001", 999997}, {"900000001", 2}, {"900000001", 3}},
         {{"999998-999999", "000001"}},
         {{999997, 3}}},
        {"a wide gap inside a month without restart stays a gap",
         {{"900000001", 1}, {"900000001", 500000}},
         {{"000002-499999"}},
         {{1, 500000}}},
    };
    for (const Caso& c : casos) {
        SCOPED_TRACE(c.nome);
        std::vector<Cupom> cupons;
        for (const auto& [serie, numero] : c.vendas) {
            cupons.push_back(LerVenda(Venda(serie, numero, {2021, 3, 5}, 1000)));
        }
        const Sequencias seq = CalcularSequencias(cupons);
        ASSERT_EQ(seq.sats.size(), c.faixas.size());
        for (std::size_t i = 0; i < seq.sats.size(); ++i) {
            EXPECT_EQ(Faixas(seq.sats[i]), c.faixas[i]) << seq.sats[i].serie;
            EXPECT_EQ(seq.sats[i].primeiro, c.primeiro_ultimo[i].first);
            EXPECT_EQ(seq.sats[i].ultimo, c.primeiro_ultimo[i].second);
        }
    }
}

// A month of two units with a gap in one, a cancellation taking a number, and
// the per-day figures; then the text, line by line.
TEST(Sequencias, TwoUnitsPerDayAndText) {
    const sy::SaleSpec v1 = Venda("900000001", 1, {2021, 3, 1}, 1000);
    const sy::SaleSpec v2 = Venda("900000001", 2, {2021, 3, 1}, 2550);
    const sy::CancSpec c3 = sy::CancellationOf(v2, 3);  // takes number 3
    const sy::SaleSpec v6 = Venda("900000001", 6, {2021, 3, 2}, 123456);
    const sy::SaleSpec w1 = Venda("900000002", 1, {2021, 3, 2}, 500);
    const std::vector<Cupom> cupons{LerVenda(v1), LerVenda(w1), LerVenda(v2), LerCancelamento(c3),
                                    LerVenda(v6)};
    const Sequencias seq = CalcularSequencias(cupons);
    ASSERT_EQ(seq.sats.size(), 2U);
    const SequenciaSat& a = seq.sats[0];
    EXPECT_EQ(a.serie, "900000001");
    EXPECT_EQ(a.cupons, 3);
    EXPECT_EQ(a.cancelamentos, 1);
    EXPECT_EQ(a.cancelados, 1);
    EXPECT_EQ(a.faltantes, 2);
    EXPECT_EQ(Faixas(a), std::vector<std::string>{"000004-000005"});
    ASSERT_EQ(a.dias.size(), 2U);
    EXPECT_EQ(a.dias[0].data, "01/03/2021");
    EXPECT_EQ(a.dias[0].primeiro, 1);
    EXPECT_EQ(a.dias[0].ultimo, 3);
    EXPECT_EQ(a.dias[0].cupons, 2);
    EXPECT_EQ(a.dias[0].cancelados, 1);
    EXPECT_DOUBLE_EQ(a.dias[0].valor, 10.0);

    const std::vector<std::string> esperado{
        "Empresa: 08723218000186 - MERCADO EXEMPLO",
        "",
        "SAT 900000001",
        "  Primeiro: 000001   Último: 000006",
        "  Cupons: 3   Cancelamentos: 1   Cancelados: 1   Valor: 1.244,56",
        "  Faltantes: 2",
        "    000004-000005",
        "  +------------+----------+----------+--------+------------+---------------+",
        "  | DATA       | PRIMEIRO | ULTIMO   | CUPONS | CANCELADOS |         VALOR |",
        "  +------------+----------+----------+--------+------------+---------------+",
        "  | 01/03/2021 | 000001   | 000003   |      2 |          1 |         10,00 |",
        "  | 02/03/2021 | 000006   | 000006   |      1 |          0 |      1.234,56 |",
        "  +------------+----------+----------+--------+------------+---------------+",
        "",
        "SAT 900000002",
        "  Primeiro: 000001   Último: 000001",
        "  Cupons: 1   Cancelamentos: 0   Cancelados: 0   Valor: 5,00",
        "  Faltantes: nenhum",
        "  +------------+----------+----------+--------+------------+---------------+",
        "  | DATA       | PRIMEIRO | ULTIMO   | CUPONS | CANCELADOS |         VALOR |",
        "  +------------+----------+----------+--------+------------+---------------+",
        "  | 02/03/2021 | 000001   | 000001   |      1 |          0 |          5,00 |",
        "  +------------+----------+----------+--------+------------+---------------+",
    };
    EXPECT_EQ(LinhasSequencia(seq, kCnpj, "MERCADO EXEMPLO", BrazilianNumberFormat()), esperado);
}

// A sale at 23:50 of the last day cancelled at 00:10 of the next month: the
// next month alone reports it; both months read together match it.
TEST(Sequencias, CancellationInTheNextMonth) {
    sy::SaleSpec venda = Venda("900000001", 41, {2021, 3, 31}, 2000);
    venda.time = {23, 50, 0};
    const sy::SaleSpec antes = Venda("900000001", 40, {2021, 3, 31}, 700);
    sy::CancSpec canc = sy::CancellationOf(venda, 42);
    canc.time = {0, 10, 0};
    canc.date = {2021, 4, 1};
    const sy::SaleSpec abril = Venda("900000001", 43, {2021, 4, 1}, 300);

    const std::vector<Cupom> marco{LerVenda(antes), LerVenda(venda)};
    const std::vector<Cupom> so_abril{LerCancelamento(canc), LerVenda(abril)};
    std::vector<Cupom> juntos = marco;
    juntos.insert(juntos.end(), so_abril.begin(), so_abril.end());

    {
        SCOPED_TRACE("the next month alone");
        const Sequencias seq = CalcularSequencias(so_abril);
        ASSERT_EQ(seq.sats.size(), 1U);
        ASSERT_EQ(seq.sats[0].avulsos.size(), 1U);
        EXPECT_TRUE(seq.sats[0].avulsos[0].mes_anterior);
        EXPECT_EQ(seq.sats[0].avulsos[0].numero_venda, "000041");
        EXPECT_TRUE(seq.sats[0].faixas.empty());
        const auto linhas = LinhasSequencia(seq, kCnpj, "X", BrazilianNumberFormat());
        EXPECT_NE(
            std::find(linhas.begin(), linhas.end(),
                      "  000041 de 03/2021: cancelado no mês seguinte (cancelamento 000042 de 01/04/2021)"),
            linhas.end());
    }
    {
        SCOPED_TRACE("both months together");
        const Sequencias seq = CalcularSequencias(juntos);
        ASSERT_EQ(seq.sats.size(), 1U);
        const SequenciaSat& s = seq.sats[0];
        EXPECT_TRUE(s.avulsos.empty());
        EXPECT_EQ(s.cancelados, 1);
        EXPECT_DOUBLE_EQ(s.valor, 10.0);  // 7,00 + 3,00: the cancelled sale is out
        ASSERT_EQ(s.dias.size(), 2U);
        EXPECT_EQ(s.dias[0].data, "31/03/2021");
        EXPECT_EQ(s.dias[0].cancelados, 1);
        EXPECT_EQ(s.dias[1].primeiro, 42);
        EXPECT_EQ(s.dias[1].ultimo, 43);
    }
    {
        SCOPED_TRACE("a cancellation of the same month whose sale is missing");
        sy::CancSpec mesma = sy::CancellationOf(abril, 44);
        const Sequencias seq = CalcularSequencias({LerCancelamento(mesma)});
        ASSERT_EQ(seq.sats[0].avulsos.size(), 1U);
        EXPECT_FALSE(seq.sats[0].avulsos[0].mes_anterior);
    }
}

TEST(Sequencias, FileNames) {
    EXPECT_EQ(NomeArquivoSequencia(MesAbreviado(2021, 3), kCnpj), "Sequencia_mar21_08723218000186.txt");
    EXPECT_EQ(MesAbreviado(2009, 12), "dez09");
    EXPECT_EQ(MesAbreviado(2021, 13), "");
}

// The reader fills the unit's serial into both tables.
TEST(Sequencias, ReaderFillsTheSerial) {
    SummaryTables t;
    LerXml(t, "/p/v.xml", sy::MakeSale(Venda("900000007", 5, {2021, 3, 1}, 100)));
    ASSERT_EQ(t.memTable_Docto.RecordCount(), 1U);
    EXPECT_EQ(t.memTable_Docto.Rows().begin()->second.CZ_SERIAL, "900000007");
    ASSERT_EQ(t.memTable_CFOP.RecordCount(), 1U);
    EXPECT_EQ(t.memTable_CFOP.AllInCfopOrder().front()->Serie, "900000007");
}

}  // namespace
}  // namespace kqz::summary
