#include "app/update/version_check.hpp"

#include <charconv>
#include <stdexcept>

#include "cloud/mem_table.hpp"

namespace kqz::app {
namespace {

int Inteiro(const std::string& text) {
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || text.empty()) {
        throw std::invalid_argument("'" + text + "' não é um número inteiro válido");
    }
    return value;
}

}  // namespace

std::optional<VersaoOferecida> VersaoMaisNova(const cloud::MemTable& table, const std::string& buildAtual) {
    const int servidor = table.Fields(0).AsInteger();
    if (Inteiro(buildAtual) >= servidor) {
        return std::nullopt;
    }
    return VersaoOferecida{servidor, table.Fields(1).AsString(), table.Fields(2).AsString()};
}

}  // namespace kqz::app
