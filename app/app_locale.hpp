#pragma once

#include <QLocale>

namespace kqz::app {

// The user's locale, or Brazilian Portuguese when the system has none (C/POSIX).
QLocale AppLocale();

}  // namespace kqz::app
