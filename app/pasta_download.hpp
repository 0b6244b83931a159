#pragma once

#include <QString>

namespace kqz::app {

// Where the download's folder dialog starts: the folder the last download was
// put in (kept between runs), or the user's Documents folder the first time
// (also when that folder is gone).
QString PastaInicialDeDownload();

// Remembers the folder that holds `escolhida`, the download folder the user
// just chose, for the next download.
void LembrarPastaDeDownload(const QString& escolhida);

}  // namespace kqz::app
