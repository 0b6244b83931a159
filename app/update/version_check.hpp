#pragma once

#include <optional>
#include <string>

namespace kqz::cloud {
class MemTable;
}

namespace kqz::app {

// A newer build the server offers.
struct VersaoOferecida {
    int build = 0;
    std::string link;       // column 2 of the version row
    std::string descricao;  // column 3, shown as it is
};

// Reads the version row loaded into `table` (columns by position: build,
// link, description) and compares it with `buildAtual`, the program's own
// build as the text of its build label. Returns the offer when the server's
// build is strictly higher. No row, or an empty build, reads as 0. Throws when
// the table has fewer columns than it reads, the build is not an integer, or
// `buildAtual` is not an integer.
std::optional<VersaoOferecida> VersaoMaisNova(const cloud::MemTable& table, const std::string& buildAtual);

}  // namespace kqz::app
