#pragma once

// Texts and numbers of the summary: CF-e decimals, whole numbers, the money
// format "###,##0.00", the "000000" padding and Espacar.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kqz::summary {

// Decimal and thousands separators used to format money.
struct NumberFormat {
    std::string decimal = ",";
    std::string thousands = ".";
};

// Brazilian Portuguese: "," decimal, "." thousands.
NumberFormat BrazilianNumberFormat();

// The separators of a locale name ("pt_BR.UTF-8", "en_US.UTF-8"...). C, POSIX,
// C.<charset>, an empty name or a locale the system does not have give the
// Brazilian format.
NumberFormat NumberFormatOf(const std::string& locale_name);

// The separators of the user's locale: LC_ALL, else LC_NUMERIC, else LANG of
// the environment (the first that is set and not empty), as NumberFormatOf.
NumberFormat UserNumberFormat();

// Reads a CF-e decimal text: "." as decimal point, no grouping, optional sign
// and exponent, blanks around it allowed. Independent of the process locale.
// Returns nullopt for anything else (empty text, ",", "1.2.3", "nan", "inf",
// out of the double range).
std::optional<double> LerDecimal(std::string_view text);

// Reads a decimal whole number (optional sign, digits, leading zeros allowed).
// Returns nullopt for anything else or a value beyond 64 bits.
std::optional<std::int64_t> LerInteiro(std::string_view text);

// Money, pattern "###,##0.00": at least one integer digit, two decimals,
// thousands grouped, leading "-" for negative values.
//
// Rounding: the value is first taken at 15 significant digits (what a double
// holds reliably, so binary noise such as 1.005 being 1.00499999999999989...
// or a sum of cents ending in ...9999997 disappears) and then rounded half
// away from zero at the second decimal on those digits. A value that rounds
// to zero has no sign. Infinite and NaN values give "INF", "-INF", "NAN".
std::string FormatarValor(double value, const NumberFormat& format);

// Pattern "000000": the whole number padded with zeros to at least six digits
// (a negative number keeps its "-" in front of the digits).
std::string FormatarNumero(std::int64_t value);

// Number of characters of a UTF-8 text (code points; bytes of a broken
// sequence count one each).
std::size_t Comprimento(std::string_view text);

// Widens `_sTexto` for the fixed-width report: when `_iTam` minus its length is
// 0 or more, adds that difference plus one blanks, before the text when
// `_sTipo` is "D", after it otherwise. A longer text comes back unchanged.
std::string Espacar(std::string_view _sTexto, std::string_view _sTipo, int _iTam);

}  // namespace kqz::summary
