#include <cmath>
#include <cstring>
#include <limits>
#include <unordered_map>

#include "cloud/codec/adbs.hpp"
#include "cloud/codec/adbs_internal.hpp"
#include "cloud/codec/adbs_reader.hpp"
#include "cloud/codec/text.hpp"

namespace kqz::codec {
namespace detail {
namespace {

[[noreturn]] void Fail(std::uint64_t offset, const std::string& what) {
    throw CodecError("fluxo FireDAC inválido no byte " + std::to_string(offset) + ": " + what);
}

std::uint16_t U16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

std::uint32_t U32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
           (std::uint32_t{p[3]} << 24);
}

std::uint64_t U64(const std::uint8_t* p) {
    return U32(p) | (std::uint64_t{U32(p + 4)} << 32);
}

template <class T>
T Bits(const std::uint8_t* p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// ---------------------------------------------------------------------------
// Sources of the object tree's bytes. Both offer the same small interface:
// Take(n) (n contiguous bytes, or a clear error), PeekByte, PeekU16,
// Offset() and Remaining() (bytes left before the dictionary).

class MemorySource {
  public:
    MemorySource(const std::uint8_t* data, std::size_t begin, std::size_t end)
        : data_(data), pos_(begin), end_(end) {}

    const std::uint8_t* Take(std::size_t n, const char* what) {
        if (end_ - pos_ < n) {
            Fail(pos_, std::string("fim inesperado dos dados ao ler ") + what + " (" + std::to_string(n) +
                           " bytes pedidos, " + std::to_string(end_ - pos_) + " restantes)");
        }
        const std::uint8_t* p = data_ + pos_;
        pos_ += n;
        return p;
    }
    bool PeekByte(std::uint8_t& b) {
        if (pos_ >= end_)
            return false;
        b = data_[pos_];
        return true;
    }
    bool PeekU16(std::uint16_t& v) {
        if (end_ - pos_ < 2)
            return false;
        v = U16(data_ + pos_);
        return true;
    }
    std::uint64_t Offset() const { return pos_; }
    std::uint64_t Remaining() const { return end_ - pos_; }

  private:
    const std::uint8_t* data_;
    std::size_t pos_;
    std::size_t end_;
};

class BufferedSource {
  public:
    BufferedSource(PullSource& source, std::uint64_t begin, std::uint64_t end)
        : source_(source), base_(begin), end_(end), buf_(std::size_t{256} << 10) {}

    const std::uint8_t* Take(std::size_t n, const char* what) {
        if (!Ensure(n)) {
            Fail(Offset(), std::string("fim inesperado dos dados ao ler ") + what + " (" + std::to_string(n) +
                               " bytes pedidos, " + std::to_string(Remaining()) + " restantes)");
        }
        const std::uint8_t* p = buf_.data() + pos_;
        pos_ += n;
        return p;
    }
    bool PeekByte(std::uint8_t& b) {
        if (!Ensure(1))
            return false;
        b = buf_[pos_];
        return true;
    }
    bool PeekU16(std::uint16_t& v) {
        if (!Ensure(2))
            return false;
        v = U16(buf_.data() + pos_);
        return true;
    }
    std::uint64_t Offset() const { return base_ + pos_; }
    std::uint64_t Remaining() const { return end_ - Offset(); }

  private:
    bool Ensure(std::size_t n) {
        if (fill_ - pos_ >= n)
            return true;
        if (n > Remaining())
            return false;  // also bounds the buffer by the stream's real size
        if (pos_ != 0) {
            std::memmove(buf_.data(), buf_.data() + pos_, fill_ - pos_);
            base_ += pos_;
            fill_ -= pos_;
            pos_ = 0;
        }
        if (buf_.size() < n) {
            buf_.resize(std::max(n, 2 * buf_.size()));
        }
        while (fill_ < n) {
            const std::size_t got = source_.Pull(buf_.data() + fill_, buf_.size() - fill_);
            if (got == 0)
                return false;
            fill_ += got;
        }
        return true;
    }

    PullSource& source_;
    std::uint64_t base_;  // stream offset of buf_[0]
    std::uint64_t end_;
    std::vector<std::uint8_t> buf_;
    std::size_t pos_ = 0;
    std::size_t fill_ = 0;
};

// ---------------------------------------------------------------------------
// What kind of value each property carries: the stream does not say, so a
// property not in this table cannot be skipped.

enum class PropKind : std::uint8_t { None, Bool, Int32, UInt32, String, Enum };

const std::unordered_map<std::string_view, PropKind>& PropertyKinds() {
    static const std::unordered_map<std::string_view, PropKind> kinds = [] {
        std::unordered_map<std::string_view, PropKind> m;
        for (const char* n : {"UpdatesRegistry",
                              "CaseSensitive",
                              "EnforceConstraints",
                              "Round2Scale",
                              "CheckPrecision",
                              "StrsTrim2Len",
                              "CheckNotNull",
                              "CheckReadOnly",
                              "Nested",
                              "AutoIncrement",
                              "Searchable",
                              "AllowNull",
                              "FixedLen",
                              "BlobData",
                              "ReadOnly",
                              "AutoInc",
                              "ROWID",
                              "Default",
                              "RowVersion",
                              "Internal",
                              "Calculated",
                              "Volatile",
                              "Unnamed",
                              "Virtual",
                              "Base",
                              "Expr",
                              "OAllowNull",
                              "OUnique",
                              "OReadOnly",
                              "OInUpdate",
                              "OInWhere",
                              "OInKey",
                              "OAfterInsChanged",
                              "OAfterUpdChanged"}) {
            m.emplace(n, PropKind::Bool);
        }
        for (const char* n :
             {"SourceID", "TabID", "MinimumCapacity", "InlineDataSize", "Precision", "Scale", "Size",
              "AutoIncrementSeed", "AutoIncrementStep", "SourcePrecision", "SourceScale", "SourceSize"}) {
            m.emplace(n, PropKind::Int32);
        }
        for (const char* n : {"Locale", "RowID", "SavePoint", "ChangeNumber"}) {
            m.emplace(n, PropKind::UInt32);
        }
        for (const char* n : {"Name", "SourceName", "Caption", "Expression", "OriginTabName", "OriginColName",
                              "OriginName", "SourceDataTypeName", "SourceDirectory", "SourceGenerator"}) {
            m.emplace(n, PropKind::String);
        }
        for (const char* n : {"DataType", "SourceDataType", "RowState", "RowPriorState"}) {
            m.emplace(n, PropKind::Enum);
        }
        return m;
    }();
    return kinds;
}

struct Property {
    std::string_view name;
    PropKind kind = PropKind::None;
    std::int64_t number = 0;  // Bool, Int32, UInt32
    std::string text;         // String
    std::string_view enumName;
    std::uint64_t offset = 0;
};

std::string Quote(std::string_view s) {
    std::string q;
    q.reserve(s.size() + 2);
    q.push_back('"');
    q.append(s);
    q.push_back('"');
    return q;
}

std::string DecimalFromScaled(std::int64_t v, int places) {
    const bool negative = v < 0;
    // |INT64_MIN| does not fit an int64: work unsigned.
    std::uint64_t u = negative ? ~static_cast<std::uint64_t>(v) + 1 : static_cast<std::uint64_t>(v);
    std::string digits = std::to_string(u);
    if (static_cast<int>(digits.size()) <= places) {
        digits.insert(0, static_cast<std::size_t>(places) + 1 - digits.size(), '0');
    }
    std::string intPart = digits.substr(0, digits.size() - static_cast<std::size_t>(places));
    std::string frac = digits.substr(digits.size() - static_cast<std::size_t>(places));
    while (!frac.empty() && frac.back() == '0')
        frac.pop_back();
    std::string out = negative && u != 0 ? "-" : "";
    out += intPart;
    if (!frac.empty())
        out += "." + frac;
    return out;
}

// Calendar fields of TSQLTimeStamp to FireDAC's milliseconds.
double TimeStampToMs(const std::uint8_t* p, std::uint64_t offset) {
    const auto year = static_cast<std::int16_t>(U16(p));
    const unsigned month = U16(p + 2), day = U16(p + 4), hour = U16(p + 6), minute = U16(p + 8),
                   second = U16(p + 10);
    const std::uint32_t fraction = U32(p + 12);
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59 ||
        fraction > 999) {
        Fail(offset, "data/hora (TSQLTimeStamp) inválida");
    }
    const std::int64_t days = DaysFromCivil(year, month, day);
    const std::int64_t ms = ((std::int64_t{hour} * 60 + minute) * 60 + second) * 1000 + fraction;
    return static_cast<double>(days * 86400000 + ms);
}

// The 80-bit extended of x87 to a double (rounded; out of range becomes infinity).
double ExtendedToDouble(const std::uint8_t* p) {
    const std::uint64_t mantissa = U64(p);
    const unsigned se = U16(p + 8);
    const bool negative = (se & 0x8000) != 0;
    const int exponent = static_cast<int>(se & 0x7FFF);
    double v = 0;
    if (exponent == 0x7FFF) {
        v = (mantissa << 1) == 0 ? std::numeric_limits<double>::infinity()
                                 : std::numeric_limits<double>::quiet_NaN();
    } else if (mantissa != 0) {
        v = std::ldexp(static_cast<double>(mantissa), exponent - 16383 - 63);
    }
    return negative ? -v : v;
}

template <class Src>
class TreeParser {
  public:
    TreeParser(const std::vector<std::string>& dictionary, Src& src, AdbsVisitor& visitor)
        : dict_(dictionary), src_(src), visitor_(visitor) {
        kinds_.reserve(dict_.size());
        const auto& table = PropertyKinds();
        for (const auto& n : dict_) {
            const auto it = table.find(n);
            kinds_.push_back(it == table.end() ? PropKind::None : it->second);
        }
    }

