#include "summary/tables.hpp"

#include <algorithm>
#include <utility>

namespace kqz::summary {

namespace {

bool CfopBefore(const CfopRow& a, const CfopRow& b) {
    if (a.CFOP != b.CFOP) {
        return a.CFOP < b.CFOP;
    }
    return a.seq < b.seq;
}

}  // namespace

// ---------------------------------------------------------------- DoctoTable

void DoctoTable::Empty() {
    rows_.clear();
    current_ = rows_.end();
    eof_ = true;
}

void DoctoTable::Append(DoctoRow row) {
    std::string key = row.CZ_NUMDOC;
    current_ = rows_.emplace(std::move(key), std::move(row));
    eof_ = false;
    Scrolled();
}

DoctoRow* DoctoTable::FindFirst(std::string_view numero) {
    auto it = rows_.lower_bound(numero);
    if (it == rows_.end() || it->first != numero) {
        return nullptr;
    }
    return &it->second;
}

bool DoctoTable::Locate(std::string_view numero) {
    auto it = rows_.lower_bound(numero);
    if (it == rows_.end() || it->first != numero) {
        return false;
    }
    current_ = it;
    eof_ = false;
    Scrolled();
    return true;
}

void DoctoTable::First() {
    current_ = rows_.begin();
    eof_ = rows_.empty();
    Scrolled();
}

void DoctoTable::Next() {
    if (current_ == rows_.end()) {
        eof_ = true;
        return;
    }
    auto next = std::next(current_);
    if (next == rows_.end()) {
        eof_ = true;  // the last row stays current
        return;
    }
    current_ = next;
    Scrolled();
}

void DoctoTable::Scrolled() {
    if (after_scroll_) {
        after_scroll_();
    }
}

// ---------------------------------------------------------------- CfopTable

void CfopTable::Empty() {
    groups_.clear();
    count_ = 0;
    next_seq_ = 0;
    filtered_ = false;
    filter_.clear();
    Invalidate();
}

void CfopTable::Append(CfopRow row) {
    row.seq = next_seq_++;
    Group* g = FindGroup(row.Numero);
    if (g == nullptr) {
        g = &groups_[row.Numero];
    }
    if (!g->rows.empty() && CfopBefore(row, g->rows.back())) {
        g->sorted = false;
    }
    g->rows.push_back(std::move(row));
    ++count_;
    // A change ends any walk in progress (the view may point into the group).
    Invalidate();
}

std::size_t CfopTable::DeleteNumero(std::string_view numero) {
    auto it = groups_.find(numero);
    if (it == groups_.end()) {
        return 0;
    }
    const std::size_t n = it->second.rows.size();
    groups_.erase(it);
    count_ -= n;
    Invalidate();
    return n;
}

std::size_t CfopTable::CountNumero(std::string_view numero) const {
    const Group* g = FindGroup(numero);
    return g == nullptr ? 0 : g->rows.size();
}

CfopTable::Group* CfopTable::FindGroup(std::string_view numero) {
    auto it = groups_.find(numero);
    return it == groups_.end() ? nullptr : &it->second;
}

const CfopTable::Group* CfopTable::FindGroup(std::string_view numero) const {
    auto it = groups_.find(numero);
    return it == groups_.end() ? nullptr : &it->second;
}

std::span<const CfopRow> CfopTable::ItemsOf(std::string_view numero) {
    Group* g = FindGroup(numero);
    if (g == nullptr) {
        return {};
    }
    if (!g->sorted) {
        // Sorting moves rows: a view built before is no longer valid.
        std::stable_sort(g->rows.begin(), g->rows.end(), CfopBefore);
        g->sorted = true;
        // Rows moved: a view over this group (or over all rows) must be rebuilt.
        if (!filtered_ || filter_ == numero) {
            Invalidate();
        }
    }
    return g->rows;
}

std::vector<const CfopRow*> CfopTable::AllInCfopOrder() const {
    std::vector<const CfopRow*> all;
    all.reserve(count_);
    for (const auto& [numero, group] : groups_) {
        for (const CfopRow& row : group.rows) {
            all.push_back(&row);
        }
    }
    std::sort(all.begin(), all.end(), [](const CfopRow* a, const CfopRow* b) { return CfopBefore(*a, *b); });
    return all;
}

void CfopTable::SetFilterNumero(std::string_view numero) {
    filtered_ = true;
    filter_.assign(numero);
    Invalidate();
}

void CfopTable::ClearFilter() {
    filtered_ = false;
    filter_.clear();
    Invalidate();
}

void CfopTable::First() {
    Invalidate();
}

void CfopTable::Next() {
    EnsureView();
    ++pos_;
}

bool CfopTable::Eof() {
    EnsureView();
    return pos_ >= view_.size();
}

const CfopRow& CfopTable::Current() {
    EnsureView();
    return *view_[pos_];
}

std::size_t CfopTable::ViewCount() {
    EnsureView();
    return view_.size();
}

void CfopTable::Invalidate() {
    view_valid_ = false;
    view_.clear();
    pos_ = 0;
}

void CfopTable::EnsureView() {
    if (view_valid_) {
        return;
    }
    if (filtered_) {
        const std::span<const CfopRow> rows = ItemsOf(filter_);  // may sort, which invalidates
        view_.clear();
        view_.reserve(rows.size());
        for (const CfopRow& row : rows) {
            view_.push_back(&row);
        }
    } else {
        view_ = AllInCfopOrder();
    }
    pos_ = 0;
    view_valid_ = true;
}

// ------------------------------------------------------------- SummaryTables

SummaryTables::SummaryTables() {
    memTable_Docto.SetAfterScroll([this] { memTable_DoctoAfterScroll(); });
}

void SummaryTables::Empty() {
    memTable_Docto.Empty();
    memTable_CFOP.Empty();
}

void SummaryTables::memTable_DoctoAfterScroll() {
    // An empty table has no current row: its number reads as the empty text.
    const std::string_view numero = memTable_Docto.RecordCount() == 0
                                        ? std::string_view()
                                        : std::string_view(memTable_Docto.Current().CZ_NUMDOC);
    memTable_CFOP.ClearFilter();
    memTable_CFOP.SetFilterNumero(numero);
}

}  // namespace kqz::summary
