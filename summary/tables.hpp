#pragma once

// The two in-memory tables the CF-e reader fills and the report reads:
// memTable_Docto (one row per document, ordered by CZ_NUMDOC text) and
// memTable_CFOP (one row per sold item, ordered by CFOP text), linked by the
// document number as text.
//
// Both keep what is needed for the whole run to stay n log n: documents sit in
// an ordered multimap (equal numbers keep their arrival order), items are
// grouped by Numero and each group is sorted by CFOP only when it is walked.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kqz::summary {

// Widths of the text columns (characters).
inline constexpr std::size_t kLarguraNumDoc = 9;
inline constexpr std::size_t kLarguraSerial = 15;
inline constexpr std::size_t kLarguraData = 10;
inline constexpr std::size_t kLarguraObserv = 100;
inline constexpr std::size_t kLarguraNumero = 9;
inline constexpr std::size_t kLarguraCfop = 5;

// One row of memTable_Docto.
struct DoctoRow {
    std::string CZ_NUMDOC;
    std::string CZ_SERIAL;              // the SAT unit's serial (nserieSAT)
    std::optional<double> CZ_VALORCFE;  // empty: no value (reads as 0)
    std::string CZ_DATA;                // dd/mm/yyyy
    std::string CZ_OBSERV;
};

// One row of memTable_CFOP.
struct CfopRow {
    std::string Numero;
    std::string Serie;  // the SAT unit's serial (nserieSAT)
    std::string CFOP;
    double ValTot = 0.0;
    std::uint64_t seq = 0;  // arrival order, keeps equal CFOPs in the order they came
};

// memTable_Docto: document rows in CZ_NUMDOC text order (byte order; equal
// numbers in arrival order), with a cursor. Every move of the cursor (First,
// Next onto another row, Append, Locate) calls the after-scroll handler.
class DoctoTable {
  public:
    using Index = std::multimap<std::string, DoctoRow, std::less<>>;

    DoctoTable() = default;
    DoctoTable(const DoctoTable&) = delete;  // the cursor points into the rows
    DoctoTable& operator=(const DoctoTable&) = delete;

    // Removes every row; the cursor is then at the end.
    void Empty();

    // Appends and posts a row; it becomes the current row.
    void Append(DoctoRow row);

    // The first row in number order whose CZ_NUMDOC equals `numero` exactly,
    // or nullptr. Its CZ_NUMDOC must not be changed through the pointer.
    DoctoRow* FindFirst(std::string_view numero);

    // Makes the first row with that number current; false (cursor unchanged)
    // when there is none.
    bool Locate(std::string_view numero);

    // Cursor in number order. Next() on the last row sets Eof() and leaves
    // the last row current. Current() requires a non-empty table.
    void First();
    void Next();
    bool Eof() const { return eof_; }
    const DoctoRow& Current() const { return current_->second; }

    std::size_t RecordCount() const { return rows_.size(); }

    // The rows in number order, for walks that do not need the cursor.
    const Index& Rows() const { return rows_; }

    // Called after each change of the current row.
    void SetAfterScroll(std::function<void()> handler) { after_scroll_ = std::move(handler); }

  private:
    void Scrolled();

    Index rows_;
    Index::iterator current_ = rows_.end();
    bool eof_ = true;
    std::function<void()> after_scroll_;
};

// memTable_CFOP: item rows grouped by Numero, walked in CFOP order, with a
// narrowing to one Numero ("Numero='x'") and a cursor over the narrowed (or
// whole) view.
class CfopTable {
  public:
    CfopTable() = default;
    CfopTable(const CfopTable&) = delete;  // the view points into the rows
    CfopTable& operator=(const CfopTable&) = delete;

    // Removes every row and the narrowing.
    void Empty();

    // Appends and posts a row (its seq is assigned here).
    void Append(CfopRow row);

    // Deletes every row whose Numero equals `numero`; returns how many.
    std::size_t DeleteNumero(std::string_view numero);

    std::size_t RecordCount() const { return count_; }
    std::size_t CountNumero(std::string_view numero) const;

    // The rows of one Numero in CFOP order (stable). Valid until the next change.
    std::span<const CfopRow> ItemsOf(std::string_view numero);

    // Every row in CFOP order (stable). Valid until the next change.
    std::vector<const CfopRow*> AllInCfopOrder() const;

    // Narrowing of the view to one Numero, and its removal.
    void SetFilterNumero(std::string_view numero);
    void ClearFilter();
    bool Filtered() const { return filtered_; }

    // Cursor over the view (narrowed or whole), in CFOP order. A new narrowing,
    // its removal, First() or any change of the rows puts the cursor back on
    // the first row of the view, which is built when it is next looked at.
    // Current() requires !Eof().
    void First();
    void Next();
    bool Eof();
    const CfopRow& Current();
    std::size_t ViewCount();

  private:
    struct Group {
        std::vector<CfopRow> rows;
        bool sorted = true;
    };
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };
    using Groups = std::unordered_map<std::string, Group, Hash, std::equal_to<>>;

    Group* FindGroup(std::string_view numero);
    const Group* FindGroup(std::string_view numero) const;

    Groups groups_;
    std::size_t count_ = 0;
    std::uint64_t next_seq_ = 0;
    bool filtered_ = false;
    std::string filter_;
    void Invalidate();
    void EnsureView();

    std::vector<const CfopRow*> view_;
    bool view_valid_ = false;
    std::size_t pos_ = 0;
};

// The two tables of the summary window, with the handler that keeps the item
// view on the current document.
class SummaryTables {
  public:
    SummaryTables();
    SummaryTables(const SummaryTables&) = delete;
    SummaryTables& operator=(const SummaryTables&) = delete;

    // Empties both tables (what the download does before a run).
    void Empty();

    // After-scroll of memTable_Docto: narrows memTable_CFOP to the items of
    // the current document, in CFOP order, with the first of them current.
    void memTable_DoctoAfterScroll();

    DoctoTable memTable_Docto;
    CfopTable memTable_CFOP;
};

}  // namespace kqz::summary
