// kqz summary [-o FILE] [--cnpj CNPJ] [--name NAME] PATH...
//
// Reads CF-e files (a folder gives its *.xml / *.XML files in name order) the
// way the download reads the files it writes, and prints the two heading lines
// and the summary report; -o also saves the lines as the summary window's
// "Salvar" does.

#include <unistd.h>

#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/registry.hpp"
#include "summary/arquivos.hpp"
#include "summary/numbers.hpp"
#include "summary/progress.hpp"
#include "summary/salvar.hpp"

namespace {

struct SummaryOptions {
    std::vector<std::string> paths;
    std::string output;
    std::string cnpj;
    std::string name;
};

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
    std::vector<std::string> lines = ResumirArquivos(files, empresa, UserNumberFormat(), *progress);
    progress.reset();
    std::string out;
    for (const std::string& line : lines) {
        out += line;
        out += '\n';
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
    if (!opts.output.empty()) {
        SalvarResumo(opts.output, lines);
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
        cmd->add_option("PATH", opts->paths, "Arquivos XML ou pastas com arquivos *.xml")->required();
        cmd->callback([opts] { Run(*opts); });
    }};

}  // namespace
