#pragma once

// The coupons' facts of files already on disk, read as the summary reads them.

#include <string>
#include <vector>

#include "summary/cupom.hpp"

namespace kqz::summary {

// Reads every file with LerXml (into tables of its own) and keeps the facts of
// every coupon, in file order; empty files are left out. Errors of the reader
// propagate (ResumoError naming the file).
std::vector<Cupom> LerCupons(const std::vector<std::string>& files);

}  // namespace kqz::summary
