#pragma once

#include <string>
#include <vector>

namespace kqz::summary {

// Writes the report lines to `path`, replacing any file of that name: UTF-8
// without byte-order mark, CR LF between lines and none after the last,
// trailing blanks kept. The text goes to a temporary file in the same folder
// that is renamed over `path` only when complete, so a failure never leaves a
// half-written summary (nor a temporary file). A new file gets the usual
// permissions (0666 less the umask); a replaced one keeps its own.
// Throws ResumoError naming the path on any failure.
void SalvarResumo(const std::string& path, const std::vector<std::string>& lines);

}  // namespace kqz::summary
