#include "summary/numbers.hpp"

#include <langinfo.h>
#include <locale.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <system_error>

namespace kqz::summary {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && IsBlank(s.back())) {
        s.remove_suffix(1);
    }
    return s;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Validates [+-]? (d+ [. d*] | . d+) ([eE] [+-]? d+)? over the whole text.
bool IsDecimalText(std::string_view s) {
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
        ++i;
    }
    std::size_t digits = 0;
    while (i < s.size() && IsDigit(s[i])) {
        ++i;
        ++digits;
    }
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && IsDigit(s[i])) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0) {
        return false;
    }
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
            ++i;
        }
        std::size_t exp_digits = 0;
        while (i < s.size() && IsDigit(s[i])) {
            ++i;
            ++exp_digits;
        }
        if (exp_digits == 0) {
            return false;
        }
    }
    return i == s.size();
}

bool IsCLocaleName(const std::string& name) {
    return name.empty() || name == "C" || name == "POSIX" || name.rfind("C.", 0) == 0;
}

// Adds the thousands separator every three digits from the right.
std::string Group(std::string_view digits, const std::string& sep) {
    std::string out;
    out.reserve(digits.size() + digits.size() / 3 * sep.size());
    const std::size_t n = digits.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0 && (n - i) % 3 == 0) {
            out += sep;
        }
        out += digits[i];
    }
    return out;
}

}  // namespace

NumberFormat BrazilianNumberFormat() {
    return NumberFormat{",", "."};
}

NumberFormat NumberFormatOf(const std::string& locale_name) {
    if (IsCLocaleName(locale_name)) {
        return BrazilianNumberFormat();
    }
    locale_t loc = newlocale(LC_NUMERIC_MASK, locale_name.c_str(), static_cast<locale_t>(nullptr));
    if (loc == static_cast<locale_t>(nullptr)) {
        return BrazilianNumberFormat();
    }
    NumberFormat f;
    const char* radix = nl_langinfo_l(RADIXCHAR, loc);
    const char* thousands = nl_langinfo_l(THOUSEP, loc);
    f.decimal = (radix != nullptr && *radix != '\0') ? radix : ",";
    f.thousands = thousands != nullptr ? thousands : "";
    freelocale(loc);
    return f;
}

NumberFormat UserNumberFormat() {
    for (const char* var : {"LC_ALL", "LC_NUMERIC", "LANG"}) {
        const char* value = std::getenv(var);
        if (value != nullptr && *value != '\0') {
            return NumberFormatOf(value);
        }
    }
    return BrazilianNumberFormat();
}

std::optional<double> LerDecimal(std::string_view text) {
    std::string_view s = Trim(text);
    if (!IsDecimalText(s)) {
        return std::nullopt;
    }
    if (s.front() == '+') {
        s.remove_prefix(1);  // from_chars takes no "+"
    }
    double value = 0.0;
    const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value, std::chars_format::general);
    if (ec != std::errc() || ptr != s.data() + s.size() || !std::isfinite(value)) {
        return std::nullopt;
    }
    return value;
}

std::optional<std::int64_t> LerInteiro(std::string_view text) {
    std::string_view s = text;
    if (!s.empty() && s.front() == '+') {
        s.remove_prefix(1);
        if (!s.empty() && s.front() == '-') {
            return std::nullopt;
        }
    }
    if (s.empty()) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value, 10);
    if (ec != std::errc() || ptr != s.data() + s.size()) {
        return std::nullopt;
    }
    return value;
}

std::string FormatarValor(double value, const NumberFormat& format) {
    if (std::isnan(value)) {
        return "NAN";
    }
    if (std::isinf(value)) {
        return value < 0 ? "-INF" : "INF";
    }
    const bool negative = std::signbit(value);
    // 15 significant digits: d.dddddddddddddde[+-]xx
    std::array<char, 64> buf{};
    const auto res = std::to_chars(buf.data(), buf.data() + buf.size(), std::fabs(value),
                                   std::chars_format::scientific, 14);
    const std::string_view sci(buf.data(), static_cast<std::size_t>(res.ptr - buf.data()));
    const std::size_t e = sci.find('e');
    std::string digits;
    digits += sci[0];
    digits.append(sci.substr(2, e - 2));
    int exponent = 0;
    std::string_view exp_text = sci.substr(e + 1);
    if (!exp_text.empty() && exp_text.front() == '+') {
        exp_text.remove_prefix(1);
    }
    std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exponent);

    // `point` = number of integer digits in `digits`.
    long point = exponent + 1L;
    if (point <= 0) {
        digits.insert(0, static_cast<std::size_t>(1 - point), '0');
        point = 1;
    }
    const auto upoint = static_cast<std::size_t>(point);
    if (digits.size() < upoint + 3) {
        digits.append(upoint + 3 - digits.size(), '0');
    }
    const bool round_up = digits[upoint + 2] >= '5';
    digits.resize(upoint + 2);
    if (round_up) {
        std::size_t i = digits.size();
        bool carry = true;
        while (carry && i > 0) {
            --i;
            if (digits[i] == '9') {
                digits[i] = '0';
            } else {
                ++digits[i];
                carry = false;
            }
        }
        if (carry) {
            digits.insert(digits.begin(), '1');
        }
    }
    const std::size_t int_len = digits.size() - 2;
    std::string_view int_part(digits.data(), int_len);
    while (int_part.size() > 1 && int_part.front() == '0') {
        int_part.remove_prefix(1);
    }
    const std::string_view frac_part(digits.data() + int_len, 2);
    const bool zero = int_part == "0" && frac_part == "00";

    std::string out;
    if (negative && !zero) {
        out += '-';
    }
    out += Group(int_part, format.thousands);
    out += format.decimal;
    out += frac_part;
    return out;
}

std::string FormatarNumero(std::int64_t value) {
    const bool negative = value < 0;
    // Magnitude without overflow for the smallest value.
    const std::uint64_t magnitude =
        negative ? static_cast<std::uint64_t>(-(value + 1)) + 1U : static_cast<std::uint64_t>(value);
    std::string digits = std::to_string(magnitude);
    if (digits.size() < 6) {
        digits.insert(0, 6 - digits.size(), '0');
    }
    return negative ? "-" + digits : digits;
}

std::size_t Comprimento(std::string_view text) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t len = 1;
        if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
        } else if (c >= 0xE0) {
            len = c <= 0xEF ? 3 : 1;
        } else if (c >= 0xC2) {
            len = 2;
        }
        // A sequence cut short or with bad continuation bytes counts byte by byte.
        bool ok = i + len <= text.size();
        for (std::size_t k = 1; ok && k < len; ++k) {
            ok = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
        }
        i += ok ? len : 1;
        ++n;
    }
    return n;
}

std::string Espacar(std::string_view _sTexto, std::string_view _sTipo, int _iTam) {
    const auto len = static_cast<long long>(Comprimento(_sTexto));
    const long long diff = static_cast<long long>(_iTam) - len;
    if (diff < 0) {
        return std::string(_sTexto);
    }
    const std::string blanks(static_cast<std::size_t>(diff + 1), ' ');
    if (_sTipo == "D") {
        return blanks + std::string(_sTexto);
    }
    return std::string(_sTexto) + blanks;
}

}  // namespace kqz::summary
