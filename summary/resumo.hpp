#pragma once

// The fixed-width summary report composed from the two tables: one block per
// document (date, number, total, value per CFOP, note), a line for every
// missing coupon number, the totals per CFOP with the grand total, and the
// sequence of coupons (first, missing, last).

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "summary/numbers.hpp"
#include "summary/progress.hpp"
#include "summary/tables.hpp"

namespace kqz::summary {

// Shown by the window when the composition has ended.
inline constexpr std::string_view kProcessoConcluido = "Processo concluido !";

// Progress text while composing; the counters "value/max" follow it.
inline constexpr std::string_view kPreparandoRelatorio = "Aguarde - Preparando relatorio...";

// Most missing numbers one report lists: the whole range of a coupon counter
// (six digits). More can only come from numbers that are not real coupon
// numbers, and would make a report of billions of lines.
inline constexpr std::uint64_t kMaxFaltas = 999999;

// Appends the report to `memo2`, below whatever it holds (the two heading lines
// the caller wrote). Walks the document table in number order with its cursor,
// so the item view follows each document (SummaryTables' after-scroll), then
// all items in CFOP order; afterwards the document table stands on its last row
// and the item view is not narrowed.
//
// Progress: maximum = documents + 3 x items of the first document, the value
// rises by one per document; the text is kPreparandoRelatorio + "value/max",
// set (and Pump() called) once per document, per CFOP sub-line and per total
// line.
//
// Throws ResumoError when a document number is not a decimal whole number (the
// message names it) or when the missing numbers would pass kMaxFaltas; the
// lines appended before the error stay in `memo2`.
void ComporResumo(SummaryTables& tables, std::vector<std::string>& memo2, const NumberFormat& format,
                  ProgressSink& progress);

// The two heading lines the download writes before the report:
// "Empresa: " + CNPJ + " - " + name, and an empty line.
std::vector<std::string> LinhasDeCabecalho(const std::string& cnpj, const std::string& nome);

}  // namespace kqz::summary
