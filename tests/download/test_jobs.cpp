#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>

#include "download/documentos.hpp"
#include "download/empresas.hpp"
#include "download/identificacao.hpp"
#include "download/queries.hpp"
#include "summary/progress.hpp"
#include "summary/tables.hpp"
#include "tests/download/fake_remote.hpp"

namespace kqz::download {
namespace {

using testing::Coluna;
using testing::FakeRemote;
namespace fs = std::filesystem;

TEST(Identificar, CasesOfTheEmailField) {
    struct Case {
        const char* campo;
        bool ignorada;
        const char* mensagem;  // nullptr: none
        bool limpar;
        std::vector<std::string> cnpjs;  // empty with ok=false: list kept
        bool listaNova;
        int mostrarLog;        // -1 unchanged, 0 hidden, 1 shown
        const char* consulta;  // expected SQL, nullptr: none sent
    };
    const Case cases[] = {
        {"   ", true, nullptr, false, {}, false, -1, nullptr},
        {"x@a.b", false, kEmailInvalido, true, {}, false, 0, nullptr},
        {"contador@exemplo.com.br",
         false,
         nullptr,
         false,
         {"111", "222", "111"},
         true,
         0,
         "SELECT * FROM KQZ_SADu WHERE AU_EMAIL ='contador@exemplo.com.br'"},
        {"ADMIN@kqz.com.br",
         false,
         nullptr,
         false,
         {"111", "333"},
         true,
         1,
         "SELECT AD_CNPJ AS AU_CNPJ FROM KQZ_SAD GROUP BY AD_CNPJ ORDER BY AD_CNPJ"},
        // With a blank in front the administrator is queried as an ordinary user
        // (the blank inside the quotes), and still sees the log memo.
        {" admin@kqz.com.br",
         false,
         nullptr,
         false,
         {"444"},
         true,
         1,
         "SELECT * FROM KQZ_SADu WHERE AU_EMAIL =' admin@kqz.com.br'"},
        {"ninguem@exemplo.com.br",
         false,
         kEmailNaoLocalizado,
         true,
         {},
         false,
         0,
         "SELECT * FROM KQZ_SADu WHERE AU_EMAIL ='ninguem@exemplo.com.br'"},
        {"fora@do.ar",
         false,
         kFalhaNoServidor,
         false,
         {},
         false,
         -1,
         "SELECT * FROM KQZ_SADu WHERE AU_EMAIL ='fora@do.ar'"},
    };
    FakeRemote remote;
    remote.answers[ConsultaUsuarios("contador@exemplo.com.br")] = Coluna("AU_CNPJ", {"111", "222", "111"});
    remote.answers[ConsultaUsuariosAdministrador()] = Coluna("AU_CNPJ", {"111", "333"});
    remote.answers[ConsultaUsuarios(" admin@kqz.com.br")] = Coluna("AU_CNPJ", {"444"});
    remote.answers[ConsultaUsuarios("ninguem@exemplo.com.br")] = Coluna("AU_CNPJ", {});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.campo);
        remote.sent.clear();
        cloud::MemTable usuarios;
        const Identificacao r = Identificar(c.campo, remote, usuarios);
        EXPECT_EQ(r.ignorada, c.ignorada);
        EXPECT_EQ(r.mensagem.value_or(""), c.mensagem ? c.mensagem : "");
        EXPECT_EQ(r.limparCampo, c.limpar);
        EXPECT_EQ(r.cnpjs.has_value(), c.listaNova);
        if (r.cnpjs) {
            EXPECT_EQ(*r.cnpjs, c.cnpjs);
        }
        EXPECT_EQ(r.mostrarLog.has_value() ? (*r.mostrarLog ? 1 : 0) : -1, c.mostrarLog);
        EXPECT_EQ(remote.sent,
                  c.consulta ? std::vector<std::string>{c.consulta} : std::vector<std::string>{});
    }
}

// Records what the listing shows.
class Lista final : public VistaDaListagem {
  public:
    std::vector<EmpresaListada> itens;
    std::vector<std::string> log;
    bool avisoVisivel = false;
    void MostrarAviso(const std::string&) override { avisoVisivel = true; }
    void EsconderAviso() override { avisoVisivel = false; }
    void IniciarLista() override { itens.clear(); }
    void AdicionarEmpresa(const EmpresaListada& e) override { itens.push_back(e); }
    void ConcluirLista() override {}
    void DefinirLog(const std::string& text) override { log = {text}; }
    void AdicionarLog(const std::string& line) override { log.push_back(line); }
};

