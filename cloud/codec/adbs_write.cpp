#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "cloud/codec/adbs.hpp"
#include "cloud/codec/adbs_internal.hpp"
#include "cloud/codec/text.hpp"

namespace kqz::codec {
namespace {

using detail::kObjectBegin;
using detail::kObjectEnd;

// Where the encoder's bytes go. Every stream is encoded twice: first into a
// Counter, which checks every value and measures the object tree (the header
// holds the dictionary's offset), then for real.
struct Counter {
    static constexpr bool kCounting = true;
    std::uint64_t size = 0;
    void Put(const void*, std::size_t n) { size += n; }
    void Add(std::uint64_t n) { size += n; }
};

struct StringOut {
    static constexpr bool kCounting = false;
    std::string& out;
    void Put(const void* p, std::size_t n) { out.append(static_cast<const char*>(p), n); }
    std::string& Buffer() { return out; }
    void Appended() {}
};

struct ChunkOut {
    static constexpr bool kCounting = false;
    ByteSink& sink;
    std::size_t chunk;
    std::string buf;
    void Put(const void* p, std::size_t n) {
        buf.append(static_cast<const char*>(p), n);
        Appended();
    }
    std::string& Buffer() { return buf; }
    void Appended() {
        if (buf.size() >= chunk)
            Flush();
    }
    void Flush() {
        if (!buf.empty()) {
            sink.Write(buf);
            buf.clear();
        }
    }
};

// The dictionary of names in order of first use. FireDAC skips indexes 254 and
// 255 (they would read as object markers) by inserting two dummy names.
class Names {
  public:
    std::uint16_t Index(std::string_view name) {
        const auto it = index_.find(std::string(name));
        if (it != index_.end())
            return it->second;
        Add(std::string(name));
        if (list_.size() == 254) {
            Add("<end>");
            Add("<begin>");
        }
        return index_.at(std::string(name));
    }
    const std::vector<std::string>& List() const { return list_; }

  private:
    void Add(std::string name) {
        index_.emplace(name, static_cast<std::uint16_t>(list_.size()));
        list_.push_back(std::move(name));
    }
    std::unordered_map<std::string, std::uint16_t> index_;
    std::vector<std::string> list_;
};

[[noreturn]] void Bad(std::size_t row, const Column& col, const std::string& what) {
    throw CodecError("não consigo gravar a linha " + std::to_string(row + 1) + ", coluna \"" + col.name +
                     "\" (" + DataTypeName(col.type) + "): " + what);
}

const char* KindName(const Value& v) {
    static const char* names[] = {"NULL",  "booleano", "inteiro", "inteiro sem sinal", "número", "texto",
                                  "bytes", "data",     "hora",    "data/hora",         "decimal"};
    return names[v.index()];
}

bool Writable(DataType t) {
    switch (t) {
        case DataType::Unknown:
        case DataType::TimeIntervalFull:
        case DataType::TimeIntervalYM:
        case DataType::TimeIntervalDS:
        case DataType::RowSetRef:
        case DataType::CursorRef:
        case DataType::RowRef:
        case DataType::ArrayRef:
        case DataType::ParentRowRef:
        case DataType::Object:
            return false;
        default:
            return true;
    }
}

// An exact decimal text as digits and places. Accepts "-12.50", "0.5", "7".
struct Digits {
    bool negative = false;
    std::string intPart;  // without leading zeros
    std::string frac;     // without trailing zeros
};

std::optional<Digits> ParseDecimal(std::string_view s) {
    Digits d;
    std::size_t i = 0;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) {
        d.negative = s[i] == '-';
        ++i;
    }
    std::size_t digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        d.intPart.push_back(s[i++]);
        ++digits;
    }
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
            d.frac.push_back(s[i++]);
            ++digits;
        }
    }
    if (i != s.size() || digits == 0)
        return std::nullopt;
    const std::size_t first = d.intPart.find_first_not_of('0');
    d.intPart = first == std::string::npos ? "" : d.intPart.substr(first);
    while (!d.frac.empty() && d.frac.back() == '0')
        d.frac.pop_back();
    if (d.intPart.empty() && d.frac.empty())
        d.negative = false;
    return d;
}

