#include <gtest/gtest.h>

#include <pugixml.hpp>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "summary/error.hpp"
#include "summary/ler_xml.hpp"
#include "summary/planilha.hpp"
#include "summary/sequencia.hpp"
#include "summary/synth/cfe_synth.hpp"
#include "tests/summary/helpers.hpp"

namespace kqz::summary {
namespace {

namespace sy = synth;
using testing::ReadBytes;
using testing::TempDir;

// One member of a zip file, through the unzip program.
std::string Membro(const std::string& zip, const std::string& nome) {
    const std::string cmd = "unzip -p '" + zip + "' '" + nome + "' 2>/dev/null";
    FILE* p = ::popen(cmd.c_str(), "r");
    std::string out;
    if (p == nullptr) {
        return out;
    }
    char buf[4096];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
        out.append(buf, n);
    }
    ::pclose(p);
    return out;
}

// A sheet read back: cell reference -> (type attribute, style, value or inline text).
struct CelulaLida {
    std::string tipo;
    std::string estilo;
    std::string valor;
};
struct Aba {
    std::map<std::string, CelulaLida> celulas;
    pugi::xml_document xml;
};

void LerAba(const std::string& texto, Aba& aba) {
    ASSERT_TRUE(aba.xml.load_string(texto.c_str())) << texto.substr(0, 200);
    for (const auto& row : aba.xml.child("worksheet").child("sheetData").children("row")) {
        for (const auto& c : row.children("c")) {
            CelulaLida cel;
            cel.tipo = c.attribute("t").value();
            cel.estilo = c.attribute("s").value();
            cel.valor = cel.tipo == "inlineStr" ? c.child("is").child_value("t") : c.child_value("v");
            aba.celulas[c.attribute("r").value()] = cel;
        }
    }
}

// The number format code of a cell style index, from styles.xml.
std::string Formato(const pugi::xml_document& estilos, const std::string& s) {
    const auto xfs = estilos.child("styleSheet").child("cellXfs");
    int i = 0;
    for (const auto& xf : xfs.children("xf")) {
        if (std::to_string(i++) == s) {
            const std::string id = xf.attribute("numFmtId").value();
            for (const auto& f : estilos.child("styleSheet").child("numFmts").children("numFmt")) {
                if (id == f.attribute("numFmtId").value()) {
                    return f.attribute("formatCode").value();
                }
            }
            return "builtin " + id;
        }
    }
    return "?";
}

Cupom Ler(const std::string& nome, std::string xml) {
    SummaryTables t;
    return LerXml(t, "/pasta/" + nome + ".xml", std::move(xml)).cupom;
}

// A small month: a sale of two CFOPs, a sale cancelled, its cancellation, and
// a sale of a second unit.
std::vector<Cupom> Mes() {
    sy::SaleSpec v1;
    v1.number = 1;
    v1.date = {2021, 3, 19};
    v1.items = {{"5102", 1000, ""}, {"5405", 123456, ""}, {"5102", 590, ""}};
    sy::SaleSpec v2 = v1;
    v2.number = 2;
    v2.items = {{"5102", 1250, ""}};
    const sy::CancSpec c3 = sy::CancellationOf(v2, 3);
    sy::SaleSpec w1 = v1;
    w1.emitter.serie = "900004020";
    w1.date = {2021, 3, 20};
    w1.items = {{"5101", 500, ""}};
    return {Ler("v1", sy::MakeSale(v1)), Ler("v2", sy::MakeSale(v2)),
            Ler(sy::CancName(sy::CancKey(c3)), sy::MakeCancellation(c3)), Ler("w1", sy::MakeSale(w1))};
}

TEST(Planilha, XlsxReadBack) {
    const std::vector<Cupom> cupons = Mes();
    const Sequencias seq = CalcularSequencias(cupons);
    Verificacao v;
    v.documentos = 4;
    v.problemas.push_back({"/pasta/x.xml", "900004019", "000009", "assinatura inválida: teste"});
    TempDir dir;
    const std::string path = dir.Path("mes.xlsx");
    SalvarXlsx(path, TabelasDoMes(cupons, seq, &v));

    pugi::xml_document wb;
    ASSERT_TRUE(wb.load_string(Membro(path, "xl/workbook.xml").c_str()));
    std::vector<std::string> abas;
    for (const auto& s : wb.child("workbook").child("sheets").children("sheet")) {
        abas.push_back(s.attribute("name").value());
    }
    EXPECT_EQ(abas, (std::vector<std::string>{"Documentos", "CFOP", "Sequência por SAT", "Verificação"}));
    pugi::xml_document estilos;
    ASSERT_TRUE(estilos.load_string(Membro(path, "xl/styles.xml").c_str()));

    Aba docs;
    LerAba(Membro(path, "xl/worksheets/sheet1.xml"), docs);
    // Header: the fixed columns, then one per CFOP in order.
    const std::vector<std::pair<std::string, std::string>> cabecalho{
        {"A1", "Data"},  {"B1", "Número"}, {"C1", "SAT"},  {"D1", "Chave"}, {"E1", "Situação"},
        {"F1", "Valor"}, {"G1", "5101"},   {"H1", "5102"}, {"I1", "5405"}};
    for (const auto& [ref, texto] : cabecalho) {
        EXPECT_EQ(docs.celulas[ref].valor, texto) << ref;
    }
    // Row 2: the first sale. Its date is a date serial (19/03/2021 = 44274)
    // with a day/month/year format; values are numbers with two decimals.
    EXPECT_EQ(docs.celulas["A2"].tipo, "");
    EXPECT_EQ(docs.celulas["A2"].valor, "44274");
    EXPECT_EQ(Formato(estilos, docs.celulas["A2"].estilo), "dd/mm/yyyy");
    EXPECT_EQ(docs.celulas["B2"].valor, "1");
    EXPECT_EQ(Formato(estilos, docs.celulas["B2"].estilo), "000000");
    EXPECT_EQ(docs.celulas["C2"].valor, "900004019");
    EXPECT_EQ(docs.celulas["D2"].valor.size(), 44U);
    EXPECT_EQ(docs.celulas["E2"].valor, "Venda");
    EXPECT_EQ(docs.celulas["F2"].valor, "1250.46");
    EXPECT_EQ(Formato(estilos, docs.celulas["F2"].estilo), "#,##0.00");
    EXPECT_EQ(docs.celulas.count("G2"), 0U);
    EXPECT_EQ(docs.celulas["H2"].valor, "15.9");
    EXPECT_EQ(docs.celulas["I2"].valor, "1234.56");
    EXPECT_EQ(docs.celulas["E3"].valor, "Cancelada");
    EXPECT_EQ(docs.celulas["E4"].valor, "Cancelamento");
    EXPECT_EQ(docs.celulas.count("F4"), 0U);
    EXPECT_EQ(docs.celulas["C5"].valor, "900004020");
    // Frozen header row, autofilter over the table, a width for every column.
    const auto ws = docs.xml.child("worksheet");
    const auto pane = ws.child("sheetViews").child("sheetView").child("pane");
    EXPECT_EQ(std::string(pane.attribute("state").value()), "frozen");
    EXPECT_EQ(std::string(pane.attribute("ySplit").value()), "1");
    EXPECT_EQ(std::string(ws.child("autoFilter").attribute("ref").value()), "A1:I5");
    const auto col_chave = ws.child("cols").find_child_by_attribute("col", "min", "4");
    EXPECT_GE(col_chave.attribute("width").as_double(), 44.0);

    Aba cfop;
    LerAba(Membro(path, "xl/worksheets/sheet2.xml"), cfop);
    // The cancelled sale's items are out of the totals.
    EXPECT_EQ(cfop.celulas["A2"].valor, "5101");
    EXPECT_EQ(cfop.celulas["C2"].valor, "5");
    EXPECT_EQ(cfop.celulas["A3"].valor, "5102");
    EXPECT_EQ(cfop.celulas["C3"].valor, "15.9");
    EXPECT_EQ(cfop.celulas["A5"].valor, "Total");
    EXPECT_EQ(cfop.celulas["C5"].valor, "1255.46");

    Aba sat;
    LerAba(Membro(path, "xl/worksheets/sheet3.xml"), sat);
    EXPECT_EQ(sat.celulas["A2"].valor, "900004019");
    EXPECT_EQ(sat.celulas["D2"].valor, "2");  // coupons
    EXPECT_EQ(sat.celulas["F2"].valor, "1");  // cancelled
    EXPECT_EQ(sat.celulas["A3"].valor, "900004020");
    EXPECT_EQ(sat.celulas["B5"].valor, "Data");  // the per-day table's header
    EXPECT_EQ(std::string(sat.xml.child("worksheet").child("autoFilter").attribute("ref").value()), "A1:I3");

    Aba ver;
    LerAba(Membro(path, "xl/worksheets/sheet4.xml"), ver);
    EXPECT_EQ(ver.celulas["D2"].valor, "assinatura inválida: teste");
}

TEST(Planilha, EmpresasSheet) {
    const std::vector<Cupom> cupons = Mes();
    const Sequencias seq = CalcularSequencias(cupons);
    std::vector<LinhaEmpresa> linhas{LinhaDaEmpresa("08723218000186", "MERCADO EXEMPLO", cupons, seq, "OK")};
    LinhaEmpresa falha;
    falha.cnpj = "11222333000181";
    falha.nome = "OUTRA";
    falha.situacao = "Não consegui acessar o servidor na nuvem !";
    linhas.push_back(falha);
    EXPECT_EQ(linhas[0].cupons, 3);
    EXPECT_EQ(linhas[0].cancelados, 1);
    EXPECT_DOUBLE_EQ(linhas[0].valor_vendido, 1255.46);
    EXPECT_EQ(linhas[0].sats, 2);
    EXPECT_EQ(linhas[0].faltantes, 0);

    TempDir dir;
    SalvarXlsx(dir.Path("empresas.xlsx"), {TabelaEmpresas(linhas)});
    Aba aba;
    LerAba(Membro(dir.Path("empresas.xlsx"), "xl/worksheets/sheet1.xml"), aba);
    const std::vector<std::pair<std::string, std::string>> esperado{
        {"A1", "CNPJ"},
        {"E1", "Valor vendido"},
        {"F1", "5101"},
        {"G1", "5102"},
        {"H1", "5405"},
        {"I1", "SATs"},
        {"J1", "Cupons faltantes"},
        {"K1", "Situação"},
        {"A2", "08723218000186"},
        {"C2", "3"},
        {"D2", "1"},
        {"E2", "1255.46"},
        {"I2", "2"},
        {"K2", "OK"},
        {"A3", "11222333000181"},
        {"K3", "Não consegui acessar o servidor na nuvem !"}};
    for (const auto& [ref, valor] : esperado) {
        EXPECT_EQ(aba.celulas[ref].valor, valor) << ref;
    }
    EXPECT_EQ(aba.celulas.count("F3"), 0U);
}

TEST(Planilha, CsvBytes) {
    Tabela t;
    t.nome = "x";
    t.cabecalho = {"Data", "Número", "Nome", "Valor"};
    t.linhas.push_back({Data("20210319"), NumeroCfe(120), Texto("PÃO; \"FRANCÊS\""), Valor(1234.5)});
    t.linhas.push_back({Texto("?"), Inteiro(7), Celula{}, Valor(-0.004)});
    const std::string esperado =
        "\xEF\xBB\xBF"
        "Data;Número;Nome;Valor\r\n"
        "19/03/2021;000120;\"PÃO; \"\"FRANCÊS\"\"\";1234,50\r\n"
        "?;7;;0,00\r\n";
    EXPECT_EQ(TextoCsv(t), esperado);
    TempDir dir;
    SalvarCsv(dir.Path("d.csv"), t);
    EXPECT_EQ(ReadBytes(dir.Path("d.csv")), esperado);
}

TEST(Planilha, FailureNamesThePathAndLeavesNothing) {
    TempDir dir;
    for (const std::string& path : {dir.Path("nao/existe/m.xlsx"), dir.Path()}) {
        SCOPED_TRACE(path);
        try {
            SalvarXlsx(path, {TabelaEmpresas({})});
            ADD_FAILURE() << "no error";
        } catch (const ResumoError& e) {
            EXPECT_NE(std::string(e.what()).find(path), std::string::npos) << e.what();
        }
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 0);
}

}  // namespace
}  // namespace kqz::summary
