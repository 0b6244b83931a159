// kqz download: the window's download without the window. Identifies the
// e-mail, fetches the month's documents of one of its companies into a folder
// (one file each), reads them and prints the summary. With --all, every
// company of the e-mail goes to <out>/<CNPJ>/ with its summary, the month's
// table is printed and the exit code is 0 only when every company succeeded
// (a line per failed company on stderr); --xlsx saves the month's table.

#include <CLI/CLI.hpp>

#include <unistd.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <set>
#include <stdexcept>

#include "cli/registry.hpp"
#include "cli/session.hpp"
#include "download/document_file.hpp"
#include "download/documentos.hpp"
#include "download/empresas.hpp"
#include "download/queries.hpp"
#include "download/text.hpp"
#include "download/todas.hpp"
#include "summary/cupons_do_mes.hpp"
#include "summary/numbers.hpp"
#include "summary/planilha.hpp"
#include "summary/resumo.hpp"
#include "summary/salvar.hpp"
#include "summary/sequencia.hpp"
#include "summary/tables.hpp"

namespace kqz::cli {
namespace {

// Progress on the terminal: one line redrawn in place, only when stderr is a
// terminal; the log lines go to stderr too.
class Terminal final : public download::VistaDoDownload, public ProgressSink {
  public:
    Terminal() : tty_(::isatty(STDERR_FILENO) != 0) {}
    ~Terminal() override { Fim(); }

    void MostrarAviso(const std::string& text) override {
        text_ = text;
        Desenhar();
    }
    void EsconderAviso() override { Fim(); }
    void LimparLog() override {}
    void AdicionarLog(const std::string& line) override {
        Fim();
        std::cerr << download::EscaparControles(line) << '\n';
    }
    void SetText(const std::string& text) override { text_ = text; }
    void SetMax(double max) override { max_ = max; }
    void SetValue(double value) override { value_ = value; }
    void Pump() override { Desenhar(); }

  private:
    void Desenhar() {
        if (!tty_) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now - last_ < std::chrono::milliseconds(100) && value_ < max_) {
            return;
        }
        last_ = now;
        const int width = 30;
        const int filled = max_ > 0 ? static_cast<int>(width * std::min(1.0, value_ / max_)) : 0;
        std::fprintf(stderr, "\r[%s%s] %s\x1b[K", std::string(static_cast<std::size_t>(filled), '#').c_str(),
                     std::string(static_cast<std::size_t>(width - filled), ' ').c_str(),
                     download::EscaparControles(text_).c_str());
        drawn_ = true;
    }
    void Fim() {
        if (drawn_) {
            std::fputs("\r\x1b[K", stderr);
            drawn_ = false;
        }
    }