std::string DoubleText(double v) {
    char buf[400];
    const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    return std::string(buf, r.ptr);
}

// Extended (x87, 80 bits) from a double: exact, since every double fits.
void DoubleToExtended(double v, std::uint8_t* p) {
    std::uint64_t mantissa = 0;
    unsigned se = std::signbit(v) ? 0x8000u : 0u;
    if (std::isnan(v)) {
        se |= 0x7FFF;
        mantissa = 0xC000000000000000ULL;
    } else if (std::isinf(v)) {
        se |= 0x7FFF;
        mantissa = 0x8000000000000000ULL;
    } else if (v != 0) {
        int e = 0;
        const double m = std::frexp(std::fabs(v), &e);  // m in [0.5, 1)
        mantissa = static_cast<std::uint64_t>(std::ldexp(m, 64));
        se |= static_cast<unsigned>(e - 1 + 16383);
    }
    for (int k = 0; k < 8; ++k)
        p[k] = static_cast<std::uint8_t>(mantissa >> (8 * k));
    p[8] = static_cast<std::uint8_t>(se & 0xFF);
    p[9] = static_cast<std::uint8_t>(se >> 8);
}

template <class Out>
class Encoder {
  public:
    Encoder(Out& out, Names& names) : out_(out), names_(names) {}

    void Table(const Dataset& ds) {
        Head(ds);
        for (std::size_t r = 0; r < ds.rows.size(); ++r) {
            RowObject(ds, ds.rows[r], r);
        }
        Tail(ds);
    }

    // Everything before the first row: manager, table and column list.
    void Head(const Dataset& ds) {
        Begin("Manager");
        Bool("UpdatesRegistry", true);
        Begin("TableList");
        Begin("Table");
        String("Name", ds.name);
        String("SourceName", ds.sourceName.empty() ? ds.name : ds.sourceName);
        Int("TabID", 0);
        Bool("EnforceConstraints", false);
        Int("MinimumCapacity", 50);
        Bool("CheckNotNull", false);
        Begin("ColumnList");
        for (std::size_t i = 0; i < ds.columns.size(); ++i) {
            ColumnObject(ds.columns[i], i);
        }
        End();
        Begin("ConstraintList");
        End();
        Begin("ViewList");
        End();
        Begin("RowList");
    }

    // Everything after the last row.
    void Tail(const Dataset& ds) {
        End();  // RowList
        End();  // Table
        End();  // TableList
        Begin("RelationList");
        End();
        Begin("UpdatesJournal");
        if (ds.savePoint != 0)
            UInt("SavePoint", ds.savePoint);
        Begin("Changes");
        End();
        End();  // UpdatesJournal
        End();  // Manager
    }

    // Row `r` (counted from 0) of a table with the columns and flags of `ds`.
    void RowObject(const Dataset& ds, const Row& row, std::size_t r) {
        if (row.size() != ds.columns.size()) {
            throw CodecError("não consigo gravar a linha " + std::to_string(r + 1) + ": " +
                             std::to_string(row.size()) + " valores para " +
                             std::to_string(ds.columns.size()) + " colunas");
        }
        if (r > 0xFFFFFFFEu)
            throw CodecError("linhas demais para o fluxo FireDAC");
        Begin("Row");
        UInt("RowID", static_cast<std::uint32_t>(r));
        if (ds.priorStateUnchanged)
            Enum("RowPriorState", "rsUnchanged");
        Begin("Original");
        for (const bool late : {false, true}) {
            for (std::size_t i = 0; i < row.size(); ++i) {
                const Column& col = ds.columns[i];
                if (IsLateType(col.type) != late)
                    continue;
                if (std::holds_alternative<std::monostate>(row[i])) {
                    if (!col.allowNull)
                        Bad(r, col, "NULL numa coluna que não aceita NULL");
                    continue;
                }
                U16(static_cast<std::uint16_t>(i));
                ValueData(r, col, row[i]);
            }
        }
        End();
        End();
    }

