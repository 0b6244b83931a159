#pragma once

// The summary of CF-e files already on disk, as the download composes it from
// the files it writes: the command line's "kqz summary" is built on this.

#include <optional>
#include <string>
#include <vector>

#include "summary/cupom.hpp"
#include "summary/numbers.hpp"
#include "summary/progress.hpp"

namespace kqz::summary {

// Expands the paths in the order given: a folder contributes its "*.xml" and
// "*.XML" files (not its subfolders) in name order, any other path stands for
// itself. Throws ResumoError naming a path that does not exist or a folder
// that cannot be listed.
std::vector<std::string> ListarArquivosXml(const std::vector<std::string>& paths);

// What to put in the heading; empty options are taken from the first document
// read (its emitter's CNPJ, and xFant or else xNome, trimmed and in upper case
// as the company list shows trade names).
struct Empresa {
    std::optional<std::string> cnpj;
    std::optional<std::string> nome;
};

// Reads `files` in order with LerXml into fresh tables and returns the two
// heading lines followed by the report, exactly the lines the summary window
// shows (and saves). Errors of the reader or the report propagate
// (ResumoError, naming the file or document). Progress: "Lendo i/n" per file
// read, then the report's own counters.
// What one reading of the files gives: the heading and report lines, the
// company of the heading, and the facts of every coupon read (in file order)
// for the per-SAT sequences, the spreadsheets and the checks.
struct Leitura {
    std::vector<std::string> linhas;
    std::string cnpj;
    std::string nome;
    std::vector<Cupom> cupons;
};

// As ResumirArquivos, keeping the coupons' facts too.
Leitura LerArquivos(const std::vector<std::string>& files, const Empresa& empresa, const NumberFormat& format,
                    ProgressSink& progress);

std::vector<std::string> ResumirArquivos(const std::vector<std::string>& files, const Empresa& empresa,
                                         const NumberFormat& format, ProgressSink& progress);

}  // namespace kqz::summary
