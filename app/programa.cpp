#include "app/programa.hpp"

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

#include "app/UnMain.hpp"
#include "app/start_up.hpp"

namespace kqz::app {

bool InstalarTraducoes() {
    static QTranslator traducao;
    if (!traducao.isEmpty()) {
        return true;
    }
    const QString pasta = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    if (!traducao.load(QLocale(QLocale::Portuguese, QLocale::Brazil), QStringLiteral("qtbase"),
                       QStringLiteral("_"), pasta)) {
        return false;
    }
    return QCoreApplication::installTranslator(&traducao);
}

int Executar(AppContext& context) {
    InstalarTraducoes();
    // The main window is a tool window, which Qt does not count among the
    // windows that keep the program alive.
    QApplication::setQuitOnLastWindowClosed(false);
    Janelas janelas = CriarJanelas(context);
    janelas.FmMain->show();
    return QApplication::exec();
}

}  // namespace kqz::app
