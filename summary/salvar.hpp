#pragma once

#include <functional>
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

// The same safe replacement for any bytes; `oque` names the content in the
// error message ("o resumo", "a planilha"...).
void SalvarBytes(const std::string& path, const std::string& bytes, const std::string& oque);

// The same for a writer that needs a path: `escrever` fills the temporary
// file whose path it gets (it may reopen and truncate it), throwing on
// failure; the file is then given its permissions, flushed and renamed.
void SalvarPorTemporario(const std::string& path, const std::string& oque,
                         const std::function<void(const std::string& temporario)>& escrever);

}  // namespace kqz::summary