codec::Dataset Empresas(const std::vector<std::pair<std::string, std::string>>& rows) {
    codec::Dataset ds = testing::Tabela({testing::Texto("M00_FANT"), testing::Texto("M00_CNPJ")});
    for (const auto& [fant, cnpj] : rows) {
        ds.rows.push_back({fant, cnpj});
    }
    return ds;
}

codec::Dataset Quantidade(std::int64_t n) {
    return testing::Tabela({testing::Inteiro("QuantidadeDeRegistros")}, {{n}});
}

TEST(ListarEmpresas, FillsTheItemsAndTheLog) {
    FakeRemote remote;
    const std::vector<std::string> cnpjs{"111", "222", "333"};
    remote.answers[ConsultaEmpresas(cnpjs)] =
        Empresas({{"padaria são joão", "111"}, {"Mercado", "222"}, {"Vazia", "333"}});
    remote.answers[ConsultaQuantidade("111", "2103")] = Quantidade(1);
    remote.answers[ConsultaQuantidade("222", "2103")] = Quantidade(12);
    remote.answers[ConsultaQuantidade("333", "2103")] = Quantidade(0);

    for (const std::string email : {"admin@kqz.com.br", "contador@exemplo.com.br"}) {
        SCOPED_TRACE(email);
        cloud::MemTable empresas, arquivos;
        Lista vista;
        NoProgress progresso;
        ASSERT_TRUE(ListarEmpresas(email, cnpjs, "2103", remote, empresas, arquivos, vista, progresso).ok());
        ASSERT_EQ(vista.itens.size(), 3u);
        EXPECT_EQ(vista.itens[0].Text1, "PADARIA SãO JOãO");
        EXPECT_EQ(vista.itens[0].Text6, "1 XML");
        EXPECT_EQ(vista.itens[1].Text6, "12 XMLs");
        EXPECT_EQ(vista.itens[2].Text6, "");
        EXPECT_EQ(vista.itens[2].Text3 + vista.itens[2].Text4 + vista.itens[2].Text7,
                  "Empresa: CNPJ: Ver detalhes");
        const std::vector<std::string> adminLog{"Quantidade de empresas: 3", "111-padaria são joão",
                                                "222-Mercado", "333-Vazia"};
        EXPECT_EQ(vista.log, email == std::string("admin@kqz.com.br")
                                 ? adminLog
                                 : std::vector<std::string>{"Quantidade de empresas: 3"});
        EXPECT_FALSE(vista.avisoVisivel);
    }
}

TEST(ListarEmpresas, RefusesABlankEmailAndStopsOnAServerFailure) {
    FakeRemote remote;
    cloud::MemTable empresas, arquivos;
    Lista vista;
    NoProgress progresso;
    EXPECT_EQ(ListarEmpresas("  ", {}, "2103", remote, empresas, arquivos, vista, progresso).mensagem,
              kInformeEmail);
    EXPECT_TRUE(remote.sent.empty());

    // The companies answer, a count does not: the listing stops with the server
    // message instead of showing the previous company's count.
    remote.answers[ConsultaEmpresas({"111", "222"})] = Empresas({{"A", "111"}, {"B", "222"}});
    remote.answers[ConsultaQuantidade("111", "2103")] = Quantidade(5);
    const Listagem r =
        ListarEmpresas("a@bc.de", {"111", "222"}, "2103", remote, empresas, arquivos, vista, progresso);
    EXPECT_EQ(r.mensagem, kFalhaNoServidor);
    ASSERT_EQ(vista.itens.size(), 1u);
    EXPECT_EQ(vista.itens[0].Text6, "5 XMLs");
    EXPECT_FALSE(vista.avisoVisivel);
}

// Records what the download shows.
class Baixar final : public VistaDoDownload {
  public:
    std::vector<std::string> log;
    std::string aviso;
    void MostrarAviso(const std::string& text) override { aviso = text; }
    void EsconderAviso() override {}
    void LimparLog() override { log.clear(); }
    void AdicionarLog(const std::string& line) override { log.push_back(line); }
};