    void Run() {
        if (Expect() != Item::Begin || BeginObject() != "Manager") {
            Fail(objectOffset_, "o fluxo não começa pelo objeto Manager");
        }
        ParseManager();
        if (src_.Remaining() != 0) {
            Fail(src_.Offset(), std::to_string(src_.Remaining()) + " bytes depois do fim do objeto Manager");
        }
        if (!tableSeen_) {
            Fail(src_.Offset(), "o fluxo não tem nenhuma tabela");
        }
        header_.priorStateUnchanged = rowCount_ != 0 && priorUnchanged_ == rowCount_;
        visitor_.OnEnd(header_);
    }

  private:
    enum class Item { Property, Begin, End };

    // What comes next inside an object (the stream must not end inside one).
    Item Expect() {
        std::uint8_t b = 0;
        if (!src_.PeekByte(b)) {
            Fail(src_.Offset(), "fim inesperado dos dados dentro de um objeto");
        }
        return b == kObjectBegin ? Item::Begin : b == kObjectEnd ? Item::End : Item::Property;
    }

    std::string_view BeginObject() {
        objectOffset_ = src_.Offset();
        const std::uint8_t* p = src_.Take(2, "início de objeto");
        return Name(p[1], objectOffset_);
    }

    void EndObject() { src_.Take(1, "fim de objeto"); }

