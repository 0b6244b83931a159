#include "cloud/mem_table.hpp"

#include <array>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <type_traits>

namespace kqz::cloud {
namespace {

constexpr double kMsPerDay = 86'400'000.0;
// Days from 0001-01-01 (day 1) to 1899-12-30, Delphi's date-time zero.
constexpr std::int32_t kDelphiDateDelta = 693'594;

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

std::string TwoDigits(long value) {
    std::string out = std::to_string(value);
    if (out.size() < 2) {
        out.insert(out.begin(), '0');
    }
    return out;
}

std::string FormatDate(std::int32_t day) {
    using namespace std::chrono;
    if (day < 1 || day > 3'652'059) {  // outside 0001-01-01 .. 9999-12-31: the day number itself
        return std::to_string(day);
    }
    const year_month_day ymd{sys_days{year{1} / January / 1} + days{day - 1}};
    std::string yearText = std::to_string(static_cast<int>(ymd.year()));
    while (yearText.size() < 4) {
        yearText.insert(yearText.begin(), '0');
    }
    return TwoDigits(static_cast<long>(static_cast<unsigned>(ymd.day()))) + "/" +
           TwoDigits(static_cast<long>(static_cast<unsigned>(ymd.month()))) + "/" + yearText;
}

std::string FormatTime(std::int64_t msOfDay) {
    const std::int64_t seconds = msOfDay / 1000;
    return TwoDigits(static_cast<long>(seconds / 3600)) + ":" +
           TwoDigits(static_cast<long>(seconds / 60 % 60)) + ":" + TwoDigits(static_cast<long>(seconds % 60));
}

// Delphi's FloatToStr: general format, 15 significant digits, exponent
// without "+" and leading zeros.
std::string FormatFloat(double value) {
    if (std::isnan(value)) {
        return "NAN";
    }
    if (std::isinf(value)) {
        return value > 0 ? "INF" : "-INF";
    }
    std::array<char, 64> buffer{};
    const int length = std::snprintf(buffer.data(), buffer.size(), "%.15G", value);
    std::string text(buffer.data(), static_cast<std::size_t>(length));
    if (const auto e = text.find('E'); e != std::string::npos) {
        std::string mantissa = text.substr(0, e);
        std::string exponent = text.substr(e + 1);
        std::string sign;
        if (!exponent.empty() && (exponent.front() == '+' || exponent.front() == '-')) {
            if (exponent.front() == '-') {
                sign = "-";
            }
            exponent.erase(0, 1);
        }
        while (exponent.size() > 1 && exponent.front() == '0') {
            exponent.erase(0, 1);
        }
        text = mantissa + "E" + sign + exponent;
    }
    if (text == "-0") {
        text.assign(1, '0');
    }
    return text;
}

// An exact decimal's text without trailing fraction zeros ("12.50" -> "12.5").
std::string FormatDecimal(std::string text) {
    if (text.find('.') != std::string::npos) {
        while (!text.empty() && text.back() == '0') {
            text.pop_back();
        }
        if (!text.empty() && text.back() == '.') {
            text.pop_back();
        }
    }
    if (text == "-0" || text.empty() || text == "-") {
        text.assign(1, '0');
    }
    return text;
}

template <class Int>
bool ParseInteger(std::string_view text, Int& out) {
    text = TrimBlanks(text);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && text.front() == '-') {
            return false;
        }
    }
    if (text.empty()) {
        return false;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc{} && end == text.data() + text.size();
}

bool ParseFloat(std::string_view text, double& out) {
    text = TrimBlanks(text);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return false;
    }
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return ec == std::errc{} && end == text.data() + text.size();
}

}  // namespace

// ---- Field -----------------------------------------------------------------

const std::string& Field::FieldName() const {
    return table_->Columns().at(index_).name;
}

codec::DataType Field::DataType() const {
    return table_->Columns().at(index_).type;
}

const codec::Value& Field::Value() const {
    return table_->CurrentValue(index_);
}

bool Field::IsNull() const {
    return std::holds_alternative<std::monostate>(Value());
}

void Field::Fail(const std::string& what) const {
    throw MemTableError(table_->Name() + ": campo " + FieldName() + ": " + what);
}

