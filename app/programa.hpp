#pragma once

#include "app/app_context.hpp"

namespace kqz::app {

// Loads Qt's own Brazilian Portuguese translations (standard buttons, file
// dialogs) from the folder the distribution installs them in. False when they
// are not there; the program then goes on with Qt's English texts.
bool InstalarTraducoes();

// The program on a QApplication that exists: the translations, the three
// windows (Janelas), the main window shown, then the event loop until the
// program is told to end. Returns the exit code. Only the main window's close
// or "Sair" end it: closing the summary window goes back to the main window.
int Executar(AppContext& context);

}  // namespace kqz::app