std::string Venda(const std::string& numero, const char* valor) {
    return "<?xml version=\"1.0\"?>\n<CFe><infCFe><ide><nCFe>" + numero +
           "</nCFe><dEmi>20210319</dEmi></ide>\n<det "
           "nItem=\"1\"><prod><CFOP>5102</CFOP></prod><imposto><vItem>" +
           valor + "</vItem></imposto></det><total><vCFe>" + valor +
           "</vCFe></total><pgto><MP><cMP>01</cMP><vMP>" + valor + "</vMP></MP></pgto></infCFe></CFe>\n";
}

codec::Dataset Documentos(const std::vector<std::tuple<std::string, std::string, std::string>>& rows) {
    codec::Dataset ds =
        testing::Tabela({testing::Texto("AD_CNPJ"), testing::Texto("AD_DATA"), testing::Texto("AD_NUMERO"),
                         testing::Col("AD_VALOR", codec::DataType::Double), testing::Memo("AD_XML"),
                         testing::Texto("X_NUMERO")});
    for (const auto& [numero, xml, x] : rows) {
        ds.rows.push_back({std::string("111"), std::string("2103"), numero, 1.5, xml, x});
    }
    return ds;
}

// Everything one download needs: the canned server, a folder that is removed
// afterwards, and the tables and views it fills.
struct Cenario {
    FakeRemote remote;
    fs::path pasta =
        fs::temp_directory_path() / ("kqz-jobs-" + std::to_string(::getpid()) + "-" +
                                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
    cloud::MemTable arquivos;
    ListaDeDocumentos lista;
    summary::SummaryTables tabelas;
    Baixar vista;
    NoProgress progresso;

    explicit Cenario(std::optional<codec::Dataset> answer) {
        fs::remove_all(pasta);
        if (answer) {
            remote.answers[ConsultaDocumentos("111", "2103")] = std::move(*answer);
        }
    }
    ~Cenario() { fs::remove_all(pasta); }

    Download Executar(const fs::path& destino) {
        return BaixarDocumentos("111", "2103", destino, remote, arquivos, lista, tabelas, vista, progresso);
    }
};

std::string Ler(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(BaixarDocumentos, WritesEveryFileReadsItAndLogsTheSequence) {
    Cenario c(Documentos({
        {"CFe1-000001", Venda("000001", "10.00"), "000001"},
        {"CFe1-000002", Venda("000002", "2.50"), "000002"},
        {"CFe1-000005", Venda("000005", "7.00"), "000005"},
        {"CFe1-000005", Venda("000005", "7.00"), "000005"},  // same name: replaces, both are read
    }));
    const fs::path destino = c.pasta / "a" / "b";  // parents are created
    const Download r = c.Executar(destino);

    ASSERT_TRUE(r.ok()) << r.mensagem;
    EXPECT_EQ(r.quantidade, 4u);
    EXPECT_EQ(c.vista.log, (std::vector<std::string>{"Primeiro CFe...: 000001", "Falta CFe....: 3 <<<****",
                                                     "Falta CFe....: 4 <<<****", "Ultimo CFe.....: 000005"}));
    EXPECT_EQ(c.vista.aviso, "Baixando 4/4");
    EXPECT_EQ(fs::directory_iterator(destino)->path().extension(), ".XML");
    EXPECT_EQ(
        Ler(destino / "CFe1-000002.XML"),
        "<?xml version=\"1.0\"?>\r\n<CFe><infCFe><ide><nCFe>000002</nCFe><dEmi>20210319</dEmi></ide>\r\n"
        "<det nItem=\"1\"><prod><CFOP>5102</CFOP></prod><imposto><vItem>2.50</vItem></imposto></det>"
        "<total><vCFe>2.50</vCFe></total><pgto><MP><cMP>01</cMP><vMP>2.50</vMP></MP></pgto></infCFe></CFe>");
    EXPECT_EQ(c.tabelas.memTable_Docto.RecordCount(), 4u);
    EXPECT_EQ(c.lista.ListView_ArquivosXML.size(), 4u);
    EXPECT_EQ(c.lista.ListView_ArquivosXML[0].Text1, "CFe1-000001");
    EXPECT_EQ(c.lista.Memo1, Venda("000005", "7.00"));
}

TEST(BaixarDocumentos, RefusesWithoutWritingAnything) {
    struct Case {
        const char* what;
        codec::Dataset answer;
        std::string mensagem;
    };
    const Case cases[] = {
        {"no rows", Documentos({}), kNenhumArquivo},
        {"a name that climbs out of the folder",
         Documentos({{"CFe1-000001", Venda("000001", "1.00"), "000001"},
                     {"../../etc/x", Venda("000002", "1.00"), "000002"}}),
         "Nome de arquivo inválido recebido do servidor (contém \"..\"): \"../../etc/x\" !"},
        {"a separator", Documentos({{"sub/CFe", Venda("000001", "1.00"), "000001"}}),
         "Nome de arquivo inválido recebido do servidor (contém separador de pastas): \"sub/CFe\" !"},
        {"terminal escapes", Documentos({{"CFe\x1B]0;x\x07", Venda("000001", "1.00"), "000001"}}),
         "Nome de arquivo inválido recebido do servidor (contém caractere de controle): "
         "\"CFe\\x1B]0;x\\x07\" !"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Cenario cenario(c.answer);
        EXPECT_EQ(cenario.Executar(cenario.pasta).mensagem, c.mensagem);
        EXPECT_FALSE(fs::exists(cenario.pasta));
        EXPECT_EQ(cenario.tabelas.memTable_Docto.RecordCount(), 0u);
    }

    // A server that does not answer: nothing is written either.
    Cenario semResposta(std::nullopt);
    EXPECT_EQ(semResposta.Executar(semResposta.pasta).mensagem, kFalhaNoServidor);
    EXPECT_FALSE(fs::exists(semResposta.pasta));
}

TEST(BaixarDocumentos, TheMissingCouponLinesAreBoundedLikeTheReport) {
    Cenario c(Documentos({
        {"CFe1-000001", Venda("000001", "1.00"), "-99999"},
        {"CFe1-000002", Venda("000002", "1.00"), "999999"},
        {"CFe1-000003", Venda("000003", "1.00"), "1000002"},
    }));
    ASSERT_TRUE(c.Executar(c.pasta).ok());
    // 999,999 listed of the 1,099,997 + 2 missing numbers, then the rest counted.
    ASSERT_EQ(c.vista.log.size(), 1u + 999999u + 1u + 1u);
    EXPECT_EQ(c.vista.log[1], "Falta CFe....: -99998 <<<****");
    EXPECT_EQ(c.vista.log[999999], "Falta CFe....: 900000 <<<****");
    EXPECT_EQ(c.vista.log[1000000], "Falta CFe....: mais 100000 números não listados <<<****");
    EXPECT_EQ(c.vista.log.back(), "Ultimo CFe.....: 1000002");
}

TEST(BaixarDocumentos, ADocumentTheReaderRejectsIsTheLastOneWrittenAndNoTemporaryFileStays) {
    Cenario c(Documentos({
        {"CFe1-000001", Venda("000001", "1.00"), "000001"},
        {"CFe1-000002", "<CFe><infCFe>", "000002"},
        {"CFe1-000003", Venda("000003", "1.00"), "000003"},
    }));
    try {
        c.Executar(c.pasta);
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("2 de 3 documento(s) gravado(s)"), std::string::npos)
            << e.what();
    }
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(c.pasta)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"CFe1-000001.XML", "CFe1-000002.XML"}));
}

TEST(BaixarDocumentos, StopsAtACouponNumberThatIsNotAWholeNumber) {
    Cenario c(Documentos({
        {"CFe1-000001", Venda("000001", "1.00"), "000001"},
        {"CFe1-00000X", Venda("000002", "1.00"), "00000X"},
    }));
    try {
        c.Executar(c.pasta);
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("CFe1-00000X"), std::string::npos) << e.what();
        // It says which documents are on disk.
        EXPECT_NE(std::string(e.what()).find("(1 de 2 documento(s) gravado(s) em " + c.pasta.string() +
                                             ", do primeiro até CFe1-000001)"),
                  std::string::npos)
            << e.what();
    }
    // The document before it was written and read; the bad one was not written.
    EXPECT_TRUE(fs::exists(c.pasta / "CFe1-000001.XML"));
    EXPECT_FALSE(fs::exists(c.pasta / "CFe1-00000X.XML"));
    EXPECT_EQ(c.tabelas.memTable_Docto.RecordCount(), 1u);
}

}  // namespace
}  // namespace kqz::download
