#pragma once

// Spreadsheets of a company's month and of the whole month's companies.
//
// .xlsx (libxlsxwriter): cells typed as numbers and dates with Brazilian
// formats ("#,##0.00", "dd/mm/yyyy", "000000"), frozen header row, column
// widths that fit the longest text, autofilter over the first table of each
// sheet. .csv: ";" separated, decimal comma without grouping, dates
// dd/mm/yyyy, UTF-8 with byte-order mark, CR LF after every line.
//
// Both are written to a temporary file in the target folder and renamed over
// the target only when complete. Errors raise ResumoError naming the path.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "summary/cupom.hpp"
#include "summary/sequencia.hpp"
#include "summary/verificacao.hpp"

namespace kqz::summary {

// One cell of a table to write.
struct Celula {
    enum class Tipo { kVazia, kTexto, kValor, kNumeroCfe, kInteiro, kData };
    Tipo tipo = Tipo::kVazia;
    std::string texto;  // kTexto; kData as yyyymmdd
    double numero = 0;  // kValor (money), kNumeroCfe (shown "000000"), kInteiro
};

// One sheet: a header row and rows. `titulos` are rows (0 = first data row)
// styled as headers of a second table on the same sheet; the autofilter and
// the frozen header cover the first table, rows before the first title.
struct Tabela {
    std::string nome;
    std::vector<std::string> cabecalho;
    std::vector<std::vector<Celula>> linhas;
    std::vector<std::size_t> titulos;
};

Celula Texto(std::string s);
Celula Valor(double v);
Celula NumeroCfe(std::int64_t n);
Celula Inteiro(std::int64_t n);
Celula Data(std::string aaaammdd);  // a text cell when not 8 digits

// The sheets of one company's month, from the coupons read:
//   "Documentos" - date, number, SAT unit, key, situation ("Venda",
//     "Cancelada", "Cancelamento"), value (vCFe of a sale; empty for a
//     cancellation) and one column per CFOP (the sale's items of that CFOP);
//   "CFOP" - items of the sales not cancelled, per CFOP, with the total;
//   "Sequência por SAT" - one row per unit (first, last, coupons,
//     cancellations, cancelled, value, missing count and ranges), then one
//     row per unit and day;
//   "Verificação" - when `verificacao` is given: one row per problem.
std::vector<Tabela> TabelasDoMes(const std::vector<Cupom>& cupons, const Sequencias& seq,
                                 const Verificacao* verificacao);

// One company of the month's table.
struct LinhaEmpresa {
    std::string cnpj;
    std::string nome;
    std::int64_t cupons = 0;      // sales
    std::int64_t cancelados = 0;  // sales cancelled
    double valor_vendido = 0;     // sales not cancelled
    std::map<std::string, double> por_cfop;
    std::int64_t sats = 0;       // SAT units seen
    std::int64_t faltantes = 0;  // missing coupon numbers over all units
    std::string situacao;        // "OK" or what failed
};

// The row of one company from its coupons and sequences.
LinhaEmpresa LinhaDaEmpresa(const std::string& cnpj, const std::string& nome,
                            const std::vector<Cupom>& cupons, const Sequencias& seq,
                            const std::string& situacao);

// "Empresas": CNPJ, name, coupons, cancelled, value sold, one column per CFOP
// (of all companies), SAT units, missing coupons, status.
Tabela TabelaEmpresas(const std::vector<LinhaEmpresa>& empresas);

// Writes the tables as the sheets of an .xlsx workbook.
void SalvarXlsx(const std::string& path, const std::vector<Tabela>& tabelas);

// Writes one table as .csv (its header, then its rows; title rows as rows).
void SalvarCsv(const std::string& path, const Tabela& tabela);

// The CSV text of a table (what SalvarCsv writes).
std::string TextoCsv(const Tabela& tabela);

}  // namespace kqz::summary
