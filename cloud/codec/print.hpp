#pragma once

#include <ostream>
#include <string>
#include <string_view>

#include "cloud/codec/dataset.hpp"

namespace kqz::codec {

// Prints a table as text: a line "# <title>", a line with the column names,
// then one line per row. Fields are separated by a tab; NULL is \N; tab, LF,
// CR and backslash inside texts are written \t \n \r \\; numbers in the
// shortest exact form with "."; dates YYYY-MM-DD, times HH:MM:SS.mmm,
// date-times YYYY-MM-DDTHH:MM:SS.mmm; booleans true/false; bytes as they are.
void PrintDataset(std::ostream& out, std::string_view title, const Dataset& ds);

// One cell in the form PrintDataset uses.
std::string FormatValue(const Value& value);

}  // namespace kqz::codec