  private:
    void Begin(std::string_view name) {
        const std::uint16_t i = names_.Index(name);
        const std::uint8_t b[2] = {kObjectBegin, static_cast<std::uint8_t>(i)};
        out_.Put(b, 2);
    }
    void End() { out_.Put(&kObjectEnd, 1); }
    void Key(std::string_view name) { U16(names_.Index(name)); }
    void U16(std::uint16_t v) {
        const std::uint8_t b[2] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8)};
        out_.Put(b, 2);
    }
    void U32(std::uint32_t v) {
        const std::uint8_t b[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                                   static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
        out_.Put(b, 4);
    }
    void U64(std::uint64_t v) {
        U32(static_cast<std::uint32_t>(v));
        U32(static_cast<std::uint32_t>(v >> 32));
    }
    void Bool(std::string_view name, bool v) {
        Key(name);
        const std::uint8_t b = v ? 1 : 0;
        out_.Put(&b, 1);
    }
    void Int(std::string_view name, std::int32_t v) {
        Key(name);
        U32(static_cast<std::uint32_t>(v));
    }
    void UInt(std::string_view name, std::uint32_t v) {
        Key(name);
        U32(v);
    }
    void Enum(std::string_view name, std::string_view value) {
        const std::uint16_t v = names_.Index(value);  // FireDAC names the value before the property
        Key(name);
        U16(v);
    }
    void String(std::string_view name, std::string_view value) {
        Key(name);
        const auto units = text::Utf16Length(value);
        if (!units) {
            throw CodecError("não consigo gravar a propriedade " + std::string(name) + ": " +
                             text::DescribeFirstProblem(value, false));
        }
        WideData(value, *units);
    }
    // UInt32 byte length + UTF-16LE of a text already checked.
    void WideData(std::string_view utf8, std::size_t units) {
        if (units > 0x7FFFFFFF)
            throw CodecError("texto longo demais para o fluxo FireDAC");
        U32(static_cast<std::uint32_t>(2 * units));
        if constexpr (Out::kCounting) {
            out_.Add(2 * units);
        } else {
            text::AppendUtf8AsUtf16Le(out_.Buffer(), utf8);
            out_.Appended();
        }
    }

    void ColumnObject(const Column& c, std::size_t i) {
        if (!Writable(c.type)) {
            throw CodecError("não consigo gravar a coluna \"" + c.name + "\": tipo " + DataTypeName(c.type) +
                             " não suportado");
        }
        if ((c.type == DataType::WideString || c.type == DataType::AnsiString) && c.size <= 0) {
            throw CodecError("não consigo gravar a coluna \"" + c.name + "\": " + DataTypeName(c.type) +
                             " precisa de um tamanho (Size) positivo");
        }
        const bool bcd = c.type == DataType::BCD || c.type == DataType::FmtBCD;
        Begin("Column");
        String("Name", c.name);
        String("SourceName", c.name);
        Int("SourceID", static_cast<std::int32_t>(i + 1));
        Enum("DataType", DataTypeName(c.type));
        if (bcd && c.precision != 0)
            Int("Precision", c.precision);
        if (bcd && c.scale != 0)
            Int("Scale", c.scale);
        if (c.size != 0)
            Int("Size", c.size);
        Bool("Searchable", true);
        if (c.allowNull)
            Bool("AllowNull", true);
        if (detail::HasBlobData(c.type))
            Bool("BlobData", true);
        Bool("Base", true);
        if (c.allowNull)
            Bool("OAllowNull", true);
        Bool("OInUpdate", true);
        Bool("OInWhere", true);
        String("OriginColName", c.name);
        if (bcd && c.precision != 0)
            Int("SourcePrecision", c.precision);
        if (bcd && c.scale != 0)
            Int("SourceScale", c.scale);
        if (c.size != 0)
            Int("SourceSize", c.size);
        End();
    }

    template <class T>
    static std::optional<T> Integer(const Value& v) {
        if (const auto* s = std::get_if<std::int64_t>(&v)) {
            if (*s < static_cast<std::int64_t>(std::numeric_limits<T>::min()) ||
                (*s > 0 && static_cast<std::uint64_t>(*s) > std::numeric_limits<T>::max())) {
                return std::nullopt;
            }
            return static_cast<T>(*s);
        }
        if (const auto* u = std::get_if<std::uint64_t>(&v)) {
            if (*u > static_cast<std::uint64_t>(std::numeric_limits<T>::max()))
                return std::nullopt;
            return static_cast<T>(*u);
        }
        return std::nullopt;
    }

    template <class T>
    void IntegerData(std::size_t r, const Column& col, const Value& v) {
        const auto x = Integer<T>(v);
        if (!x) {
            if (std::holds_alternative<std::int64_t>(v) || std::holds_alternative<std::uint64_t>(v)) {
                Bad(r, col, "inteiro fora da faixa do tipo");
            }
            Bad(r, col, std::string("valor do tipo ") + KindName(v) + " onde se espera um inteiro");
        }
        if constexpr (sizeof(T) == 1) {
            const auto b = static_cast<std::uint8_t>(*x);
            out_.Put(&b, 1);
        } else if constexpr (sizeof(T) == 2) {
            U16(static_cast<std::uint16_t>(*x));
        } else if constexpr (sizeof(T) == 4) {
            U32(static_cast<std::uint32_t>(*x));
        } else {
            U64(static_cast<std::uint64_t>(*x));
        }
    }

    static std::optional<double> Number(const Value& v) {
        if (const auto* d = std::get_if<double>(&v))
            return *d;
        if (const auto* s = std::get_if<std::int64_t>(&v))
            return static_cast<double>(*s);
        if (const auto* u = std::get_if<std::uint64_t>(&v))
            return static_cast<double>(*u);
        return std::nullopt;
    }

    std::optional<Digits> DecimalOf(std::size_t r, const Column& col, const Value& v) {
        if (const auto* d = std::get_if<Decimal>(&v)) {
            auto digits = ParseDecimal(d->text);
            if (!digits)
                Bad(r, col, "decimal mal formado \"" + d->text + "\"");
            return digits;
        }
        if (const auto* s = std::get_if<std::int64_t>(&v))
            return ParseDecimal(std::to_string(*s));
        if (const auto* u = std::get_if<std::uint64_t>(&v))
            return ParseDecimal(std::to_string(*u));
        if (const auto* f = std::get_if<double>(&v)) {
            if (!std::isfinite(*f))
                Bad(r, col, "número não finito");
            return ParseDecimal(DoubleText(*f));
        }
        Bad(r, col, std::string("valor do tipo ") + KindName(v) + " onde se espera um decimal");
    }

    void CurrencyData(std::size_t r, const Column& col, const Value& v) {
        const auto d = DecimalOf(r, col, v);
        if (d->frac.size() > 4)
            Bad(r, col, "mais de 4 casas decimais num valor monetário");
        std::string digits = d->intPart + d->frac + std::string(4 - d->frac.size(), '0');
        std::uint64_t magnitude = 0;
        const auto res = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude);
        const std::uint64_t max = d->negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
        if (res.ec != std::errc{} || magnitude > max)
            Bad(r, col, "valor monetário fora da faixa");
        const std::uint64_t bits = d->negative ? ~magnitude + 1 : magnitude;
        U64(bits);
    }

    void BcdData(std::size_t r, const Column& col, const Value& v) {
        const auto d = DecimalOf(r, col, v);
        std::string digits = d->intPart + d->frac;
        std::size_t places = d->frac.size();
        if (digits.empty())
            digits = "0";
        if (digits.size() > 64 || places > 63)
            Bad(r, col, "decimal com dígitos demais (máximo 64)");
        const std::size_t precision = digits.size();
        std::uint8_t b[2 + 32] = {};
        b[0] = static_cast<std::uint8_t>(precision);
        b[1] = static_cast<std::uint8_t>(places | (d->negative ? 0x80u : 0u));
        for (std::size_t k = 0; k < precision; ++k) {
            const auto digit = static_cast<std::uint8_t>(digits[k] - '0');
            b[2 + k / 2] = static_cast<std::uint8_t>(b[2 + k / 2] | (k % 2 == 0 ? digit << 4 : digit));
        }
        const auto len = static_cast<std::uint8_t>(2 + (precision + 1) / 2);
        out_.Put(&len, 1);
        out_.Put(b, len);
    }

    static bool DateTimeMs(const Value& v, double& ms) {
        if (const auto* dt = std::get_if<DateTime>(&v)) {
            ms = dt->ms;
            return true;
        }
        if (const auto* d = std::get_if<Date>(&v)) {
            ms = static_cast<double>(d->day) * 86400000.0;
            return true;
        }
        return false;
    }

    void TextData(std::size_t r, const Column& col, const Value& v) {
        const auto* s = std::get_if<std::string>(&v);
        if (s == nullptr)
            Bad(r, col, std::string("valor do tipo ") + KindName(v) + " onde se espera um texto");
        if (detail::IsWideText(col.type)) {
            const auto units = text::Utf16Length(*s);
            if (!units)
                Bad(r, col, text::DescribeFirstProblem(*s, false));
            if (col.type == DataType::WideString && *units > static_cast<std::size_t>(col.size)) {
                Bad(r, col,
                    "texto de " + std::to_string(*units) + " caracteres maior que o tamanho da coluna (" +
                        std::to_string(col.size) + ")");
            }
            WideData(*s, *units);
            return;
        }
        const auto chars = text::Cp1252Length(*s);
        if (!chars)
            Bad(r, col, text::DescribeFirstProblem(*s, true));
        if (col.type == DataType::AnsiString && *chars > static_cast<std::size_t>(col.size)) {
            Bad(r, col,
                "texto de " + std::to_string(*chars) + " caracteres maior que o tamanho da coluna (" +
                    std::to_string(col.size) + ")");
        }
        if (*chars > 0xFFFFFFFFu)
            Bad(r, col, "texto longo demais");
        U32(static_cast<std::uint32_t>(*chars));
        if constexpr (Out::kCounting) {
            out_.Add(*chars);
        } else {
            text::AppendUtf8AsCp1252(out_.Buffer(), *s);
            out_.Appended();
        }
    }

    void ValueData(std::size_t r, const Column& col, const Value& v) {
        switch (col.type) {
            case DataType::Boolean: {
                bool b = false;
                if (const auto* x = std::get_if<bool>(&v)) {
                    b = *x;
                } else if (const auto i = Integer<std::int64_t>(v)) {
                    b = *i != 0;
                } else {
                    Bad(r, col, std::string("valor do tipo ") + KindName(v) + " onde se espera um booleano");
                }
                U16(b ? 0xFFFF : 0);  // WordBool: Delphi's True is all ones
                return;
            }
            case DataType::SByte:
                return IntegerData<std::int8_t>(r, col, v);
            case DataType::Byte:
                return IntegerData<std::uint8_t>(r, col, v);
            case DataType::Int16:
                return IntegerData<std::int16_t>(r, col, v);
            case DataType::UInt16:
                return IntegerData<std::uint16_t>(r, col, v);
            case DataType::Int32:
                return IntegerData<std::int32_t>(r, col, v);
            case DataType::UInt32:
                return IntegerData<std::uint32_t>(r, col, v);
            case DataType::Int64:
                return IntegerData<std::int64_t>(r, col, v);
            case DataType::UInt64:
                return IntegerData<std::uint64_t>(r, col, v);
            case DataType::Single:
            case DataType::Double:
            case DataType::Extended: {
                const auto d = Number(v);
                if (!d)
                    Bad(r, col, std::string("valor do tipo ") + KindName(v) + " onde se espera um número");
                if (col.type == DataType::Single) {
                    if (std::isfinite(*d) &&
                        std::fabs(*d) > static_cast<double>(std::numeric_limits<float>::max())) {
                        Bad(r, col, "número fora da faixa de Single");
                    }
                    const auto f = static_cast<float>(*d);
                    std::uint32_t bits;
                    std::memcpy(&bits, &f, 4);
                    U32(bits);
                } else if (col.type == DataType::Double) {
                    std::uint64_t bits;
                    std::memcpy(&bits, &*d, 8);
                    U64(bits);
                } else {
                    std::uint8_t b[10];
                    DoubleToExtended(*d, b);
                    out_.Put(b, 10);
                }
                return;
            }
            case DataType::Currency:
                return CurrencyData(r, col, v);
            case DataType::BCD:
            case DataType::FmtBCD:
                return BcdData(r, col, v);
            case DataType::Date: {
                if (const auto* d = std::get_if<Date>(&v)) {
                    U32(static_cast<std::uint32_t>(d->day));
                    return;
                }
                double ms = 0;
                if (!DateTimeMs(v, ms) || !std::isfinite(ms) || std::fabs(ms) > 1e17) {
                    Bad(r, col, std::string("valor do tipo ") + KindName(v) + " onde se espera uma data");
                }
                U32(static_cast<std::uint32_t>(static_cast<std::int32_t>(std::floor(ms / 86400000.0))));
                return;
            }
            case DataType::Time: {
                const auto* t = std::get_if<Time>(&v);
                if (t == nullptr)
                    Bad(r, col, std::string("valor do tipo ") + KindName(v) + " onde se espera uma hora");
                U32(static_cast<std::uint32_t>(t->ms));
                return;
            }
            case DataType::DateTime: {
                double ms = 0;
                if (!DateTimeMs(v, ms)) {
                    Bad(r, col,
                        std::string("valor do tipo ") + KindName(v) + " onde se espera uma data/hora");
                }
                std::uint64_t bits;
                std::memcpy(&bits, &ms, 8);
                U64(bits);
                return;
            }
            case DataType::DateTimeStamp: {
                double ms = 0;
                if (!DateTimeMs(v, ms) || !std::isfinite(ms) || std::fabs(ms) > 1e17) {
                    Bad(r, col,
                        std::string("valor do tipo ") + KindName(v) + " onde se espera uma data/hora");
                }
                const auto total = static_cast<std::int64_t>(std::floor(ms));
                const std::int64_t days = total >= 0 ? total / 86400000 : (total - 86399999) / 86400000;
                const std::int64_t rest = total - days * 86400000;
                std::int64_t y = 0;
                unsigned m = 0, d = 0;
                detail::CivilFromDays(days, y, m, d);
                if (y < -32768 || y > 32767)
                    Bad(r, col, "ano fora da faixa");
                U16(static_cast<std::uint16_t>(static_cast<std::int16_t>(y)));
                U16(static_cast<std::uint16_t>(m));
                U16(static_cast<std::uint16_t>(d));
                U16(static_cast<std::uint16_t>(rest / 3600000));
                U16(static_cast<std::uint16_t>(rest / 60000 % 60));
                U16(static_cast<std::uint16_t>(rest / 1000 % 60));
                U32(static_cast<std::uint32_t>(rest % 1000));
                return;
            }
            case DataType::GUID: {
                const auto* b = std::get_if<Bytes>(&v);
                if (b == nullptr || b->data.size() != 16)
                    Bad(r, col, "um GUID precisa de 16 bytes");
                out_.Put(b->data.data(), 16);
                return;
            }
            default:
                break;
        }
        if (detail::IsWideText(col.type) || detail::IsAnsiText(col.type)) {
            return TextData(r, col, v);
        }
        if (detail::IsByteData(col.type)) {
            std::string_view data;
            if (const auto* b = std::get_if<Bytes>(&v)) {
                data = b->data;
            } else if (const auto* s = std::get_if<std::string>(&v)) {
                data = *s;
            } else {
                Bad(r, col, std::string("valor do tipo ") + KindName(v) + " onde se esperam bytes");
            }
            if (data.size() > 0xFFFFFFFFu)
                Bad(r, col, "dados longos demais");
            U32(static_cast<std::uint32_t>(data.size()));
            if constexpr (Out::kCounting) {
                out_.Add(data.size());
            } else {
                out_.Put(data.data(), data.size());
            }
            return;
        }
        Bad(r, col, "tipo não suportado");
    }

    Out& out_;
    Names& names_;
};

