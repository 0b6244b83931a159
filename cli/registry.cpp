#include "cli/registry.hpp"

#include <algorithm>
#include <utility>

namespace kqz::cli {
namespace {

std::vector<Entry>& Table() {
    static std::vector<Entry> table;
    return table;
}

}  // namespace

Registration::Registration(std::string name, Setup setup) {
    Table().push_back(Entry{std::move(name), std::move(setup)});
}

std::vector<Entry> Registered() {
    auto entries = Table();
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return entries;
}

}  // namespace kqz::cli
