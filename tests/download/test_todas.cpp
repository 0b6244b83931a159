#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "download/queries.hpp"
#include "download/todas.hpp"
#include "summary/arquivos.hpp"
#include "summary/progress.hpp"
#include "summary/sequencia.hpp"
#include "summary/synth/cfe_synth.hpp"
#include "tests/download/fake_remote.hpp"

namespace kqz::download {
namespace {

namespace fs = std::filesystem;
namespace sy = summary::synth;

constexpr const char* kLoja = "08723218000186";    // two SAT units, a gap in one
constexpr const char* kOutra = "11222333000181";   // the server fails on its documents
constexpr const char* kVazia = "22333444000155";   // no documents in the month
constexpr const char* kParede = "33444555000190";  // its folder's name is taken by a file

class Vista final : public VistaDeTodas {
  public:
    std::vector<std::string> avisos;
    std::vector<std::string> concluidas;
    void MostrarAviso(const std::string& text, bool) override { avisos.push_back(text); }
    void EmpresaConcluida(const summary::LinhaEmpresa& linha) override {
        concluidas.push_back(linha.cnpj + " " + linha.situacao);
    }
};

sy::SaleSpec Venda(const std::string& cnpj, const std::string& serie, int numero, int dia,
                   std::int64_t centavos) {
    sy::SaleSpec s;
    s.emitter.cnpj = cnpj;
    s.emitter.serie = serie;
    s.number = numero;
    s.date = {2021, 3, dia};
    s.items = {{"5102", centavos, ""}};
    s.signing = sy::Signing::kRandomFiller;
    return s;
}

// The documents answer of a company: one row per coupon, named as the server names them.
codec::Dataset Documentos(const std::string& cnpj, const std::vector<std::string>& xmls,
                          const std::vector<std::string>& nomes, const std::vector<int>& numeros) {
    codec::Dataset ds =
        testing::Tabela({testing::Texto("AD_CNPJ"), testing::Texto("AD_DATA"), testing::Texto("AD_NUMERO"),
                         testing::Col("AD_VALOR", codec::DataType::Double), testing::Memo("AD_XML"),
                         testing::Texto("X_NUMERO")});
    for (std::size_t i = 0; i < xmls.size(); ++i) {
        ds.rows.push_back({cnpj, std::string("2103"), nomes[i], 1.0, xmls[i], std::to_string(numeros[i])});
    }
    return ds;
}

std::string Ler(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct Pasta {
    fs::path path =
        fs::temp_directory_path() / ("kqz-todas-" + std::to_string(::getpid()) + "-" +
                                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
    Pasta() {
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~Pasta() { fs::remove_all(path); }
};

// A month of four companies in list order: a failing one first, so that the
// ones after it show that the run goes on.
TEST(BaixarTodas, EachCompanyInItsFolderAFailureRecordedAndTheNextGoesOn) {
    Pasta pasta;
    testing::FakeRemote remote;

    // The store: unit A numbers 1..4 without a gap, unit B 10, 11, 14 (12-13 missing);
    // the company-wide numbers interleave, as a report by number alone would see them.
    std::vector<sy::SaleSpec> vendas = {
        Venda(kLoja, "900000001", 1, 1, 1000), Venda(kLoja, "900000002", 10, 1, 250),
        Venda(kLoja, "900000001", 2, 2, 500),  Venda(kLoja, "900000002", 11, 2, 700),
        Venda(kLoja, "900000001", 3, 3, 300),  Venda(kLoja, "900000002", 14, 3, 100),
        Venda(kLoja, "900000001", 4, 4, 200),
    };
    std::vector<std::string> xmls;
    std::vector<std::string> nomes;
    std::vector<int> numeros;
    for (const auto& v : vendas) {
        xmls.push_back(sy::MakeSale(v));
        nomes.push_back(sy::SaleName(sy::SaleKey(v)));
        numeros.push_back(v.number);
    }
    remote.answers[ConsultaDocumentos(kLoja, "2103")] = Documentos(kLoja, xmls, nomes, numeros);
    remote.answers[ConsultaDocumentos(kParede, "2103")] =
        Documentos(kParede, {sy::MakeSale(Venda(kParede, "900000009", 1, 1, 100))}, {"CFe-1"}, {1});
    // kOutra has no answer: the server fails on it.
    std::ofstream(pasta.path / kParede) << "not a folder";

    const std::vector<EmpresaDoMes> empresas = {
        {kOutra, "OUTRA", 3}, {kLoja, "MERCADO EXEMPLO", 7}, {kVazia, "VAZIA", 0}, {kParede, "PAREDE", 1}};
    OpcoesDeTodas opcoes;
    opcoes.mes = "2103";
    opcoes.mmmaa = "mar21";
    opcoes.formato = summary::BrazilianNumberFormat();
    opcoes.detalheDaFalha = [] { return std::string("conexão recusada"); };
    Vista vista;
    NoProgress progresso;
    const ResultadoDoMes r = BaixarTodas(empresas, pasta.path, opcoes, remote, vista, progresso);

    ASSERT_EQ(r.linhas.size(), 4u);
    EXPECT_EQ(r.falhas, 2u);
    EXPECT_FALSE(r.ok());
    EXPECT_EQ(vista.concluidas.size(), 4u);

    EXPECT_EQ(r.linhas[0].situacao, "FALHA: conexão recusada");
    EXPECT_TRUE(Falhou(r.linhas[0]));

    const summary::LinhaEmpresa& loja = r.linhas[1];
    EXPECT_EQ(loja.situacao, kSituacaoOk);
    EXPECT_EQ(loja.cupons, 7);
    EXPECT_EQ(loja.cancelados, 0);
    EXPECT_DOUBLE_EQ(loja.valor_vendido, 30.50);
    EXPECT_DOUBLE_EQ(loja.por_cfop.at("5102"), 30.50);
    EXPECT_EQ(loja.sats, 2);
    EXPECT_EQ(loja.faltantes, 2);  // 12 and 13 of unit B only

    EXPECT_EQ(r.linhas[2].situacao, kSemDocumentos);
    EXPECT_FALSE(Falhou(r.linhas[2]));
    EXPECT_FALSE(fs::exists(pasta.path / kVazia));

    EXPECT_TRUE(Falhou(r.linhas[3])) << r.linhas[3].situacao;

    // The store's folder: its files, the summary exactly as the summary of
    // those files composes it (CR LF between lines), and the sequences.
    const fs::path loja_pasta = pasta.path / kLoja;
    std::vector<std::string> arquivos;
    for (const auto& nome : nomes) {
        arquivos.push_back((loja_pasta / (nome + ".XML")).string());
        EXPECT_TRUE(fs::is_regular_file(arquivos.back())) << arquivos.back();
    }
    summary::Empresa empresa;
    empresa.cnpj = kLoja;
    empresa.nome = "MERCADO EXEMPLO";
    std::string esperado;
    for (const std::string& linha :
         summary::ResumirArquivos(arquivos, empresa, summary::BrazilianNumberFormat(), progresso)) {
        esperado += (esperado.empty() ? "" : "\r\n") + linha;
    }
    EXPECT_EQ(Ler(loja_pasta / "Resumo_mar21_08723218000186.txt"), esperado);
    const std::string sequencia = Ler(loja_pasta / "Sequencia_mar21_08723218000186.txt");
    EXPECT_NE(sequencia.find("000012-000013"), std::string::npos) << sequencia;
    EXPECT_EQ(sequencia.find("000005"), std::string::npos) << sequencia;  // no false gap in unit A
}

TEST(BaixarTodas, ACnpjThatCannotNameAFolderIsAFailureAndNothingIsWrittenOutside) {
    Pasta pasta;
    testing::FakeRemote remote;
    const std::string ruim = "../fora";
    remote.answers[ConsultaDocumentos(ruim, "2103")] =
        Documentos(ruim, {sy::MakeSale(Venda(kLoja, "900000001", 1, 1, 100))}, {"CFe-1"}, {1});
    OpcoesDeTodas opcoes;
    opcoes.mes = "2103";
    opcoes.mmmaa = "mar21";
    Vista vista;
    NoProgress progresso;
    const ResultadoDoMes r =
        BaixarTodas({{ruim, "RUIM", 1}}, pasta.path / "dentro", opcoes, remote, vista, progresso);
    ASSERT_EQ(r.linhas.size(), 1u);
    EXPECT_TRUE(Falhou(r.linhas[0]));
    EXPECT_NE(r.linhas[0].situacao.find("CNPJ inválido"), std::string::npos) << r.linhas[0].situacao;
    EXPECT_FALSE(fs::exists(pasta.path / "fora"));
    EXPECT_TRUE(remote.sent.empty());
}

TEST(BaixarTodas, TheSummaryIsNamedAsTheSummaryWindowProposes) {
    EXPECT_EQ(NomeArquivoResumo("mar21", kLoja), "Resumo_mar21_08723218000186.txt");
    EXPECT_EQ(NomeArquivoResumo(summary::MesAbreviado(2026, 5), kLoja), "Resumo_mai26_08723218000186.txt");
}

}  // namespace
}  // namespace kqz::download
