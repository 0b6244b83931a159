#pragma once

// The coupons' facts of files already on disk, read as the summary reads them.

#include <string>
#include <vector>

#include "summary/cupom.hpp"
#include "summary/progress.hpp"

namespace kqz::summary {

// Reads every file with LerXml (into tables of its own) and keeps the facts of
// every coupon, in file order; empty files are left out. Errors of the reader
// propagate (ResumoError naming the file).
std::vector<Cupom> LerCupons(const std::vector<std::string>& files);

// The same, calling `progress`.Pump() after every file ("Lendo i/n"); an
// exception from the progress ends the reading.
std::vector<Cupom> LerCupons(const std::vector<std::string>& files, ProgressSink& progress);

}  // namespace kqz::summary
