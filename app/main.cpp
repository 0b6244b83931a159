#include <QApplication>

#include "app/UnMain.hpp"
#include "app/app_locale.hpp"
#include "app/start_up.hpp"
#include "app/ui_services.hpp"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KQZ_BASKO"));
    QLocale::setDefault(kqz::app::AppLocale());

    kqz::app::QtUiServices ui;
    kqz::app::AppContext context{ui};

    kqz::app::Janelas janelas = kqz::app::CriarJanelas(context);
    janelas.FmMain->show();
    return QApplication::exec();
}