std::string Field::AsString() const {
    return std::visit(
        [](const auto& v) -> std::string {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                return {};
            } else if constexpr (std::is_same_v<T, bool>) {
                return v ? "True" : "False";
            } else if constexpr (std::is_same_v<T, std::int64_t> || std::is_same_v<T, std::uint64_t>) {
                return std::to_string(v);
            } else if constexpr (std::is_same_v<T, double>) {
                return FormatFloat(v);
            } else if constexpr (std::is_same_v<T, std::string>) {
                return v;
            } else if constexpr (std::is_same_v<T, codec::Bytes>) {
                return v.data;
            } else if constexpr (std::is_same_v<T, codec::Date>) {
                return FormatDate(v.day);
            } else if constexpr (std::is_same_v<T, codec::Time>) {
                return v.ms < 0 ? std::to_string(v.ms) : FormatTime(v.ms);
            } else if constexpr (std::is_same_v<T, codec::DateTime>) {
                // Not a date of the calendar (beyond 300,000 years or not a number): the stored number.
                if (!std::isfinite(v.ms) || std::fabs(v.ms) > 1e16) {
                    return FormatFloat(v.ms);
                }
                const double day = std::floor(v.ms / kMsPerDay);
                const auto msOfDay = static_cast<std::int64_t>(v.ms - day * kMsPerDay);
                std::string text = FormatDate(static_cast<std::int32_t>(day));
                if (msOfDay != 0) {
                    text += ' ';
                    text += FormatTime(msOfDay);
                }
                return text;
            } else {
                static_assert(std::is_same_v<T, codec::Decimal>);
                return FormatDecimal(v.text);
            }
        },
        Value());
}

std::int64_t Field::AsLargeInt() const {
    const auto& value = Value();
    auto fromDouble = [this](double d) -> std::int64_t {
        const double rounded = std::nearbyint(d);
        // 2^63 is exactly representable; anything at or beyond it does not fit.
        if (!std::isfinite(rounded) || rounded >= 9223372036854775808.0 || rounded < -9223372036854775808.0) {
            Fail("o valor " + FormatFloat(d) + " não cabe num inteiro");
        }
        return static_cast<std::int64_t>(rounded);
    };
    if (std::holds_alternative<std::monostate>(value)) {
        return 0;
    }
    if (const auto* b = std::get_if<bool>(&value)) {
        return *b ? 1 : 0;
    }
    if (const auto* i = std::get_if<std::int64_t>(&value)) {
        return *i;
    }
    if (const auto* u = std::get_if<std::uint64_t>(&value)) {
        if (*u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
            Fail("o valor " + std::to_string(*u) + " não cabe num inteiro");
        }
        return static_cast<std::int64_t>(*u);
    }
    if (const auto* d = std::get_if<double>(&value)) {
        return fromDouble(*d);
    }
    if (const auto* dec = std::get_if<codec::Decimal>(&value)) {
        double parsed = 0;
        if (!ParseFloat(dec->text, parsed)) {
            Fail("'" + dec->text + "' não é um número válido");
        }
        return fromDouble(parsed);
    }
    if (const auto* s = std::get_if<std::string>(&value)) {
        std::int64_t parsed = 0;
        if (!ParseInteger(*s, parsed)) {
            Fail("'" + *s + "' não é um valor inteiro válido");
        }
        return parsed;
    }
    Fail("o valor '" + AsString() + "' não pode ser lido como inteiro");
}

std::int32_t Field::AsInteger() const {
    const auto& value = Value();
    if (const auto* s = std::get_if<std::string>(&value)) {
        std::int32_t parsed = 0;
        if (!ParseInteger(*s, parsed)) {
            Fail("'" + *s + "' não é um valor inteiro válido");
        }
        return parsed;
    }
    const std::int64_t wide = AsLargeInt();
    if (wide < std::numeric_limits<std::int32_t>::min() || wide > std::numeric_limits<std::int32_t>::max()) {
        Fail("o valor " + std::to_string(wide) + " não cabe num inteiro de 32 bits");
    }
    return static_cast<std::int32_t>(wide);
}

double Field::AsFloat() const {
    const auto& value = Value();
    return std::visit(
        [this](const auto& v) -> double {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::monostate>) {
                return 0.0;
            } else if constexpr (std::is_same_v<T, bool>) {
                return v ? 1.0 : 0.0;
            } else if constexpr (std::is_same_v<T, std::int64_t> || std::is_same_v<T, std::uint64_t>) {
                return static_cast<double>(v);
            } else if constexpr (std::is_same_v<T, double>) {
                return v;
            } else if constexpr (std::is_same_v<T, std::string>) {
                double parsed = 0;
                if (!ParseFloat(v, parsed)) {
                    Fail("'" + v + "' não é um número válido");
                }
                return parsed;
            } else if constexpr (std::is_same_v<T, codec::Decimal>) {
                double parsed = 0;
                if (!ParseFloat(v.text, parsed)) {
                    Fail("'" + v.text + "' não é um número válido");
                }
                return parsed;
            } else if constexpr (std::is_same_v<T, codec::Date>) {
                return static_cast<double>(v.day - kDelphiDateDelta);
            } else if constexpr (std::is_same_v<T, codec::Time>) {
                return static_cast<double>(v.ms) / kMsPerDay;
            } else if constexpr (std::is_same_v<T, codec::DateTime>) {
                return v.ms / kMsPerDay - static_cast<double>(kDelphiDateDelta);
            } else {
                static_assert(std::is_same_v<T, codec::Bytes>);
                Fail("um valor binário não pode ser lido como número");
            }
        },
        value);
}

