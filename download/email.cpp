#include "download/email.hpp"

#include "download/text.hpp"

namespace kqz::download {

bool ValidarEMail(std::string_view email) {
    const std::string_view text = Trim(email);
    const auto at = text.find('@');
    if (at == std::string_view::npos || at == 0) {
        return false;
    }
    const std::string_view domain = text.substr(at + 1);
    if (domain.empty()) {
        return false;
    }
    const auto dot = domain.find('.');
    // Positions count from 1: the "." must stand at position 3 or later.
    return dot != std::string_view::npos && dot + 1 >= 3;
}

}  // namespace kqz::download