    bool tty_;
    bool drawn_ = false;
    std::string text_;
    double max_ = 0;
    double value_ = 0;
    std::chrono::steady_clock::time_point last_{};
};

struct Options {
    std::string server;
    std::string email;
    std::string cnpj;
    std::string month;
    std::string out;
    std::string summaryFile;
    std::string xlsx;
    bool all = false;
    bool timings = false;
};

using Clock = std::chrono::steady_clock;

// The files one download wrote, each once.
std::vector<std::string> ArquivosBaixados(const std::string& pasta,
                                          const download::ListaDeDocumentos& lista) {
    std::vector<std::string> files;
    std::set<std::string> vistos;
    for (const download::ItemArquivoXml& item : lista.ListView_ArquivosXML) {
        std::string path = download::CaminhoDoDocumento(pasta, item.Text1).string();
        if (vistos.insert(path).second) {
            files.push_back(std::move(path));
        }
    }
    return files;
}

double Seconds(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// The whole month's progress on the terminal: the company and its counts on
// one redrawn line.
class TerminalDoMes final : public download::VistaDeTodas {
  public:
    explicit TerminalDoMes(Terminal& terminal) : terminal_(terminal) {}
    void MostrarAviso(const std::string& text, bool) override {
        std::string linha = text;
        for (char& c : linha) {
            if (c == '\n') {
                c = ' ';
            }
        }
        terminal_.MostrarAviso(linha);
    }
    void EmpresaConcluida(const summary::LinhaEmpresa&) override {}

  private:
    Terminal& terminal_;
};

// "2103" -> "mar21".
std::string MesAbreviado(const std::string& yymm) {
    return summary::MesAbreviado(2000 + std::stoi(yymm.substr(0, 2)), std::stoi(yymm.substr(2, 2)));
}

void RunAll(const Options& options) {
    Sessao sessao(options.server);
    const std::string mes = MesDoArgumento(options.month);
    const std::string email = EmailDoArgumento(options.email);
    const auto cnpjs = sessao.Identificar(email);
    if (options.out.empty()) {
        throw std::runtime_error("informe a pasta das empresas com --out");
    }

    download::ListagemColetada listagem;
    NoProgress semProgresso;
    const download::Listagem listada =
        download::ListarEmpresas(email, cnpjs, mes, sessao.remoto, sessao.memTable_Empresas,
                                 sessao.mem_ArquivosXML, listagem, semProgresso);
    if (!listada.ok()) {
        throw std::runtime_error(listada.mensagem == download::kFalhaNoServidor ? sessao.Falha()
                                                                                : listada.mensagem);
    }

    download::OpcoesDeTodas opcoes;
    opcoes.mes = mes;
    opcoes.mmmaa = MesAbreviado(mes);
    opcoes.formato = summary::UserNumberFormat();
    opcoes.detalheDaFalha = [&sessao] { return sessao.Falha(); };
    download::ResultadoDoMes resultado;
    {
        Terminal terminal;
        TerminalDoMes vista(terminal);
        resultado =
            download::BaixarTodas(listagem.empresas, options.out, opcoes, sessao.remoto, vista, terminal);
    }

    const summary::Tabela tabela = summary::TabelaEmpresas(resultado.linhas);
    std::string text = summary::TextoCsv(tabela);
    // The table on the terminal without the byte-order mark and with plain line ends.
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.erase(0, 3);
    }
    // What the server named reaches the terminal without its control characters.
    std::string limpo;
    limpo.reserve(text.size());
    std::size_t inicio = 0;
    while (inicio < text.size()) {
        std::size_t fim = text.find('\n', inicio);
        if (fim == std::string::npos) {
            fim = text.size();
        }
        std::string_view linha(text.data() + inicio, fim - inicio);
        if (linha.ends_with('\r')) {
            linha.remove_suffix(1);
        }
        limpo += download::EscaparControles(linha);
        limpo += '\n';
        inicio = fim + 1;
    }
    std::fwrite(limpo.data(), 1, limpo.size(), stdout);
    std::fflush(stdout);
    if (!options.xlsx.empty()) {
        summary::SalvarXlsx(options.xlsx, {tabela});
    }
    for (const summary::LinhaEmpresa& linha : resultado.linhas) {
        if (download::Falhou(linha)) {
            std::cerr << download::EscaparControles(linha.cnpj) << " - "
                      << download::EscaparControles(linha.nome) << ": " << linha.situacao << '\n';
        }
    }
    if (!resultado.ok()) {
        throw CLI::RuntimeError(1);
    }
}

void Run(const Options& options) {
    if (options.all) {
        if (!options.cnpj.empty()) {
            throw std::runtime_error("use --cnpj ou --all, não os dois");
        }
        RunAll(options);
        return;
    }
    if (options.cnpj.empty()) {
        throw std::runtime_error("informe --cnpj ou --all");
    }
    const auto start = Clock::now();
    Sessao sessao(options.server);
    const std::string mes = MesDoArgumento(options.month);
    const std::string email = EmailDoArgumento(options.email);
    const auto cnpjs = sessao.Identificar(email);
    if (std::find(cnpjs.begin(), cnpjs.end(), options.cnpj) == cnpjs.end()) {
        throw std::runtime_error("o CNPJ " + options.cnpj + " não está entre as empresas do e-mail " + email);
    }

    // The trade name for the heading, as the company list shows it.
    std::string nome;
    if (!sessao.remoto.SelectMemTable(download::ConsultaEmpresas({options.cnpj}), sessao.memTable_Empresas)) {
        throw std::runtime_error(sessao.Falha());
    }
    if (sessao.memTable_Empresas.RecordCount() > 0) {
        nome = download::AsciiUpper(sessao.memTable_Empresas.FieldByName("M00_FANT").AsString());
    }

    summary::SummaryTables tabelas;
    std::vector<std::string> linhas =
        summary::LinhasDeCabecalho(options.cnpj, std::string(download::Trim(nome)));
    download::ListaDeDocumentos lista;
    Terminal terminal;
    const std::string pasta = options.out.empty() ? options.cnpj : options.out;
    const auto identified = Clock::now();
    const download::Download download = download::BaixarDocumentos(
        options.cnpj, mes, pasta, sessao.remoto, sessao.mem_ArquivosXML, lista, tabelas, terminal, terminal);
    if (!download.ok()) {
        throw std::runtime_error(download.mensagem == download::kFalhaNoServidor ? sessao.Falha()
                                                                                 : download.mensagem);
    }
    const auto downloaded = Clock::now();

    summary::ComporResumo(tabelas, linhas, summary::UserNumberFormat(), terminal);
    const auto composed = Clock::now();
    if (!options.summaryFile.empty()) {
        summary::SalvarResumo(options.summaryFile, linhas);
    }
    if (!options.xlsx.empty()) {
        const std::vector<summary::Cupom> cupons = summary::LerCupons(ArquivosBaixados(pasta, lista));
        summary::SalvarXlsx(options.xlsx,
                            summary::TabelasDoMes(cupons, summary::CalcularSequencias(cupons), nullptr));
    }
    std::string text;
    for (const std::string& linha : linhas) {
        text += linha;
        text += '\n';
    }
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    std::cerr << download.quantidade << " arquivo(s) gravado(s) em " << pasta << '\n';
    if (options.timings) {
        std::fprintf(stderr,
                     "tempos: identificação %.3f s, documentos (consulta, arquivos, leitura) %.3f s, "
                     "resumo %.3f s, total %.3f s\n",
                     Seconds(start, identified), Seconds(identified, downloaded),
                     Seconds(downloaded, composed), Seconds(start, Clock::now()));
    }
}

const Registration kDownload{
    "download", [](CLI::App& app) {
        auto options = std::make_shared<Options>();
        CLI::App* command = app.add_subcommand(
            "download", "Baixa os XMLs do mês de uma empresa para uma pasta e imprime o resumo");
        command->add_option("--email", options->email, "E-mail do usuário")->required();
        command->add_option("--cnpj", options->cnpj, "CNPJ da empresa");
        command->add_flag("--all", options->all,
                          "Todas as empresas do e-mail, cada uma em <out>/<CNPJ>/ com o seu resumo");
        command->add_option("--month", options->month, "Mês de referência, AAAA-MM (padrão: o mês anterior)");
        command->add_option("--out", options->out, "Pasta dos XMLs (padrão: uma pasta com o nome do CNPJ)");
        command->add_option("-o,--output", options->summaryFile, "Grava também o resumo neste arquivo");
        command->add_option("--xlsx", options->xlsx,
                            "Grava a planilha do mês (.xlsx); com --all, a tabela das empresas");
        command->add_option("--server", options->server, "Servidor, por exemplo http://localhost:8080");
        command->add_flag("--timings", options->timings, "Mostra o tempo de cada etapa");
        command->callback([options] { Run(*options); });
    }};

}  // namespace
}  // namespace kqz::cli
