#include "app/app_locale.hpp"

namespace kqz::app {

QLocale AppLocale() {
    const QLocale system = QLocale::system();
    if (system.language() == QLocale::C) {
        return QLocale(QLocale::Portuguese, QLocale::Brazil);
    }
    return system;
}

}  // namespace kqz::app
