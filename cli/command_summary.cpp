// kqz summary [-o FILE] [--cnpj CNPJ] [--name NAME] [--por-sat] [--verificar]
//             [--xlsx FILE] [--csv FILE] PATH...
//
// Reads CF-e files (a folder gives its *.xml / *.XML files in name order) the
// way the download reads the files it writes, and prints the two heading lines
// and the summary report; -o also saves the lines as the summary window's
// "Salvar" does.
//
// --por-sat prints the coupon sequences per SAT unit instead of the report
// (with -o, also saved beside the report as Sequencia_<mmmaa>_<CNPJ>.txt);
// --verificar checks keys, signatures, duplicates, company and month, prints
// the problems (after the sequences with --por-sat) and ends with exit code 1
// when there is any. --xlsx / --csv write the month's spreadsheet (the .csv
// holds the documents' table). Two folders read together (a month and the
// next) match the cancellations of sales made late on the last day.

#include <unistd.h>

#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/registry.hpp"
#include "summary/arquivos.hpp"
#include "summary/numbers.hpp"
#include "summary/planilha.hpp"
#include "summary/progress.hpp"
#include "summary/salvar.hpp"
#include "summary/sequencia.hpp"
#include "summary/verificacao.hpp"

namespace {

struct SummaryOptions {
    std::vector<std::string> paths;
    std::string output;
    std::string cnpj;
    std::string name;
    bool por_sat = false;
    bool verificar = false;
    std::string xlsx;
    std::string csv;
};

// "mar21" of the month most of the documents were issued in.
std::string MesDosCupons(const std::vector<kqz::summary::Cupom>& cupons) {
    std::map<std::string, int> meses;
    for (const auto& c : cupons) {
        if (c.dEmi.size() == 8) {
            ++meses[c.dEmi.substr(0, 6)];
        }
    }
    std::string melhor;
    int n = 0;
    for (const auto& [mes, vezes] : meses) {
        if (vezes > n) {
            melhor = mes;
            n = vezes;
        }
    }
    if (melhor.empty()) {
        return "";
    }
    return kqz::summary::MesAbreviado(std::stoi(melhor.substr(0, 4)), std::stoi(melhor.substr(4, 2)));
}

void Imprimir(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines) {
        out += line;
        out += '\n';
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
}

// Progress on the terminal's error stream, redrawn in place.
class TerminalProgress final : public kqz::ProgressSink {
  public:
    ~TerminalProgress() override {
        if (drawn_) {
            std::fputs("\r\033[K", stderr);
        }
    }
    void SetText(const std::string& text) override { text_ = text; }
    void SetMax(double max) override { max_ = max; }
    void SetValue(double value) override { value_ = value; }
    void Pump() override {
        if (text_.empty() || ++calls_ % 256 != 0) {
            return;
        }
        std::fprintf(stderr, "\r\033[K%s", text_.c_str());
        std::fflush(stderr);
        drawn_ = true;
    }

  private:
    std::string text_;
    double max_ = 0;
    double value_ = 0;
    unsigned calls_ = 0;
    bool drawn_ = false;
};

void Run(const SummaryOptions& opts) {
    using namespace kqz::summary;
    const std::vector<std::string> files = ListarArquivosXml(opts.paths);
    if (files.empty()) {
        throw std::runtime_error("nenhum arquivo XML encontrado");
    }
    Empresa empresa;
    if (!opts.cnpj.empty()) {
        empresa.cnpj = opts.cnpj;
    }
    if (!opts.name.empty()) {
        empresa.nome = opts.name;
    }
    std::unique_ptr<kqz::ProgressSink> progress;
    if (::isatty(STDERR_FILENO) != 0) {
        progress = std::make_unique<TerminalProgress>();
    } else {
        progress = std::make_unique<kqz::NoProgress>();
    }
    const NumberFormat format = UserNumberFormat();
    const Leitura leitura = LerArquivos(files, empresa, format, *progress);
    std::optional<Verificacao> verificacao;
    if (opts.verificar) {
        OpcoesVerificacao opcoes;
        opcoes.cnpj = leitura.cnpj;
        verificacao = VerificarArquivos(files, opcoes, *progress);
    }
    progress.reset();
    const Sequencias seq = CalcularSequencias(leitura.cupons);
    std::vector<std::string> sequencia;
    if (opts.por_sat) {
        sequencia = LinhasSequencia(seq, leitura.cnpj, leitura.nome, format);
    }
    if (!opts.por_sat && !opts.verificar) {
        Imprimir(leitura.linhas);
    }
    if (opts.por_sat) {
        Imprimir(sequencia);
    }
    if (verificacao) {
        if (opts.por_sat) {
            Imprimir({""});
        }
        Imprimir(LinhasVerificacao(*verificacao, leitura.cnpj, leitura.nome));
    }
    if (!opts.output.empty()) {
        SalvarResumo(opts.output, leitura.linhas);
        if (opts.por_sat) {
            const std::filesystem::path pasta = std::filesystem::path(opts.output).parent_path();
            SalvarResumo((pasta / NomeArquivoSequencia(MesDosCupons(leitura.cupons), leitura.cnpj)).string(),
                         sequencia);
        }
    }
    if (!opts.xlsx.empty() || !opts.csv.empty()) {
        const std::vector<Tabela> tabelas =
            TabelasDoMes(leitura.cupons, seq, verificacao ? &*verificacao : nullptr);
        if (!opts.xlsx.empty()) {
            SalvarXlsx(opts.xlsx, tabelas);
        }
        if (!opts.csv.empty()) {
            SalvarCsv(opts.csv, tabelas.front());
        }
    }
    if (verificacao && !verificacao->problemas.empty()) {
        throw CLI::RuntimeError(1);
    }
}

const kqz::cli::Registration kSummary{
    "summary", [](CLI::App& app) {
        auto opts = std::make_shared<SummaryOptions>();
        CLI::App* cmd = app.add_subcommand("summary", "Resumo dos CF-e de uma pasta ou de arquivos XML");
        cmd->add_option("-o,--output", opts->output, "Grava o resumo neste arquivo (como o botão Salvar)");
        cmd->add_option("--cnpj", opts->cnpj, "CNPJ do cabeçalho (padrão: o do emitente do primeiro CF-e)");
        cmd->add_option("--name", opts->name,
                        "Nome do cabeçalho (padrão: nome fantasia ou razão social do emitente)");
        cmd->add_flag(
            "--por-sat", opts->por_sat,
            "Mostra a sequência de cupons por SAT (com -o, grava também Sequencia_<mmmaa>_<CNPJ>.txt)");
        cmd->add_flag(
            "--verificar", opts->verificar,
            "Verifica chaves, assinaturas, duplicados, empresa e mês; sai com código 1 se houver problema");
        cmd->add_option("--xlsx", opts->xlsx, "Grava a planilha do mês (.xlsx)");
        cmd->add_option("--csv", opts->csv, "Grava os documentos em .csv (separado por ;)");
        cmd->add_option("PATH", opts->paths, "Arquivos XML ou pastas com arquivos *.xml")->required();
        cmd->callback([opts] { Run(*opts); });
    }};

}  // namespace
