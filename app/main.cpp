#include <QApplication>

#include "app/app_locale.hpp"
#include "app/programa.hpp"
#include "app/ui_services.hpp"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("KQZ_BASKO"));
    QLocale::setDefault(kqz::app::AppLocale());

    kqz::app::QtUiServices ui;
    kqz::app::AppContext context{ui};
    return kqz::app::Executar(context);
}