std::string DictionaryBytes(const Names& names) {
    std::string out;
    for (const auto& n : names.List()) {
        std::string wide;
        text::AppendUtf8AsUtf16Le(wide, n);
        out.push_back(static_cast<char>(wide.size() & 0xFF));
        out.push_back(static_cast<char>(wide.size() >> 8));
        out += wide;
    }
    return out;
}

std::string Header(std::uint64_t dictionaryOffset) {
    if (dictionaryOffset > 0xFFFFFFFFu) {
        throw CodecError("tabela grande demais para um fluxo FireDAC (mais de 4 GiB)");
    }
    const auto off = static_cast<std::uint32_t>(dictionaryOffset);
    std::string h = "ADBS";
    h.push_back(static_cast<char>(detail::kAdbsVersion & 0xFF));
    h.push_back(static_cast<char>(detail::kAdbsVersion >> 8));
    h.push_back('\0');
    h.push_back('\0');
    for (int k = 0; k < 4; ++k)
        h.push_back(static_cast<char>((off >> (8 * k)) & 0xFF));
    return h;
}

// The counting pass: checks every value and returns the tree's length.
std::uint64_t Measure(const Dataset& ds) {
    Counter counter;
    Names names;
    Encoder<Counter>(counter, names).Table(ds);
    return counter.size;
}

}  // namespace

