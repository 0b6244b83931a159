#pragma once

#include <QDate>

namespace kqz::app {

// The default reference month: `today` moved back one calendar month, the day
// kept or clamped to the last day of the shorter month (31 Mar -> 28/29 Feb,
// 15 Jan 2021 -> 15 Dec 2020).
QDate MesAnterior(QDate today);

}  // namespace kqz::app