bool Field::AsBoolean() const {
    const auto& value = Value();
    if (std::holds_alternative<std::monostate>(value)) {
        return false;
    }
    if (const auto* b = std::get_if<bool>(&value)) {
        return *b;
    }
    if (const auto* s = std::get_if<std::string>(&value)) {
        const std::string_view text = TrimBlanks(*s);
        const char first = text.empty() ? '\0' : LowerAscii(text.front());
        if (first == 't' || first == 'y' || first == '1') {
            return true;
        }
        if (first == 'f' || first == 'n' || first == '0') {
            return false;
        }
        Fail("'" + *s + "' não é um valor lógico válido");
    }
    if (std::holds_alternative<std::int64_t>(value) || std::holds_alternative<std::uint64_t>(value) ||
        std::holds_alternative<double>(value) || std::holds_alternative<codec::Decimal>(value)) {
        return AsFloat() != 0.0;
    }
    Fail("o valor '" + AsString() + "' não pode ser lido como lógico");
}

// ---- MemTable --------------------------------------------------------------

void MemTable::Close() {
    rows_.clear();
    rows_.shrink_to_fit();
    columns_.clear();
    cursor_ = 0;
    active_ = false;
    eof_ = true;
    bof_ = true;
}

void MemTable::AppendData(codec::Dataset&& dataset) {
    for (std::size_t r = 0; r < dataset.rows.size(); ++r) {
        if (dataset.rows[r].size() != dataset.columns.size()) {
            throw MemTableError(name_ + ": a linha " + std::to_string(r + 1) + " tem " +
                                std::to_string(dataset.rows[r].size()) + " valores para " +
                                std::to_string(dataset.columns.size()) + " colunas");
        }
    }
    if (!active_) {
        columns_ = std::move(dataset.columns);
        rows_ = std::move(dataset.rows);
        active_ = true;
        First();
        return;
    }
    bool same = columns_.size() == dataset.columns.size();
    for (std::size_t c = 0; same && c < columns_.size(); ++c) {
        same = SameName(columns_[c].name, dataset.columns[c].name) &&
               columns_[c].type == dataset.columns[c].type;
    }
    if (!same) {
        throw MemTableError(name_ + ": as colunas dos dados novos não são as da tabela aberta");
    }
    rows_.reserve(rows_.size() + dataset.rows.size());
    for (auto& row : dataset.rows) {
        rows_.push_back(std::move(row));
    }
    dataset.rows.clear();
    eof_ = rows_.empty();
}

void MemTable::First() {
    cursor_ = 0;
    bof_ = true;
    eof_ = rows_.empty();
}

void MemTable::Next() {
    if (cursor_ + 1 < rows_.size()) {
        ++cursor_;
        bof_ = false;
    } else {
        eof_ = true;
    }
}

Field MemTable::Fields(std::size_t index) const {
    if (index >= columns_.size()) {
        throw MemTableError(name_ + ": não existe o campo de número " + std::to_string(index) +
                            " (a tabela tem " + std::to_string(columns_.size()) + " campos" +
                            (active_ ? "" : " e está fechada") + ")");
    }
    return Field(*this, index);
}

std::optional<Field> MemTable::FindField(std::string_view name) const {
    for (std::size_t i = 0; i < columns_.size(); ++i) {
        if (SameName(columns_[i].name, name)) {
            return Field(*this, i);
        }
    }
    return std::nullopt;
}

Field MemTable::FieldByName(std::string_view name) const {
    if (auto found = FindField(name)) {
        return *found;
    }
    throw MemTableError(name_ + ": campo '" + std::string(name) + "' não encontrado" +
                        (active_ ? "" : " (a tabela está fechada)"));
}

const codec::Value& MemTable::CurrentValue(std::size_t column) const {
    static const codec::Value kNull{};
    if (rows_.empty() || column >= columns_.size()) {
        return kNull;
    }
    return rows_[cursor_][column];
}

}  // namespace kqz::cloud
