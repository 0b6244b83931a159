// The command line against a real kqz-server: identification, company list,
// download, summary, and the refusals.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/e2e/server_process.hpp"
#include "tests/e2e/test_data.hpp"

namespace kqz::testing {
namespace {

namespace fs = std::filesystem;

std::string Ler(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> Linhas(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream s(text);
    for (std::string line; std::getline(s, line);) {
        lines.push_back(line);
    }
    return lines;
}

class CommandLine : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir_ = fs::temp_directory_path() / ("kqz-e2e-cli-" + std::to_string(::getpid()));
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        db_ = CriarBanco(KQZ_SERVER_BINARY, dir_);
        server_ = new ServerProcess(KQZ_SERVER_BINARY, db_, dir_);
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
        fs::remove_all(dir_);
    }

    static Saida Kqz(std::vector<std::string> args) {
        args.insert(args.begin(), KQZ_CLI_BINARY);
        if (std::find(args.begin(), args.end(), "--server") == args.end()) {
            args.push_back("--server");
            args.push_back(server_->Url());
        }
        return Executar(args, dir_);
    }

    static fs::path dir_;
    static std::string db_;
    static ServerProcess* server_;
};

fs::path CommandLine::dir_;
std::string CommandLine::db_;
ServerProcess* CommandLine::server_ = nullptr;

TEST_F(CommandLine, CompaniesListsWhatTheEmailSeesWithTheMonthsCounts) {
    const Saida saida = Kqz({"companies", "--email", kEmail, "--month", "2021-03"});
    ASSERT_EQ(saida.status, 0) << saida.err;
    auto lines = Linhas(saida.out);
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"11222333000181\tPADARIA SãO JOãO\t4",
                                               "22333444000155\tMERCADO CENTRAL\t1"}));

    const Saida vazio = Kqz({"companies", "--email", kEmail, "--month", "2021-04"});
    ASSERT_EQ(vazio.status, 0) << vazio.err;
    EXPECT_NE(vazio.out.find("11222333000181\tPADARIA SãO JOãO\t0"), std::string::npos) << vazio.out;

    // The e-mail is taken as the window takes it: trimmed, in lower case.
    const Saida escrito = Kqz({"companies", "--email", " CONTADOR@EXEMPLO.COM.BR ", "--month", "2021-03"});
    ASSERT_EQ(escrito.status, 0) << escrito.err;
    EXPECT_EQ(escrito.out, saida.out);
}

TEST_F(CommandLine, DownloadWritesTheFilesAndPrintsTheSummary) {
    const fs::path out = dir_ / "baixados" / "padaria";
    const fs::path resumo = dir_ / "resumo.txt";
    const Saida saida = Kqz({"download", "--email", kEmail, "--cnpj", kCnpjPadaria, "--month", "2021-03",
                             "--out", out.string(), "-o", resumo.string()});
    ASSERT_EQ(saida.status, 0) << saida.err;

    std::vector<std::string> expected{"Empresa: 11222333000181 - PADARIA SãO JOãO", ""};
    const auto report = RelatorioEsperado();
    expected.insert(expected.end(), report.begin(), report.end());
    EXPECT_EQ(Linhas(saida.out), expected);

    std::string saved;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        saved += (i ? "\r\n" : "") + expected[i];
    }
    EXPECT_EQ(Ler(resumo), saved);

    std::vector<std::string> files;
    for (const auto& entry : fs::directory_iterator(out)) {
        files.push_back(entry.path().filename().string());
        const std::string text = Ler(entry.path());
        // Every line break of a document file is CR LF.
        for (std::size_t i = text.find('\n'); i != std::string::npos; i = text.find('\n', i + 1)) {
            ASSERT_TRUE(i > 0 && text[i - 1] == '\r') << entry.path();
        }
    }
    ASSERT_EQ(files.size(), 4u);
    EXPECT_EQ(std::count_if(
                  files.begin(), files.end(),
                  [](const std::string& f) { return f.rfind("CFeCanc", 0) == 0 && f.ends_with("-CA.XML"); }),
              1);
    EXPECT_NE(saida.err.find("Primeiro CFe...: 000001"), std::string::npos) << saida.err;
    EXPECT_NE(saida.err.find("Falta CFe....: 4 <<<****"), std::string::npos) << saida.err;
    EXPECT_NE(saida.err.find("Ultimo CFe.....: 000005"), std::string::npos) << saida.err;
}

TEST_F(CommandLine, RefusesWithAClearMessageAndANonZeroExit) {
    struct Case {
        std::vector<std::string> args;
        const char* message;
    };
    const Case cases[] = {
        {{"download", "--email", kEmail, "--cnpj", "99999999000199", "--month", "2021-03"},
         "não está entre as empresas"},
        {{"download", "--email", kEmail, "--cnpj", kCnpjPadaria, "--month", "2021-02"},
         "Nenhum arquivo encontrado !"},
        {{"companies", "--email", "ninguem@exemplo.com.br"}, "Email não localizado !"},
        {{"companies", "--email", "x@a.b"}, "Email inválido !"},
        {{"companies", "--email", kEmail, "--month", "2021-13"}, "mês inválido"},
        {{"companies", "--email", kEmail, "--server", "http://127.0.0.1:1"},
         "Não consegui acessar o servidor na nuvem !"},
    };
    for (const Case& c : cases) {
        const Saida saida = Kqz(c.args);
        EXPECT_NE(saida.status, 0) << c.args[0] << ' ' << c.message;
        EXPECT_NE(saida.err.find(c.message), std::string::npos) << saida.err;
    }
}

