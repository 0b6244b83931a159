#pragma once

// LerXml: reads one CF-e file (a sale or the cancellation of a sale) into the
// summary tables.
//
// A file whose root element is CFeCanc, or whose name (without folder and
// extension) contains "CFeC", is a cancellation: it adds its own document row,
// voids the first sale of the cancelled number read before it (total 0 and a
// note) and deletes that sale's items. Any other file is a sale: one item row
// per CFOP element and, when the document has a payment means (cMP), one
// document row.
//
// Two reading rules, each for its own purpose:
//   - the report (the two tables) takes the value of a tag by name: of all
//     elements of that name anywhere in the document, in document order, the
//     last one wins, and its value is that of its first child node (for
//     <a><b/>x</a> the value of <b/>, not "x");
//   - the coupon's facts in XmlLido::cupom (ExtrairCupom: key, emitter, date,
//     number, SAT serial, items) are read by position (infCFe/ide, emit, det,
//     total). The per-SAT sequences, the spreadsheets, the checks and the
//     server's import use those, so the server files a coupon under the same
//     key, CNPJ and month the client reads from it.
//
// A file holds exactly one XML document: a second root element, text or NUL
// bytes after the root, or a byte not valid in the encoding the file declares
// (UTF-8 unless it says ISO-8859-1; UTF-16 with its mark) is an error naming
// the byte offset.
//
// Choices where a file is not a proper CF-e:
//   - an element without any child reads as the empty text (a number, date or
//     CFOP then is empty); an element whose first child is another element
//     reads as the empty text too;
//   - an item whose vItem is empty, missing (fewer vItem than CFOP) or not a
//     number is an error naming the file and the item;
//   - a number (nCFe) longer than 9 characters or a CFOP longer than 5 is an
//     error: the columns hold no more and a cut value would link the wrong rows.
//
// The SAT unit's serial (nserieSAT, by the same rule) goes to CZ_SERIAL and to
// the items' Serie; the rows stay linked by number alone.
//
// Errors raise ResumoError with a Portuguese message naming the file and what
// failed; rows posted before the error stay in the tables.

#include <string>

#include "summary/cupom.hpp"
#include "summary/tables.hpp"

namespace kqz::summary {

// What LerXml found in a file besides the rows it posted.
struct XmlLido {
    bool vazio = false;         // empty file: nothing was read
    bool cancelamento = false;  // read as a cancellation
    std::string numero;         // nCFe
    std::string emit_cnpj;      // emitter of the document (infCFe/emit)
    std::string emit_xNome;
    std::string emit_xFant;
    Cupom cupom;  // the facts the per-SAT sequences, spreadsheets and checks use
};

// Reads the file at `_sArquivo` and records it in `tables`. A file that is
// empty, not a regular file or unreadable is an error naming it.
XmlLido LerXml(SummaryTables& tables, const std::string& _sArquivo);

// The same for a file whose exact content is already in memory (`texto`, the
// bytes written to `_sArquivo`): nothing is read from disk; `_sArquivo` gives
// the name that decides sale or cancellation and names the file in errors.
// The text is consumed (parsed in place).
XmlLido LerXml(SummaryTables& tables, const std::string& _sArquivo, std::string texto);

}  // namespace kqz::summary