    std::string_view Name(std::size_t index, std::uint64_t offset) const {
        if (index >= dict_.size()) {
            Fail(offset, "índice de nome " + std::to_string(index) + " fora do dicionário (" +
                             std::to_string(dict_.size()) + " nomes)");
        }
        return dict_[index];
    }

    [[noreturn]] void UnexpectedObject(std::string_view name, std::string_view inside) const {
        Fail(objectOffset_, "objeto " + Quote(name) + " inesperado dentro de " + Quote(inside));
    }

    std::string WideText(std::size_t bytes, std::uint64_t offset, const char* what) {
        if (bytes % 2 != 0) {
            Fail(offset, std::string("texto UTF-16 com número ímpar de bytes em ") + what);
        }
        const std::uint8_t* p = src_.Take(bytes, what);
        // Convert in a scratch buffer (it needs room for the worst case), then
        // keep an exact copy: a table of long texts must not hold that room.
        scratch_.clear();
        if (const auto bad = text::AppendUtf16LeAsUtf8(scratch_, p, bytes)) {
            Fail(offset + 4 + *bad, std::string("UTF-16 inválido (surrogate isolado) em ") + what);
        }
        return std::string(scratch_);
    }

    Property ReadProperty() {
        Property prop;
        prop.offset = src_.Offset();
        const std::uint16_t index = U16(src_.Take(2, "propriedade"));
        prop.name = Name(index, prop.offset);
        prop.kind = kinds_[index];
        switch (prop.kind) {
            case PropKind::None:
                Fail(prop.offset, "propriedade desconhecida " + Quote(prop.name));
            case PropKind::Bool:
                prop.number = *src_.Take(1, "propriedade") != 0;
                break;
            case PropKind::Int32:
                prop.number = static_cast<std::int32_t>(U32(src_.Take(4, "propriedade")));
                break;
            case PropKind::UInt32:
                prop.number = U32(src_.Take(4, "propriedade"));
                break;
            case PropKind::String: {
                const std::uint32_t len = U32(src_.Take(4, "propriedade"));
                prop.text = WideText(len, prop.offset + 2, "propriedade");
                break;
            }
            case PropKind::Enum:
                prop.enumName = Name(U16(src_.Take(2, "propriedade")), prop.offset);
                break;
        }
        return prop;
    }

