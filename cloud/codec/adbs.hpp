#pragma once

// FireDAC binary storage ("ADBS", stream version 15): the table format inside
// every dataset list that travels between kqz-server and its clients.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "cloud/codec/dataset.hpp"
#include "cloud/codec/error.hpp"

namespace kqz::codec {

// Receives a table while it is being decoded, so that a caller can handle the
// rows one by one without ever holding the whole table.
class AdbsVisitor {
  public:
    virtual ~AdbsVisitor() = default;
    // Once, before any row: name, stream details and columns (`rows` empty).
    virtual void OnTable(const Dataset& header) = 0;
    // Each row that is not deleted, in stream order; one value per column,
    // std::monostate for NULL. The row may be moved from.
    virtual void OnRow(Row& row) = 0;
    // Once, after the last row; `header` now also has the save point.
    virtual void OnEnd(const Dataset& header) { (void)header; }
};

// Decodes a whole stream into one table. Rows come from the "current" version
// when a row has one, else from the "original"; deleted rows are skipped.
// AnsiString/Memo texts are converted from Windows-1252 to UTF-8, wide texts
// from UTF-16 to UTF-8. Throws CodecError naming the byte offset on any
// malformed, truncated or unsupported input (unknown version, property or
// object; non-empty constraint, view or relation list; more than one table).
Dataset ReadAdbs(std::string_view bytes);

// The same decoding, handing the table to `visitor` row by row.
void ReadAdbs(std::string_view bytes, AdbsVisitor& visitor);

// Encodes a table as FireDAC itself writes a TFDMemTable (the property set of
// real FireDAC streams; header bytes 6-7 are zero). Values must match their
// column's type; texts are UTF-8, written as UTF-16 (wide types) or
// Windows-1252 (AnsiString/Memo). A string column needs `size` >= its longest
// value (see FitStringSizes). Throws CodecError naming row and column when a
// value cannot be written.
std::string WriteAdbs(const Dataset& ds);

// Sets the size of every AnsiString/WideString column to the length of its
// longest value (UTF-16 units or Windows-1252 characters), at least 1, when
// the present size is smaller.
void FitStringSizes(Dataset& ds);

// Streaming form of WriteAdbs: the stream is handed to `sink` in pieces of
// about `chunk` bytes, in order, never whole. Returns the stream's length.
class ByteSink {
  public:
    virtual ~ByteSink() = default;
    virtual void Write(std::string_view bytes) = 0;
};
std::uint64_t WriteAdbs(const Dataset& ds, ByteSink& sink, std::size_t chunk = std::size_t{1} << 20);

// Writes a stream whose rows arrive in batches and are never held together,
// byte for byte as WriteAdbs writes the same table. The header holds the
// offset of the name dictionary, which follows the rows, so the rows are seen
// twice: first every batch goes to Measure, in order; then Begin, Write with
// the same rows in the same order, and End.
class AdbsBatchWriter {
  public:
    // `table` gives name, columns and details; its rows are ignored. With
    // `fitStringSizes` the AnsiString/WideString columns grow to their
    // longest value as FitStringSizes does.
    AdbsBatchWriter(Dataset table, bool fitStringSizes);
    ~AdbsBatchWriter();
    AdbsBatchWriter(const AdbsBatchWriter&) = delete;
    AdbsBatchWriter& operator=(const AdbsBatchWriter&) = delete;

    // Checks and measures the next rows. Throws CodecError like WriteAdbs.
    void Measure(const std::vector<Row>& rows);
    // The columns as they will be written (sizes fitted once all rows were measured).
    const std::vector<Column>& Columns() const;
    // Appends the header and everything before the first row to `out`.
    void Begin(std::string& out);
    // Appends the next rows. Throws CodecError when they are not the rows measured.
    void Write(const std::vector<Row>& rows, std::string& out);
    // Appends what follows the last row and the dictionary; returns the stream's length.
    std::uint64_t End(std::string& out);

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kqz::codec