std::string WriteAdbs(const Dataset& ds) {
    const std::uint64_t tree = Measure(ds);
    const std::uint64_t dictionaryOffset = detail::kAdbsHeaderSize + tree;
    std::string out = Header(dictionaryOffset);
    out.reserve(static_cast<std::size_t>(dictionaryOffset) + 1024);
    Names names;
    StringOut sink{out};
    Encoder<StringOut>(sink, names).Table(ds);
    if (out.size() != dictionaryOffset) {
        throw CodecError("erro interno ao gravar o fluxo FireDAC: tamanho medido diferente do gravado");
    }
    out += DictionaryBytes(names);
    return out;
}

std::uint64_t WriteAdbs(const Dataset& ds, ByteSink& sink, std::size_t chunk) {
    const std::uint64_t tree = Measure(ds);
    const std::uint64_t dictionaryOffset = detail::kAdbsHeaderSize + tree;
    ChunkOut out{sink, std::max<std::size_t>(chunk, 64), Header(dictionaryOffset)};
    out.buf.reserve(out.chunk + (std::size_t{64} << 10));
    Names names;
    Encoder<ChunkOut> encoder(out, names);
    encoder.Table(ds);
    const std::string dictionary = DictionaryBytes(names);
    out.Put(dictionary.data(), dictionary.size());
    out.Flush();
    return dictionaryOffset + dictionary.size();
}

