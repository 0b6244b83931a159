#pragma once

#include <string_view>

namespace kqz::download {

// Whether `email` has an acceptable form: after trimming, a first "@" that is
// not the first character, and a non-empty domain part whose first "." stands
// at its third character or later. Nothing else is looked at.
bool ValidarEMail(std::string_view email);

}  // namespace kqz::download
