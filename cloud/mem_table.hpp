#pragma once

// MemTable: the in-memory table a remote query result is loaded into. It
// declares no columns of its own: every load gives it the columns and rows of
// the dataset it takes over. A cursor walks the rows; fields are read by
// position or by name with FireDAC's conversions.
//
// Text forms: integers in decimal; floats in the shortest general form with
// up to 15 significant digits and "." as decimal separator (1.5, 1E20,
// 1E-6); exact decimals (BCD, currency) as their digits with "." and without
// trailing zeros; dates dd/mm/yyyy, times hh:mm:ss, date-times
// "dd/mm/yyyy hh:mm:ss" (the time left out at midnight); Booleans
// "True"/"False". The decimal separator is always ".", whatever the locale.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "cloud/codec/dataset.hpp"

namespace kqz::cloud {

// A field cannot be found, a value cannot be converted, or the table is not
// in a state that allows the operation. The message names table and field.
class MemTableError : public std::runtime_error {
  public:
    explicit MemTableError(const std::string& message) : std::runtime_error(message) {}
};

class MemTable;

// A view on one column at the table's current row. Valid while the table is
// not closed or reloaded.
class Field {
  public:
    const std::string& FieldName() const;
    codec::DataType DataType() const;
    std::size_t Index() const noexcept { return index_; }

    // The raw value; NULL (std::monostate) when the table has no current row.
    const codec::Value& Value() const;
    bool IsNull() const;
    // Text form (see the file comment); "" for NULL.
    std::string AsString() const;
    // 32-bit integer: 0 for NULL; integers as they are (range checked); floats
    // and decimals rounded half to even; texts parsed as integers (blanks
    // around allowed); Booleans 0/1. Anything else fails with a message
    // naming the field and the value.
    std::int32_t AsInteger() const;
    // The same with 64 bits.
    std::int64_t AsLargeInt() const;
    // 0 for NULL; numbers and decimals; texts parsed with "."; dates and times
    // as Delphi date-time values (days since 1899-12-30 with the time as fraction).
    double AsFloat() const;
    // false for NULL; numbers != 0; texts starting with T/Y/1 (true) or F/N/0
    // (false), case-insensitive.
    bool AsBoolean() const;

  private:
    friend class MemTable;
    Field(const MemTable& table, std::size_t index) : table_(&table), index_(index) {}
    [[noreturn]] void Fail(const std::string& what) const;

    const MemTable* table_;
    std::size_t index_;
};

class MemTable {
  public:
    // `name` only serves the error messages ("memTable_Empresas").
    explicit MemTable(std::string name = "MemTable") : name_(std::move(name)) {}

    const std::string& Name() const noexcept { return name_; }

    // Drops rows and columns; the table is inactive afterwards.
    void Close();
    // Takes over a dataset without copying its values. A closed table gets
    // its columns and rows and is open afterwards, on its first row. An open
    // table appends the rows when the columns match by name and type, and
    // fails otherwise.
    void AppendData(codec::Dataset&& dataset);
    bool Active() const noexcept { return active_; }

    // Cursor. First and Next on an empty or closed table leave Eof true.
    void First();
    void Next();
    bool Eof() const noexcept { return eof_; }
    bool Bof() const noexcept { return bof_; }
    // Rows held; 0 when closed.
    std::size_t RecordCount() const noexcept { return rows_.size(); }
    // 1-based number of the current row; 0 when there is none.
    std::size_t RecNo() const noexcept { return rows_.empty() ? 0 : cursor_ + 1; }

    std::size_t FieldCount() const noexcept { return columns_.size(); }
    const std::vector<codec::Column>& Columns() const noexcept { return columns_; }
    // Field by position; fails with a message naming the table when there is
    // no such column (on a closed table there is none).
    Field Fields(std::size_t index) const;
    // Field by name, letters compared without case (ASCII); fails naming the field.
    Field FieldByName(std::string_view name) const;
    // The same, without failing.
    std::optional<Field> FindField(std::string_view name) const;

    // The value at the current row, NULL when there is no row.
    const codec::Value& CurrentValue(std::size_t column) const;

  private:
    std::string name_;
    std::vector<codec::Column> columns_;
    std::vector<codec::Row> rows_;
    std::size_t cursor_ = 0;
    bool active_ = false;
    bool eof_ = true;
    bool bof_ = true;
};

}  // namespace kqz::cloud