// ---------------------------------------------------------------------------
// AdbsBatchWriter.

struct AdbsBatchWriter::Impl {
    Dataset table;
    bool fit = false;
    // Measuring.
    Counter rowsSize;
    Names measureNames;
    std::uint64_t measuredRows = 0;
    // Writing.
    bool begun = false;
    bool ended = false;
    std::uint64_t dictionaryOffset = 0;
    std::uint64_t written = 0;  // stream bytes so far
    std::uint64_t writtenRows = 0;
    Names names;

    void Fit(const Row& row) {
        for (std::size_t i = 0; i < table.columns.size() && i < row.size(); ++i) {
            Column& col = table.columns[i];
            if (col.type != DataType::WideString && col.type != DataType::AnsiString)
                continue;
            const auto* s = std::get_if<std::string>(&row[i]);
            if (s == nullptr)
                continue;
            const auto n = col.type == DataType::WideString ? text::Utf16Length(*s) : text::Cp1252Length(*s);
            std::size_t longest = n.value_or(s->size());
            if (longest > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
                longest = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
            col.size = std::max(col.size, static_cast<std::int32_t>(longest));
        }
    }
};

AdbsBatchWriter::AdbsBatchWriter(Dataset table, bool fitStringSizes) : impl_(std::make_unique<Impl>()) {
    impl_->table = std::move(table);
    impl_->table.rows.clear();
    impl_->table.rows.shrink_to_fit();
    impl_->fit = fitStringSizes;
}

AdbsBatchWriter::~AdbsBatchWriter() = default;

void AdbsBatchWriter::Measure(const std::vector<Row>& rows) {
    Impl& m = *impl_;
    if (m.begun)
        throw CodecError("erro interno ao gravar o fluxo FireDAC: linhas medidas depois do início");
    Encoder<Counter> encoder(m.rowsSize, m.measureNames);
    for (const Row& row : rows) {
        if (m.fit)
            m.Fit(row);
        encoder.RowObject(m.table, row, static_cast<std::size_t>(m.measuredRows));
        ++m.measuredRows;
    }
}

const std::vector<Column>& AdbsBatchWriter::Columns() const {
    return impl_->table.columns;
}

void AdbsBatchWriter::Begin(std::string& out) {
    Impl& m = *impl_;
    if (m.begun)
        throw CodecError("erro interno ao gravar o fluxo FireDAC: início repetido");
    if (m.fit) {
        for (Column& col : m.table.columns) {
            if (col.type == DataType::WideString || col.type == DataType::AnsiString)
                col.size = std::max(col.size, 1);
        }
    }
    Counter frame;
    Names frameNames;
    Encoder<Counter> counter(frame, frameNames);
    counter.Head(m.table);
    counter.Tail(m.table);
    m.dictionaryOffset = detail::kAdbsHeaderSize + frame.size + m.rowsSize.size;
    const std::size_t before = out.size();
    out += Header(m.dictionaryOffset);
    StringOut sink{out};
    Encoder<StringOut>(sink, m.names).Head(m.table);
    m.written += out.size() - before;
    m.begun = true;
}

void AdbsBatchWriter::Write(const std::vector<Row>& rows, std::string& out) {
    Impl& m = *impl_;
    if (!m.begun || m.ended)
        throw CodecError("erro interno ao gravar o fluxo FireDAC: linhas fora de ordem");
    if (m.writtenRows + rows.size() > m.measuredRows) {
        throw CodecError(
            "as linhas mudaram entre a medição e a gravação do fluxo FireDAC (mais linhas que as " +
            std::to_string(m.measuredRows) + " medidas)");
    }
    const std::size_t before = out.size();
    StringOut sink{out};
    Encoder<StringOut> encoder(sink, m.names);
    for (const Row& row : rows) {
        encoder.RowObject(m.table, row, static_cast<std::size_t>(m.writtenRows));
        ++m.writtenRows;
    }
    m.written += out.size() - before;
}

std::uint64_t AdbsBatchWriter::End(std::string& out) {
    Impl& m = *impl_;
    if (!m.begun || m.ended)
        throw CodecError("erro interno ao gravar o fluxo FireDAC: fim fora de ordem");
    const std::size_t before = out.size();
    StringOut sink{out};
    Encoder<StringOut>(sink, m.names).Tail(m.table);
    m.written += out.size() - before;
    if (m.writtenRows != m.measuredRows || m.written != m.dictionaryOffset) {
        throw CodecError("as linhas mudaram entre a medição e a gravação do fluxo FireDAC (" +
                         std::to_string(m.writtenRows) + " linhas gravadas, " +
                         std::to_string(m.measuredRows) + " medidas)");
    }
    const std::string dictionary = DictionaryBytes(m.names);
    out += dictionary;
    m.ended = true;
    return m.dictionaryOffset + dictionary.size();
}

void FitStringSizes(Dataset& ds) {
    for (std::size_t i = 0; i < ds.columns.size(); ++i) {
        Column& col = ds.columns[i];
        if (col.type != DataType::WideString && col.type != DataType::AnsiString)
            continue;
        std::size_t longest = 1;
        for (const Row& row : ds.rows) {
            if (i >= row.size())
                continue;
            const auto* s = std::get_if<std::string>(&row[i]);
            if (s == nullptr)
                continue;
            const auto n = col.type == DataType::WideString ? text::Utf16Length(*s) : text::Cp1252Length(*s);
            longest = std::max(longest, n.value_or(s->size()));
        }
        if (longest > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
            longest = static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max());
        }
        col.size = std::max(col.size, static_cast<std::int32_t>(longest));
    }
}

}  // namespace kqz::codec