    // Walks the members of the object just begun: properties go to onProp,
    // child objects (already begun) to onChild, which must read them whole.
    template <class OnProp, class OnChild>
    void Members(OnProp onProp, OnChild onChild) {
        for (;;) {
            switch (Expect()) {
                case Item::Property:
                    onProp(ReadProperty());
                    break;
                case Item::Begin:
                    onChild(BeginObject());
                    break;
                case Item::End:
                    EndObject();
                    return;
            }
        }
    }

    static void Ignore(const Property&) {}

    void ParseEmpty(std::string_view list) {
        Members(Ignore, [&](std::string_view child) {
            Fail(objectOffset_,
                 "lista " + Quote(list) + " não vazia (objeto " + Quote(child) + ") não é suportada");
        });
    }

    void ParseManager() {
        Members(Ignore, [&](std::string_view child) {
            if (child == "TableList") {
                Members(Ignore, [&](std::string_view table) {
                    if (table != "Table")
                        UnexpectedObject(table, "TableList");
                    if (tableSeen_)
                        Fail(objectOffset_, "o fluxo tem mais de uma tabela");
                    tableSeen_ = true;
                    ParseTable();
                });
            } else if (child == "RelationList") {
                ParseEmpty(child);
            } else if (child == "UpdatesJournal") {
                ParseJournal();
            } else {
                UnexpectedObject(child, "Manager");
            }
        });
    }

    void ParseJournal() {
        Members(
            [&](const Property& p) {
                if (p.name == "SavePoint")
                    header_.savePoint = static_cast<std::uint32_t>(p.number);
            },
            [&](std::string_view child) {
                if (child != "Changes")
                    UnexpectedObject(child, "UpdatesJournal");
                Members(Ignore, [&](std::string_view change) {
                    if (change != "Change")
                        UnexpectedObject(change, "Changes");
                    Members(Ignore, [&](std::string_view o) { UnexpectedObject(o, "Change"); });
                });
            });
    }

    void ParseTable() {
        Members(
            [&](const Property& p) {
                if (p.name == "Name")
                    header_.name = p.text;
                if (p.name == "SourceName")
                    header_.sourceName = p.text;
            },
            [&](std::string_view child) {
                if (child == "ColumnList") {
                    if (announced_ || !header_.columns.empty()) {
                        Fail(objectOffset_, "lista de colunas repetida ou depois das linhas");
                    }
                    Members(Ignore, [&](std::string_view column) {
                        if (column != "Column")
                            UnexpectedObject(column, "ColumnList");
                        ParseColumn();
                    });
                } else if (child == "ConstraintList" || child == "ViewList") {
                    ParseEmpty(child);
                } else if (child == "RowList") {
                    Announce();
                    Members(Ignore, [&](std::string_view row) {
                        if (row != "Row")
                            UnexpectedObject(row, "RowList");
                        ParseRow();
                    });
                } else {
                    UnexpectedObject(child, "Table");
                }
            });
        Announce();
    }

    void Announce() {
        if (!announced_) {
            announced_ = true;
            if (header_.sourceName == header_.name) {
                header_.sourceName.clear();
            }
            visitor_.OnTable(header_);
        }
    }

