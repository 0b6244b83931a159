#pragma once

// The operator's jobs on the database: importing CF-e files and filling a
// demonstration database.

#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "server/storage.hpp"

namespace kqz::server {

struct ImportSummary {
    std::size_t files = 0;          // files looked at
    std::size_t inserted = 0;       // new documents stored
    std::size_t alreadyStored = 0;  // documents whose AD_NUMERO was already there
    std::size_t skipped = 0;        // files that are not a readable CF-e
};

// Receives one Portuguese line per skipped file ("<path>: <reason>") and
// progress lines.
using ImportReport = std::function<void(const std::string&)>;

// Documents stored per transaction.
inline constexpr std::size_t kImportBatch = 500;

// Imports the CF-e files in `paths`: a file is read whatever its name; a
// folder is walked recursively for files ending in ".xml" (any case). Each
// file becomes one KQZ_SAD row (see ReadCfe); files that are not a CF-e are
// reported and skipped. Rows are written in transactions of kImportBatch;
// a database failure throws StorageError after the batches before it were
// committed, and nothing of the failed batch is written. Importing the same
// files again changes nothing.
ImportSummary ImportPaths(Storage& storage, const std::vector<std::string>& paths,
                          const ImportReport& report);

// What FillDemo made, for the message that tells the operator what to try.
struct DemoSummary {
    std::size_t documents = 0;
    std::vector<std::string> months;  // "yyMM", newest first
    std::string tryEmail;
    std::string tryMonth;  // "MM/yyyy" of the previous calendar month
};

// Fills `storage` with a demonstration: three companies, documents of the
// three calendar months before `today` (sales with several items and CFOPs
// 5102/5405/5101, payments, cancellations, a few missing numbers), users
// (contador@exemplo.com.br sees two companies) and the version row P_VERATU
// with build 4. `documentsPerMonth` documents per company and month.
DemoSummary FillDemo(Storage& storage, std::chrono::system_clock::time_point today, int documentsPerMonth,
                     const ImportReport& report);

}  // namespace kqz::server