TEST_F(CommandLine, ANameFromTheServerThatLeavesTheFolderIsRefusedBeforeAnythingIsWritten) {
    // A second database whose documents table holds a hostile name.
    const fs::path other = dir_ / "hostil";
    fs::create_directories(other);
    const std::string db = CriarBanco(KQZ_SERVER_BINARY, other);
    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
    const char* sql =
        "INSERT INTO KQZ_SAD (AD_CNPJ, AD_DATA, AD_NUMERO, AD_VALOR, AD_XML) "
        "VALUES ('11222333000181', '2103', '../../fora-000009-VD', 1, '<CFe/>')";
    char* error = nullptr;
    ASSERT_EQ(sqlite3_exec(handle, sql, nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
    sqlite3_close(handle);
    ServerProcess server(KQZ_SERVER_BINARY, db, other);

    const fs::path out = other / "a" / "b";
    const Saida saida = Kqz({"download", "--email", kEmail, "--cnpj", kCnpjPadaria, "--month", "2021-03",
                             "--out", out.string(), "--server", server.Url()});
    EXPECT_NE(saida.status, 0);
    EXPECT_NE(saida.err.find("Nome de arquivo inválido recebido do servidor"), std::string::npos)
        << saida.err;
    EXPECT_FALSE(fs::exists(out));
    EXPECT_FALSE(fs::exists(other / "fora-000009-VD.XML"));
}

TEST_F(CommandLine, DownloadAllPutsEveryCompanyInItsFolderAndPrintsTheMonthsTable) {
    const fs::path out = dir_ / "todas";
    const fs::path planilha = dir_ / "empresas.xlsx";
    const Saida saida = Kqz({"download", "--all", "--email", kEmail, "--month", "2021-03", "--out",
                             out.string(), "--xlsx", planilha.string()});
    ASSERT_EQ(saida.status, 0) << saida.err;

    // The summary of each company as the single download saves it.
    std::vector<std::string> expected{"Empresa: 11222333000181 - PADARIA SãO JOãO", ""};
    const auto report = RelatorioEsperado();
    expected.insert(expected.end(), report.begin(), report.end());
    std::string saved;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        saved += (i ? "\r\n" : "") + expected[i];
    }
    EXPECT_EQ(Ler(out / kCnpjPadaria / "Resumo_mar21_11222333000181.txt"), saved);
    EXPECT_TRUE(fs::is_regular_file(out / kCnpjPadaria / "Sequencia_mar21_11222333000181.txt"));
    EXPECT_TRUE(fs::is_regular_file(out / kCnpjMercado / "Resumo_mar21_22333444000155.txt"));
    std::size_t xmls = 0;
    for (const auto& entry : fs::directory_iterator(out / kCnpjPadaria)) {
        xmls += entry.path().extension() == ".XML" ? 1U : 0U;
    }
    EXPECT_EQ(xmls, 4u);

    // The table: a header and one row per company, each succeeded; the
    // padaria sold 10.00 + 30.00 + 5.90 + 1234.56 (000002 was cancelled).
    const auto lines = Linhas(saida.out);
    ASSERT_EQ(lines.size(), 3u) << saida.out;
    EXPECT_EQ(lines[0].rfind("CNPJ;", 0), 0u) << lines[0];
    const auto padaria = std::find_if(lines.begin(), lines.end(),
                                      [](const std::string& l) { return l.rfind(kCnpjPadaria, 0) == 0; });
    ASSERT_NE(padaria, lines.end()) << saida.out;
    EXPECT_NE(padaria->find(";1280,46;"), std::string::npos) << *padaria;
    EXPECT_TRUE(padaria->ends_with(";OK")) << *padaria;
    EXPECT_EQ(Ler(planilha).rfind("PK", 0), 0u);
}

TEST_F(CommandLine, DownloadAllRecordsAFailedCompanyAndGoesOnWithTheNext) {
    // A database where the padaria's documents hold a name that leaves the folder.
    const fs::path other = dir_ / "hostil-todas";
    fs::create_directories(other);
    const std::string db = CriarBanco(KQZ_SERVER_BINARY, other);
    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
    const char* sql =
        "INSERT INTO KQZ_SAD (AD_CNPJ, AD_DATA, AD_NUMERO, AD_VALOR, AD_XML) "
        "VALUES ('11222333000181', '2103', '../../fora-000009-VD', 1, '<CFe/>')";
    char* error = nullptr;
    ASSERT_EQ(sqlite3_exec(handle, sql, nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
    sqlite3_close(handle);
    ServerProcess server(KQZ_SERVER_BINARY, db, other);

    const fs::path out = other / "todas";
    const Saida saida = Kqz({"download", "--all", "--email", kEmail, "--month", "2021-03", "--out",
                             out.string(), "--server", server.Url()});
    EXPECT_EQ(saida.status, 1) << saida.err;
    // One line on stderr for the failed company, none for the other.
    EXPECT_NE(saida.err.find("11222333000181 - PADARIA SãO JOãO: FALHA: Nome de arquivo inválido"),
              std::string::npos)
        << saida.err;
    EXPECT_EQ(saida.err.find(kCnpjMercado), std::string::npos) << saida.err;
    EXPECT_TRUE(fs::is_regular_file(out / kCnpjMercado / "Resumo_mar21_22333444000155.txt"));
    EXPECT_FALSE(fs::exists(other / "fora-000009-VD.XML"));
    EXPECT_NE(saida.out.find("22333444000155;MERCADO CENTRAL;1;0;9,90;"), std::string::npos) << saida.out;
}

}  // namespace
}  // namespace kqz::testing