    void ParseColumn() {
        if (header_.columns.size() >= 0xFFFF) {
            Fail(objectOffset_, "colunas demais");
        }
        Column col;
        col.allowNull = false;  // the flags present are the column's attributes
        Members(
            [&](const Property& p) {
                if (p.name == "Name") {
                    col.name = p.text;
                } else if (p.name == "DataType") {
                    const auto type = DataTypeFromName(p.enumName);
                    if (!type)
                        Fail(p.offset, "tipo de dado desconhecido " + Quote(p.enumName));
                    col.type = *type;
                } else if (p.name == "Size") {
                    col.size = static_cast<std::int32_t>(p.number);
                } else if (p.name == "Precision") {
                    col.precision = static_cast<std::int32_t>(p.number);
                } else if (p.name == "Scale") {
                    col.scale = static_cast<std::int32_t>(p.number);
                } else if (p.name == "AllowNull") {
                    col.allowNull = p.number != 0;
                }
            },
            [&](std::string_view o) { UnexpectedObject(o, "Column"); });
        header_.columns.push_back(std::move(col));
    }

    void ParseRow() {
        ++rowObjects_;
        std::string_view state = "rsUnchanged";
        std::string_view prior = "rsDetached";
        bool hasCurrent = false;
        Members(
            [&](const Property& p) {
                if (p.name == "RowState")
                    state = p.enumName;
                if (p.name == "RowPriorState")
                    prior = p.enumName;
            },
            [&](std::string_view child) {
                if (child == "Original") {
                    ParseVersion(row_);
                } else if (child == "Current") {
                    ParseVersion(current_);
                    hasCurrent = true;
                } else if (child == "Proposed") {
                    ParseVersion(proposed_);
                } else if (child == "Exception") {
                    Fail(objectOffset_,
                         "linha com erro de gravação pendente (objeto \"Exception\") não é suportada");
                } else {
                    UnexpectedObject(child, "Row");
                }
            });
        if (state == "rsDeleted") {
            return;
        }
        ++rowCount_;
        if (prior == "rsUnchanged")
            ++priorUnchanged_;
        Row& chosen = hasCurrent ? current_ : row_;
        if (chosen.size() != header_.columns.size()) {
            chosen.assign(header_.columns.size(), std::monostate{});  // a row without any version: all NULL
        }
        visitor_.OnRow(chosen);
        row_.clear();
        current_.clear();
    }

    // One version of a row: every non-null value as column index + data,
    // first the ordinary columns in order, then the late ones in order. As
    // FireDAC reads it: a column whose index is not next is NULL.
    void ParseVersion(Row& row) {
        const std::size_t n = header_.columns.size();
        row.assign(n, std::monostate{});
        for (const bool late : {false, true}) {
            for (std::size_t i = 0; i < n; ++i) {
                const Column& col = header_.columns[i];
                if (IsLateType(col.type) != late)
                    continue;
                std::uint16_t index = 0;
                if (src_.PeekU16(index) && index == i) {
                    const std::uint64_t at = src_.Offset();
                    src_.Take(2, "valor");
                    ReadValue(col, i, at, row[i]);
                }
            }
        }
        std::uint8_t b = 0;
        if (!src_.PeekByte(b) || b != kObjectEnd) {
            std::uint16_t index = 0;
            const bool more = src_.PeekU16(index);
            Fail(src_.Offset(), more ? "valor de coluna " + std::to_string(index) +
                                           " fora de ordem ou de coluna inexistente na linha " +
                                           std::to_string(rowObjects_)
                                     : "fim inesperado dos dados na linha " + std::to_string(rowObjects_));
        }
        EndObject();
    }

