#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "summary/arquivos.hpp"
#include "summary/error.hpp"
#include "summary/resumo.hpp"
#include "summary/synth/cfe_synth.hpp"
#include "tests/summary/helpers.hpp"
#include "tests/summary/um_documento_cases.hpp"

namespace kqz::summary {
namespace {

using testing::ReadBytes;
using testing::ReadLines;
using testing::TempDir;

constexpr const char* kExemplo = KQZ_TEST_DATA "/summary/exemplo";

std::vector<std::string> Esperado(const std::string& cabecalho) {
    std::vector<std::string> lines{cabecalho, ""};
    for (std::string& l : ReadLines(std::string(kExemplo) + "/esperado.txt")) {
        lines.push_back(std::move(l));
    }
    return lines;
}

// A copy of the example folder, plus files that are not read.
std::string CopiarExemplo(const TempDir& dir) {
    for (const auto& entry : std::filesystem::directory_iterator(kExemplo)) {
        const std::string name = entry.path().filename().string();
        if (name != "esperado.txt") {
            std::filesystem::copy_file(entry.path(), dir.Path(name));
        }
    }
    dir.Write("0-notas.txt", "not a CF-e");
    dir.Write("0-outro.Xml", "not read either: only .xml and .XML");
    std::filesystem::create_directory(dir.Path("0-sub.xml"));
    return dir.Path();
}

TEST(ListarArquivosXml, FolderGivesItsXmlFilesInNameOrder) {
    TempDir dir;
    CopiarExemplo(dir);
    dir.Write("5-minusculo.xml", "");
    const std::vector<std::string> files =
        ListarArquivosXml({dir.Path(), std::string(kExemplo) + "/esperado.txt"});
    const std::vector<std::string> esperado{
        dir.Path("1-venda-000001.XML"),   dir.Path("2-venda-000002.XML"),
        dir.Path("3-CFeCanc-000003.XML"), dir.Path("4-venda-000005.XML"),
        dir.Path("5-minusculo.xml"),      std::string(kExemplo) + "/esperado.txt"};
    EXPECT_EQ(files, esperado);
    EXPECT_THROW(ListarArquivosXml({dir.Path("nao-existe")}), ResumoError);
}

TEST(ResumirArquivos, HeadingFromTheFirstDocumentOrTheOptions) {
    TempDir dir;
    const std::vector<std::string> files = ListarArquivosXml({CopiarExemplo(dir)});
    NoProgress none;
    struct Case {
        const char* name;
        Empresa empresa;
        const char* cabecalho;
    };
    const std::vector<Case> cases{
        {"from the emitter: CNPJ and trade name in upper case",
         {},
         "Empresa: 08723218000186 - PADARIA EXEMPLO"},
        {"from the options", {"11222333000181", "  Outra Loja "}, "Empresa: 11222333000181 - Outra Loja"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(ResumirArquivos(files, c.empresa, BrazilianNumberFormat(), none), Esperado(c.cabecalho));
    }
}

TEST(ResumirArquivos, MalformedFileIsNamed) {
    TempDir dir;
    CopiarExemplo(dir);
    const std::string ruim = dir.Write("2b-quebrado.xml", "<CFe><nCFe>000009</CFe>");
    NoProgress none;
    try {
        ResumirArquivos(ListarArquivosXml({dir.Path()}), {}, BrazilianNumberFormat(), none);
        ADD_FAILURE() << "no error";
    } catch (const ResumoError& e) {
        EXPECT_NE(std::string(e.what()).find(ruim), std::string::npos) << e.what();
    }
}

#ifdef KQZ_CLI
int Rodar(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The built program on a folder: stdout carries the lines, -o the saved file.
TEST(KqzSummary, FolderToStdoutAndFile) {
    if (!std::filesystem::exists(KQZ_CLI)) {
        GTEST_SKIP() << "kqz not built: " << KQZ_CLI;
    }
    TempDir dir;
    TempDir out;
    CopiarExemplo(dir);
    const std::vector<std::string> lines = Esperado("Empresa: 08723218000186 - PADARIA EXEMPLO");
    ASSERT_EQ(Rodar(std::string(KQZ_CLI) + " summary -o '" + out.Path("r.txt") + "' '" + dir.Path() +
                    "' > '" + out.Path("stdout") + "' 2> '" + out.Path("stderr") + "'"),
              0)
        << ReadBytes(out.Path("stderr"));
    std::string stdout_text;
    std::string saved;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        stdout_text += lines[i] + "\n";
        saved += (i > 0 ? "\r\n" : "") + lines[i];
    }
    EXPECT_EQ(ReadBytes(out.Path("stdout")), stdout_text);
    EXPECT_EQ(ReadBytes(out.Path("r.txt")), saved);

    const std::string ruim = dir.Write("2b-quebrado.xml", "<CFe>");
    EXPECT_EQ(Rodar(std::string(KQZ_CLI) + " summary '" + dir.Path() + "' > /dev/null 2> '" +
                    out.Path("stderr") + "'"),
              1);
    const std::string err = ReadBytes(out.Path("stderr"));
    EXPECT_EQ(err.rfind("kqz: ", 0), 0U) << err;
    EXPECT_NE(err.find(ruim), std::string::npos) << err;
}

// A file that is not one document stops the summary: exit code 1, the file and
// the offset on stderr, no report on stdout and no report file.
TEST(KqzSummary, FileThatIsNotOneDocumentWritesNoReport) {
    if (!std::filesystem::exists(KQZ_CLI)) {
        GTEST_SKIP() << "kqz not built: " << KQZ_CLI;
    }
    for (const test::NotOneDocument& c : test::NotOneDocumentCases()) {
        SCOPED_TRACE(c.file);
        TempDir dir;
        TempDir out;
        CopiarExemplo(dir);
        const std::string ruim = dir.Path(std::string("2b-") + c.file);
        std::filesystem::copy_file(test::NotOneDocumentPath(c), ruim);
        EXPECT_EQ(Rodar(std::string(KQZ_CLI) + " summary -o '" + out.Path("r.txt") + "' '" + dir.Path() +
                        "' > '" + out.Path("stdout") + "' 2> '" + out.Path("stderr") + "'"),
                  1);
        const std::string err = ReadBytes(out.Path("stderr"));
        EXPECT_NE(err.find(ruim), std::string::npos) << err;
        EXPECT_NE(err.find(c.message), std::string::npos) << err;
        EXPECT_EQ(ReadBytes(out.Path("stdout")), "");
        EXPECT_FALSE(std::filesystem::exists(out.Path("r.txt")));
    }
}

// Sequences per unit, checks and spreadsheets from the command line, on a
// generated month of two units and the first days of the next.
TEST(KqzSummary, PerSatChecksAndSpreadsheets) {
    if (!std::filesystem::exists(KQZ_CLI)) {
        GTEST_SKIP() << "kqz not built: " << KQZ_CLI;
    }
    TempDir marco;
    TempDir abril;
    TempDir out;
    synth::MonthSpec spec;
    spec.count = 40;
    spec.sat_units = 2;
    spec.gap_permille = 0;
    synth::SaleSpec ultima;
    synth::GenerateMonth(spec, [&](synth::Document&& d) { marco.Write(d.name + ".xml", d.xml); });
    // The last sale of March, cancelled after midnight.
    ultima.emitter = spec.emitter;
    ultima.number = 500;
    ultima.date = {2021, 3, 31};
    ultima.time = {23, 50, 0};
    ultima.items = {{"5102", 990, ""}};
    marco.Write("ultima.xml", synth::MakeSale(ultima));
    synth::CancSpec canc = synth::CancellationOf(ultima, 501);
    canc.date = {2021, 4, 1};
    canc.time = {0, 10, 0};
    abril.Write("canc.xml", synth::MakeCancellation(canc));

    const std::string kqz = std::string(KQZ_CLI) + " summary ";
    const std::string saida = " > '" + out.Path("stdout") + "' 2> '" + out.Path("stderr") + "'";
    ASSERT_EQ(
        Rodar(kqz + "--por-sat --verificar -o '" + out.Path("Resumo.txt") + "' --xlsx '" +
              out.Path("m.xlsx") + "' --csv '" + out.Path("m.csv") + "' '" + marco.Path() + "'" + saida),
        0)
        << ReadBytes(out.Path("stderr")) << ReadBytes(out.Path("stdout"));
    std::string texto = ReadBytes(out.Path("stdout"));
    EXPECT_NE(texto.find("SAT 900004019\n"), std::string::npos) << texto;
    EXPECT_NE(texto.find("SAT 900004020\n"), std::string::npos) << texto;
    EXPECT_NE(texto.find("Nenhum problema encontrado. Documentos verificados: 41."), std::string::npos)
        << texto;
    // The sequence is saved beside the report, with CR LF.
    const std::string sequencia = ReadBytes(out.Path("Sequencia_mar21_08723218000186.txt"));
    EXPECT_EQ(sequencia.rfind("Empresa: 08723218000186 - MERCADO EXEMPLO\r\n\r\nSAT 900004019\r\n", 0), 0U)
        << sequencia.substr(0, 200);
    EXPECT_EQ(ReadBytes(out.Path("m.xlsx")).rfind("PK", 0), 0U);
    EXPECT_EQ(ReadBytes(out.Path("m.csv"))
                  .rfind("\xEF\xBB\xBF"
                         "Data;Número;SAT;Chave;Situação;Valor;",
                         0),
              0U);

    // April alone: the cancellation of March's last sale.
    ASSERT_EQ(Rodar(kqz + "--por-sat '" + abril.Path() + "'" + saida), 0) << ReadBytes(out.Path("stderr"));
    texto = ReadBytes(out.Path("stdout"));
    EXPECT_NE(texto.find("000500 de 03/2021: cancelado no mês seguinte (cancelamento 000501 de 01/04/2021)"),
              std::string::npos)
        << texto;
    // Both months together: matched.
    ASSERT_EQ(Rodar(kqz + "--por-sat '" + marco.Path() + "' '" + abril.Path() + "'" + saida), 0);
    texto = ReadBytes(out.Path("stdout"));
    EXPECT_EQ(texto.find("cancelado no mês seguinte"), std::string::npos) << texto;
    EXPECT_NE(texto.find("| 31/03/2021 |"), std::string::npos) << texto;

    // One changed byte: listed, exit code 1.
    std::string bytes = ReadBytes(marco.Path("ultima.xml"));
    bytes.replace(bytes.find("<vItem>9.90"), 11, "<vItem>9.80");
    marco.Write("ultima.xml", bytes);
    EXPECT_EQ(Rodar(kqz + "--verificar '" + marco.Path() + "'" + saida), 1);
    texto = ReadBytes(out.Path("stdout"));
    EXPECT_NE(texto.find(marco.Path("ultima.xml") + " (SAT 900004019, CF-e 000500): assinatura inválida"),
              std::string::npos)
        << texto;
}

// A file cut short to nothing is an error that names it; a FIFO named *.xml
// is never opened for reading (in a folder it is not listed; named on the
// command line it is refused). `timeout` bounds a run that would hang.
TEST(KqzSummary, EmptyFilesAreErrorsAndFifosNeverBlock) {
    if (!std::filesystem::exists(KQZ_CLI)) {
        GTEST_SKIP() << "kqz not built: " << KQZ_CLI;
    }
    TempDir dir;
    TempDir out;
    CopiarExemplo(dir);
    const std::string fifo = dir.Path("2c-fila.xml");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string run = "timeout 20 " + std::string(KQZ_CLI) + " summary ";
    const std::string quiet = " > /dev/null 2> '" + out.Path("stderr") + "'";
    EXPECT_EQ(Rodar(run + "'" + dir.Path() + "'" + quiet), 0) << ReadBytes(out.Path("stderr"));

    EXPECT_EQ(Rodar(run + "'" + fifo + "'" + quiet), 1);
    EXPECT_NE(ReadBytes(out.Path("stderr")).find(fifo), std::string::npos) << ReadBytes(out.Path("stderr"));

    const std::string vazio = dir.Write("2b-vazio.XML", "");
    EXPECT_EQ(Rodar(run + "'" + dir.Path() + "'" + quiet), 1);
    const std::string err = ReadBytes(out.Path("stderr"));
    EXPECT_NE(err.find(vazio), std::string::npos) << err;
    EXPECT_NE(err.find("arquivo vazio"), std::string::npos) << err;
}
#endif

}  // namespace
}  // namespace kqz::summary
