#pragma once

// The tabular data that travels between kqz-server and its clients: one
// dataset per query result, its columns typed with FireDAC's data types so
// that a stream we write loads in a FireDAC client and a stream a FireDAC
// server writes loads here.

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace kqz::codec {

// FireDAC's TFDDataType, in declaration order (the stream stores the name).
enum class DataType : std::uint8_t {
    Unknown,
    Boolean,
    SByte,
    Int16,
    Int32,
    Int64,
    Byte,
    UInt16,
    UInt32,
    UInt64,
    Single,
    Double,
    Extended,
    Currency,
    BCD,
    FmtBCD,
    DateTime,
    Time,
    Date,
    DateTimeStamp,
    TimeIntervalFull,
    TimeIntervalYM,
    TimeIntervalDS,
    AnsiString,
    WideString,
    ByteString,
    Blob,
    Memo,
    WideMemo,
    XML,
    HBlob,
    HMemo,
    WideHMemo,
    HBFile,
    RowSetRef,
    CursorRef,
    RowRef,
    ArrayRef,
    ParentRowRef,
    GUID,
    Object,
};

// A calendar date as FireDAC counts it: 0001-01-01 is day 1.
struct Date {
    std::int32_t day = 0;
    friend bool operator==(const Date&, const Date&) = default;
};

// Milliseconds since midnight.
struct Time {
    std::int32_t ms = 0;
    friend bool operator==(const Time&, const Time&) = default;
};

// Milliseconds since 0001-01-01 00:00 (day number * 86,400,000 + ms of day).
struct DateTime {
    double ms = 0;
    friend bool operator==(const DateTime&, const DateTime&) = default;
};

// An exact decimal (BCD, FmtBCD, Currency) as text: optional "-", digits, and
// optionally "." and more digits, e.g. "-1234.56".
struct Decimal {
    std::string text;
    friend bool operator==(const Decimal&, const Decimal&) = default;
};

// Raw bytes (blobs, byte strings, GUIDs).
struct Bytes {
    std::string data;
    friend bool operator==(const Bytes&, const Bytes&) = default;
};

// One cell. std::monostate is NULL. Texts of every string type are UTF-8
// (ANSI texts are converted from Windows-1252 on reading and back on writing).
using Value = std::variant<std::monostate, bool, std::int64_t, std::uint64_t, double, std::string, Bytes,
                           Date, Time, DateTime, Decimal>;

struct Column {
    std::string name;
    DataType type = DataType::Unknown;
    std::int32_t size = 0;       // characters for strings, 0 otherwise
    std::int32_t precision = 0;  // BCD / FmtBCD
    std::int32_t scale = 0;
    bool allowNull = true;
    friend bool operator==(const Column&, const Column&) = default;
};

using Row = std::vector<Value>;

struct Dataset {
    std::string name;  // the table's name inside the stream
    std::vector<Column> columns;
    std::vector<Row> rows;

    // Details a FireDAC table keeps in its stream. They carry no data, but
    // keeping them lets a table read from a stream be written back unchanged.
    std::string sourceName;            // empty: the same as `name`
    std::uint32_t savePoint = 0;       // the change journal's save point
    bool priorStateUnchanged = false;  // every row says its prior state was "unchanged"
};

// Whether values of `type` travel after the other values of a row (memos,
// blobs and byte strings do).
bool IsLateType(DataType type);

// The type's name as a FireDAC stream stores it ("dtInt32", "dtWideMemo"...).
const char* DataTypeName(DataType type);

}  // namespace kqz::codec