    void ReadValue(const Column& col, std::size_t index, std::uint64_t at, Value& out) {
        const char* what = "valor";
        switch (col.type) {
            case DataType::Boolean:
                out = U16(src_.Take(2, what)) != 0;
                return;
            case DataType::SByte:
                out = std::int64_t{static_cast<std::int8_t>(*src_.Take(1, what))};
                return;
            case DataType::Byte:
                out = std::int64_t{*src_.Take(1, what)};
                return;
            case DataType::Int16:
                out = std::int64_t{static_cast<std::int16_t>(U16(src_.Take(2, what)))};
                return;
            case DataType::UInt16:
                out = std::int64_t{U16(src_.Take(2, what))};
                return;
            case DataType::Int32:
                out = std::int64_t{static_cast<std::int32_t>(U32(src_.Take(4, what)))};
                return;
            case DataType::UInt32:
                out = std::int64_t{U32(src_.Take(4, what))};
                return;
            case DataType::Int64:
                out = static_cast<std::int64_t>(U64(src_.Take(8, what)));
                return;
            case DataType::UInt64:
                out = U64(src_.Take(8, what));
                return;
            case DataType::Single:
                out = static_cast<double>(Bits<float>(src_.Take(4, what)));
                return;
            case DataType::Double:
                out = Bits<double>(src_.Take(8, what));
                return;
            case DataType::Extended:
                out = ExtendedToDouble(src_.Take(10, what));
                return;
            case DataType::Currency:
                out = Decimal{DecimalFromScaled(static_cast<std::int64_t>(U64(src_.Take(8, what))), 4)};
                return;
            case DataType::BCD:
            case DataType::FmtBCD:
                out = Decimal{ReadBcd(at)};
                return;
            case DataType::Date:
                out = Date{static_cast<std::int32_t>(U32(src_.Take(4, what)))};
                return;
            case DataType::Time:
                out = Time{static_cast<std::int32_t>(U32(src_.Take(4, what)))};
                return;
            case DataType::DateTime:
                out = DateTime{Bits<double>(src_.Take(8, what))};
                return;
            case DataType::DateTimeStamp:
                out = DateTime{TimeStampToMs(src_.Take(16, what), at)};
                return;
            case DataType::GUID: {
                const std::uint8_t* p = src_.Take(16, what);
                out = Bytes{std::string(reinterpret_cast<const char*>(p), 16)};
                return;
            }
            default:
                break;
        }
        if (IsWideText(col.type) || IsAnsiText(col.type) || IsByteData(col.type)) {
            const std::uint32_t len = U32(src_.Take(4, what));
            if (IsWideText(col.type)) {
                out = WideText(len, at + 2, what);
            } else {
                const std::uint8_t* p = src_.Take(len, what);
                if (IsAnsiText(col.type)) {
                    std::string s;
                    text::AppendCp1252AsUtf8(s, p, len);
                    out = std::move(s);
                } else {
                    out = Bytes{std::string(reinterpret_cast<const char*>(p), len)};
                }
            }
            return;
        }
        Fail(at, "tipo " + std::string(DataTypeName(col.type)) + " da coluna " + Quote(col.name) + " (" +
                     std::to_string(index) + ") não é suportado");
    }

    // TBcd: precision, sign and places, then packed decimal digits.
    std::string ReadBcd(std::uint64_t at) {
        const std::size_t len = *src_.Take(1, "valor BCD");
        const std::uint8_t* p = src_.Take(len, "valor BCD");
        if (len < 2)
            Fail(at, "valor BCD curto demais");
        const unsigned precision = p[0];
        const unsigned places = p[1] & 0x3Fu;
        const bool negative = (p[1] & 0x80) != 0;
        if ((p[1] & 0x40) != 0)
            Fail(at, "valor BCD especial não é suportado");
        if (precision > 64 || 2 + (precision + 1) / 2 > len)
            Fail(at, "valor BCD com precisão inválida");
        std::string digits;
        for (unsigned k = 0; k < precision; ++k) {
            const unsigned nibble = (k % 2 == 0) ? p[2 + k / 2] >> 4 : p[2 + k / 2] & 0x0Fu;
            if (nibble > 9)
                Fail(at, "valor BCD com dígito inválido");
            digits.push_back(static_cast<char>('0' + nibble));
        }
        if (digits.size() <= places)
            digits.insert(0, places + 1 - digits.size(), '0');
        std::string intPart = digits.substr(0, digits.size() - places);
        std::string frac = digits.substr(digits.size() - places);
        const std::size_t first = intPart.find_first_not_of('0');
        intPart = first == std::string::npos ? "0" : intPart.substr(first);
        while (!frac.empty() && frac.back() == '0')
            frac.pop_back();
        const bool zero = intPart == "0" && frac.empty();
        std::string outText = negative && !zero ? "-" : "";
        outText += intPart;
        if (!frac.empty())
            outText += "." + frac;
        return outText;
    }

    const std::vector<std::string>& dict_;
    std::vector<PropKind> kinds_;
    Src& src_;
    AdbsVisitor& visitor_;
    Dataset header_;
    bool tableSeen_ = false;
    bool announced_ = false;
    std::uint64_t objectOffset_ = 0;
    std::uint64_t rowCount_ = 0;    // rows handed over
    std::uint64_t rowObjects_ = 0;  // rows met in the stream, deleted ones included
    std::uint64_t priorUnchanged_ = 0;
    Row row_, current_, proposed_;
    std::string scratch_;
};

}  // namespace

AdbsHeader ParseAdbsHeader(std::string_view header, std::uint64_t totalSize) {
    if (header.size() < kAdbsHeaderSize) {
        throw CodecError("fluxo FireDAC inválido: " + std::to_string(header.size()) +
                         " bytes não bastam para o cabeçalho (12)");
    }
    const auto* p = reinterpret_cast<const std::uint8_t*>(header.data());
    if (std::memcmp(p, "ADBS", 4) != 0) {
        throw CodecError("não é um fluxo FireDAC binário: falta a assinatura \"ADBS\" no byte 0");
    }
    AdbsHeader h;
    h.version = U16(p + 4);
    if (h.version != kAdbsVersion) {
        throw CodecError("fluxo FireDAC de versão " + std::to_string(h.version) +
                         " não suportada (byte 4; esperada " + std::to_string(kAdbsVersion) + ")");
    }
    h.dictionaryOffset = U32(p + 8);
    if (h.dictionaryOffset < kAdbsHeaderSize || h.dictionaryOffset > totalSize) {
        throw CodecError("fluxo FireDAC inválido no byte 8: dicionário no byte " +
                         std::to_string(h.dictionaryOffset) + ", fora do fluxo de " +
                         std::to_string(totalSize) + " bytes");
    }
    return h;
}

std::vector<std::string> ParseAdbsDictionary(std::string_view bytes, std::uint64_t baseOffset) {
    std::vector<std::string> names;
    const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        if (bytes.size() - pos < 2) {
            Fail(baseOffset + pos, "dicionário truncado");
        }
        const std::size_t len = U16(p + pos);
        if (len % 2 != 0 || bytes.size() - pos - 2 < len) {
            Fail(baseOffset + pos,
                 "nome do dicionário com tamanho inválido (" + std::to_string(len) + " bytes)");
        }
        std::string name;
        if (text::AppendUtf16LeAsUtf8(name, p + pos + 2, len)) {
            Fail(baseOffset + pos, "nome do dicionário com UTF-16 inválido");
        }
        names.push_back(std::move(name));
        pos += 2 + len;
    }
    return names;
}

void ReadAdbsTree(const std::vector<std::string>& dictionary, PullSource& source, std::uint64_t treeEnd,
                  AdbsVisitor& visitor) {
    BufferedSource src(source, kAdbsHeaderSize, treeEnd);
    TreeParser<BufferedSource>(dictionary, src, visitor).Run();
}

void TableCollector::OnTable(const Dataset& header) {
    table_ = header;
}

void TableCollector::OnRow(Row& row) {
    table_.rows.push_back(std::move(row));
}

void TableCollector::OnEnd(const Dataset& header) {
    table_.savePoint = header.savePoint;
    table_.priorStateUnchanged = header.priorStateUnchanged;
    table_.sourceName = header.sourceName;
}

}  // namespace detail

void ReadAdbs(std::string_view bytes, AdbsVisitor& visitor) {
    const detail::AdbsHeader h = detail::ParseAdbsHeader(bytes, bytes.size());
    const auto dictionary = detail::ParseAdbsDictionary(bytes.substr(h.dictionaryOffset), h.dictionaryOffset);
    detail::MemorySource src(reinterpret_cast<const std::uint8_t*>(bytes.data()), detail::kAdbsHeaderSize,
                             h.dictionaryOffset);
    detail::TreeParser<detail::MemorySource>(dictionary, src, visitor).Run();
}

Dataset ReadAdbs(std::string_view bytes) {
    detail::TableCollector collector;
    ReadAdbs(bytes, collector);
    return collector.Take();
}

}  // namespace kqz::codec
